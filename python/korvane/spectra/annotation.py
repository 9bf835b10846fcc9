"""Annotation of a measured spectrum with the molecule's predicted fragments: for every
measured peak, the predicted fragments at its nominal m/z or within the tolerance."""
import json
import os
import sys

import numpy as np

from .. import _core
from .readers import Spectrum

# The keys of an annotation result, in their order.
RESULT_KEYS = ("id", "name", "smiles", "nominal_mass", "tolerance", "status", "error",
               "scores", "explained_intensity", "peaks", "predicted")


def _fragment(mz, formula, generation, source, piece, bonds):
    return {"mz": mz, "formula": formula, "generation": generation, "source": source,
            "atoms": piece.get("atoms"), "smiles": piece.get("smiles"), "bonds": bonds}


def predicted_fragments(record):
    """Returns the predicted fragments of a record, ascending by m/z: the recursive peaks
    (the molecule itself as generation 0), then the pieces of single and ring cuts that are
    not the same fragment (atom set) as one already listed. "bonds" lists the cuts from the
    molecule to the fragment, one per generation ("C1-C2 + C4-C5" for a ring cut)."""
    out, seen = [], {}

    def add(f):
        key = (f["mz"], f["formula"], tuple(f["atoms"]) if f["atoms"] is not None else None)
        if key not in seen:
            seen[key] = f
            out.append(f)
        elif not seen[key]["bonds"]:  # the same fragment; its cut is known from here
            seen[key]["bonds"] = f["bonds"]

    for p in record["peaks"]:
        add(_fragment(p["mz"], p["formula"], p["generation"], "recursive" if
                      p["generation"] > 0 else "molecule", p, list(p.get("path") or [])))
    for key, source in (("single_cuts", "single"), ("ring_cuts", "ring")):
        for cut in record[key] or []:
            for piece in cut["pieces"]:
                add(_fragment(piece["mz"], piece["formula"], 1, source, piece, [cut["bond"]]))
    out.sort(key=lambda f: f["mz"])  # stable: equal m/z keep the order above
    return out


def _as_spectrum(spectrum):
    if isinstance(spectrum, Spectrum):
        return spectrum
    peaks = np.asarray(spectrum, dtype=float).reshape(-1, 2)
    return Spectrum(id="spectrum", peaks=peaks)


def annotate(spectrum, smiles=None, tolerance=1, recursive_ms=True, ring_fragmentation=True,
             max_generations=2):
    """Returns the annotation of a measured spectrum (a Spectrum, or (m/z, intensity)
    pairs) as a JSON-ready dict with the keys of RESULT_KEYS.

    `smiles` replaces the spectrum's own structure. Every measured peak (nominal m/z,
    intensity on the 0-999 scale) lists the predicted fragments within `tolerance`, each
    marked "exact" when it lies at the same m/z. "scores" are the benchmark's scores of
    the predicted m/z other than the molecular ion; "explained_intensity" is the share of
    the measured intensity on peaks with a match. A molecule that cannot be analysed gives
    "status" "error" with the record's message. Raises ValueError when there is no
    structure.
    """
    from ..batch.record import predict_record
    sp = _as_spectrum(spectrum)
    structure = smiles or sp.smiles
    if not structure:
        raise ValueError(f"spectrum {sp.id!r} has no structure; give smiles=")
    result = dict.fromkeys(RESULT_KEYS)
    result.update(id=sp.id, name=sp.name, smiles=structure, tolerance=tolerance)
    record = predict_record(structure, id=sp.id, recursive_ms=recursive_ms,
                            ring_fragmentation=ring_fragmentation,
                            max_generations=max_generations)
    result.update(status=record["status"], error=record["error"],
                  nominal_mass=record["nominal_mass"])
    if record["status"] != "ok":
        return result
    fragments = predicted_fragments(record)
    measured = sp.nominal_peaks()
    matches = _core.match_peaks([mz for mz, _ in measured], [f["mz"] for f in fragments],
                                int(tolerance))
    peaks, explained, total = [], 0.0, 0.0
    for (mz, intensity), hits in zip(measured, matches):
        found = [dict(fragments[i], exact=fragments[i]["mz"] == mz) for i in hits]
        found.sort(key=lambda f: (not f["exact"], abs(f["mz"] - mz)))
        peaks.append({"mz": mz, "intensity": intensity, "matches": found})
        total += intensity
        explained += intensity if found else 0.0
    m = record["nominal_mass"]
    predicted_mz = sorted({f["mz"] for f in fragments} - {m})
    s = _core.score_prediction(measured, m, predicted_mz)
    result.update(scores={k: getattr(s, k) for k in ("recall_1", "recall_exact",
                                                     "distinct_mz", "precision", "chance_1")},
                  explained_intensity=explained / total if total else None, peaks=peaks,
                  predicted=fragments)
    return result


# --- the `korvane annotate` command -------------------------------------------------

# Longest plot file name in bytes, its hash and ".png" included (file systems allow 255).
MAX_PLOT_NAME_BYTES = 200
_HASH_CHARS = 10


def _short_hash(text):
    import hashlib
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:_HASH_CHARS]


class PlotNames:
    """Unique, visible plot file names of spectrum ids, at most MAX_PLOT_NAME_BYTES bytes.

    A name is the id with every character other than letters, digits, "-", "_" and "."
    replaced by "_" and a leading "." by "_"; when that changed the id, cut it short, or
    meets a name given before (ignoring case, for case-insensitive file systems), a short
    hash of the id (and, for a repeated id, of its place) keeps it apart."""

    def __init__(self):
        self.used = set()

    def __call__(self, index, spectrum_id):
        text = str(spectrum_id)
        safe = "".join(c if c.isalnum() or c in "-_." else "_" for c in text)
        safe = "_" + safe[1:] if safe.startswith(".") else safe
        room = MAX_PLOT_NAME_BYTES - len(".png") - 1 - 2 * (_HASH_CHARS + 1)
        base = safe.encode("utf-8")[:room].decode("utf-8", "ignore")
        name = base or "spectrum"
        if name != text:
            name = f"{name}-{_short_hash(text)}"
        tries = 0
        while name.lower() in self.used:
            tries += 1
            name = f"{base or 'spectrum'}-{_short_hash(text)}-{_short_hash(f'{index}:{tries}:{text}')}"
        self.used.add(name.lower())
        return name + ".png"


class AnnotateItem:
    """One spectrum to annotate: its structure, the plot file it gets (or None), and the
    id and SMILES its annotation shows, by which a resumed run knows it."""
    __slots__ = ("spectrum", "smiles", "plot", "id")

    def __init__(self, spectrum, smiles, plot):
        self.spectrum, self.smiles, self.plot, self.id = spectrum, smiles, plot, spectrum.id


def _annotate_task(item, options):
    """Worker: annotates one spectrum and, when asked (options["plot_dir"]), saves its
    mirror plot; returns (status, explained intensity, the annotation's JSON line)."""
    plot_dir = options["plot_dir"]
    try:
        result = annotate(item.spectrum, smiles=item.smiles, tolerance=options["tolerance"])
    except Exception as e:  # one spectrum's failure is its own error annotation
        result = _lost_annotation(item, f"{type(e).__name__}: {' '.join(str(e).split())}")
    if plot_dir:
        result["plot"] = None
        if result["status"] == "ok":
            result["plot"] = item.plot
            try:
                _save_plot(result, os.path.join(plot_dir, item.plot))
            except (OSError, ValueError, RuntimeError) as e:
                result["plot"] = None
                result["plot_error"] = f"{type(e).__name__}: {' '.join(str(e).split())}"
    return result["status"], result["explained_intensity"], _json_line(result)


def _save_plot(result, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from .._files import save_figure_replacing
    from .mirror_plot import plot_annotation
    ax = plot_annotation(result)
    try:
        save_figure_replacing(ax.figure, path, dpi=110, bbox_inches="tight")
    finally:
        plt.close(ax.figure)


def _json_line(result):
    # Strict JSON: a number that is not finite raises instead of writing NaN.
    return json.dumps(result, allow_nan=False) + "\n"


def _lost_annotation(item, message):
    sp = item.spectrum
    result = dict.fromkeys(RESULT_KEYS)
    result.update(id=sp.id, name=sp.name, smiles=item.smiles, status="error", error=message)
    return result


class _LostLine:
    def __init__(self, plot_dir):
        self.plot_dir = plot_dir

    def __call__(self, item, message):
        result = _lost_annotation(item, message)
        if self.plot_dir:
            result["plot"] = None
        return "error", None, _json_line(result)


class _Tally:
    """Counts the spectra read and those without a structure, as they stream past."""

    def __init__(self):
        self.without = 0


def _items(spectra, smiles, plot_dir, tally):
    names = PlotNames()
    for index, sp in enumerate(spectra):
        structure = smiles or sp.smiles
        if not structure:
            tally.without += 1
            continue
        yield AnnotateItem(sp, structure, names(index, sp.id) if plot_dir else None)


def run_annotate_command(args):
    """Runs `korvane annotate`; returns the exit status."""
    import itertools
    from ..batch.compound_files import RecordWriter
    from ..batch.pool import pool_map
    from ..batch.predict import _Progress, check_output_path, one_line
    from ..batch.resume import LazyOutput, check_run, not_written, scan_output
    from .readers import iter_spectra
    errors, tally = [], _Tally()
    description = {"format": "korvane annotate run", "output": ".jsonl",
                   "options": {"smiles": args.smiles, "tolerance": args.tolerance,
                               "plot": os.path.abspath(args.plot) if args.plot else None}}
    try:
        if not args.out.lower().endswith((".jsonl", ".json")):
            raise ValueError(f"{args.out}: annotations are JSON Lines; name the file .jsonl")
        check_output_path(args.out, [args.spectra])
        if args.plot:
            if os.path.exists(args.plot) and not os.path.isdir(args.plot):
                raise ValueError(f"{args.plot}: is not a folder")
            os.makedirs(args.plot, exist_ok=True)
        keys, keep = [], None
        if args.resume:
            keys, keep = scan_output(args.out, ".jsonl", None, record_keys=RESUME_KEYS)
            check_run(args.out, description, keep)
        items = _items(iter_spectra(args.spectra, skip_bad=args.skip_bad, errors=errors),
                       args.smiles, args.plot, tally)
        if args.resume:
            items = not_written(items, keys, ".jsonl")
        first = next(items, None)
    except KeyboardInterrupt:
        return 130
    except (ValueError, OSError) as e:  # SpectrumFormatError is a ValueError
        print(f"korvane annotate: {one_line(e)}", file=sys.stderr)
        return 2
    output = LazyOutput(args.out, ".jsonl", RecordWriter, description, keep)
    progress, explained, interrupted = None, [], False
    results = None
    try:
        if first is not None:
            options = {"tolerance": args.tolerance, "plot_dir": args.plot}
            results = pool_map(itertools.chain([first], items), _annotate_task, options,
                               jobs=args.jobs, chunk_size=4, lost=_LostLine(args.plot))
            total = None
            if not args.quiet and sys.stderr.isatty():
                from .readers import count_spectra
                total = max(0, count_spectra(args.spectra) - len(keys))
            progress = _Progress(total, args.quiet, command="annotate", unit="spectrum",
                                 what="spectra")
            for status, share, text in results:
                output.write_text(text)
                progress.add(status)
                if share is not None:
                    explained.append(share)
    except KeyboardInterrupt:
        interrupted = True
    except (ValueError, OSError, RuntimeError) as e:
        print(f"korvane annotate: {one_line(e)}", file=sys.stderr)
        return 2
    finally:
        if results is not None:
            results.close()
        output.finish()
    ok = progress.ok if progress else 0
    failed = progress.errors if progress else 0
    if progress is not None and progress.bar is not None:
        progress.bar.close()
    if not args.quiet:
        state = "interrupted: " if interrupted else ""
        kept = f", {len(keys)} kept from the earlier run" if keys else ""
        print(f"korvane annotate: {state}{ok} annotated, {failed} failed, {tally.without} "
              f"without a structure, {len(errors)} malformed left out{kept}"
              + (f"; median explained intensity {np.median(explained):.1%}" if explained
                 else ""), file=sys.stderr)
    if interrupted:
        return 130
    if first is None and not keys and not tally.without:
        print(f"korvane annotate: {args.spectra}: holds no spectrum", file=sys.stderr)
        return 1
    return 0


# The keys a line of an annotation output must have to be resumed.
RESUME_KEYS = ("id", "smiles", "tolerance", "status")
