"""Annotation of a measured spectrum with the molecule's predicted fragments: for every
measured peak, the predicted fragments at its nominal m/z or within the tolerance."""
import json
import os
import sys

import numpy as np

from .. import _core
from ..batch.pool import map_all
from .readers import Spectrum, read_spectra

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


def _safe_name(text):
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in str(text)) or "spectrum"


def _annotate_task(sp, options):
    """Worker: annotates one spectrum and, when asked (options["plot_dir"]), saves its
    mirror plot."""
    options = dict(options)
    plot_dir = options.pop("plot_dir")
    result = annotate(sp, **options)
    if plot_dir and result["status"] == "ok":
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from .mirror_plot import plot_annotation
        ax = plot_annotation(result)
        ax.figure.savefig(os.path.join(plot_dir, _safe_name(sp.id) + ".png"), dpi=110,
                          bbox_inches="tight")
        plt.close(ax.figure)
    return result


def _lost_annotation(sp, message):
    result = dict.fromkeys(RESULT_KEYS)
    result.update(id=sp.id, name=sp.name, smiles=sp.smiles, status="error", error=message)
    return result


def run_annotate_command(args):
    """Runs `korvane annotate`; returns the exit status."""
    errors = []
    spectra = read_spectra(args.spectra, skip_bad=args.skip_bad, errors=errors)
    without = [sp for sp in spectra if not (args.smiles or sp.smiles)]
    todo = [sp for sp in spectra if args.smiles or sp.smiles]
    if args.plot:
        os.makedirs(args.plot, exist_ok=True)
    options = {"smiles": args.smiles, "tolerance": args.tolerance, "plot_dir": args.plot}
    results = map_all(_annotate_task, todo, options, jobs=args.jobs, lost=_lost_annotation)
    tmp = args.out + ".tmp"
    with open(tmp, "w") as f:
        for r in results:
            f.write(json.dumps(r) + "\n")
    os.replace(tmp, args.out)
    failed = sum(r["status"] != "ok" for r in results)
    ok = [r for r in results if r["status"] == "ok"]
    explained = [r["explained_intensity"] for r in ok if r["explained_intensity"] is not None]
    print(f"{len(ok)} annotated, {failed} failed, {len(without)} without a structure, "
          f"{len(errors)} malformed left out"
          + (f"; median explained intensity {np.median(explained):.1%}" if explained else ""),
          file=sys.stderr)
    return 0
