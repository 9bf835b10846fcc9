"""Identification of measured spectra with a library of predicted ones: every library
molecule is scored against the measured spectrum and the candidates ranked by that score
(`korvane search`). The default score is the whole-spectrum one of the core (a weighted
cosine of the intensities below M less an isotope-pattern term); "recall" is how well the
predicted m/z explain the measured top peaks, then their precision; "learned" is the
learned score of `learned_score`, which analyses each library structure again."""
import json
import sys

from .. import _core
from .candidates import canonical_smiles, nominal_mass_of
from .readers import read_spectra


def search_score(spectrum_peaks, mass, predicted_mz):
    """Returns a candidate's score against a measured spectrum: (recall within 1 of the
    top-10 peaks, precision or 0 when it has none), compared in that order."""
    s = _core.score_prediction(spectrum_peaks, mass, predicted_mz)
    return (s.recall_1 or 0.0, s.precision or 0.0)


def rank_candidates(spectrum_peaks, mass, candidates_mz):
    """Returns (rank, score) of each candidate, in the candidates' order; the rank is 1 +
    the number of other candidates scoring at least as well, so ties count against it."""
    scores = [search_score(spectrum_peaks, mass, mz) for mz in candidates_mz]
    return list(zip(_core.candidate_ranks(scores), scores))


def _stated_mass(spectrum):
    """Returns the nominal mass a record states (MSP "MW"), or None."""
    try:
        return int(round(float(spectrum.metadata.get("mw", ""))))
    except ValueError:
        return None


def library_entries(library):
    """Returns (spectrum, nominal mass or None, predicted m/z, canonical SMILES or None)
    per library spectrum; a peak at the stated molecular mass is the molecular ion, which
    the scores leave out as the benchmark's recursive predictor does."""
    out = []
    for sp in library:
        mass = _stated_mass(sp)
        mz = sorted({m for m, _ in sp.nominal_peaks()} - {mass})
        out.append((sp, mass, mz, canonical_smiles(sp.smiles)))
    return out


SCORES = ("spectrum", "recall", "learned")
# The learned score beat the whole-spectrum one by cross-validation on measured spectra
# korvane does not ship (bench/identification.py), so it is the default.
DEFAULT_SCORE = "learned"


def _spectrum_ranks(peaks, mass, pool, pool_peaks):
    """(rank, score) per candidate by the whole-spectrum score of its nominal peaks, each
    candidate scored at its own stated mass (the measured one when it states none)."""
    scores = [_core.identification_score(peaks, library, e[1] if e[1] is not None else mass)
              for e, library in zip(pool, pool_peaks)]
    return list(zip(_core.score_ranks(scores), scores))


def _learned_inputs(pool):
    """Per library entry, what the learned score needs of its structure (None when its
    SMILES cannot be analysed)."""
    from .candidates import predict_mz
    out = []
    for sp, *_ in pool:
        p = predict_mz(sp.smiles) if sp.smiles else {"error": "no SMILES"}
        out.append(None if "error" in p else p)
    return out


def _learned_ranks(peaks, mass, pool, inputs, model):
    from . import learned_score as ls
    rows, scored = [], []
    for i, p in enumerate(inputs):
        if p is None:
            continue
        m = p["mass"]
        cosine = _core.identification_score(peaks, _core.predicted_spectrum(p["sources"]), m)
        rows.append(ls.candidate_features(ls.measured_views(peaks, m), m, p["sources"],
                                          p["sites"], cosine))
        scored.append(i)
    values = [float("nan")] * len(pool)
    for i, v in zip(scored, model.scores(rows) if rows else []):
        values[i] = float(v)
    return list(zip(_core.score_ranks(values), values))


def _hit_score(value):
    """A hit's score as JSON holds it; a score that could not be computed (a learned score
    without an analysable structure) is None."""
    return None if value != value else value  # NaN


def search(measured, library, same_mass=False, top=10, score=DEFAULT_SCORE):
    """Returns one result dict per measured spectrum: its id, name, nominal mass, the
    number of candidates, the rank of its own structure when the library holds it
    (matched by canonical SMILES without stereochemistry) and the `top` best hits, each
    with its "score" (None for a learned score of an entry without an analysable SMILES,
    which ranks last), or for "recall" its "recall_1" and "precision" as before."""
    if score not in SCORES:
        raise ValueError(f"unknown score {score!r}; expected one of {', '.join(SCORES)}")
    entries = library_entries(library)
    model = inputs = library_peaks = None
    if score == "spectrum":
        library_peaks = [e[0].nominal_peaks() for e in entries]
    if score == "learned":
        from .learned_score import LearnedScore
        model = LearnedScore.load()
        inputs = _learned_inputs(entries)
    results = []
    for sp in measured:
        mass = nominal_mass_of(sp.smiles) if sp.smiles else None
        if mass is None:
            mass = _stated_mass(sp)
        chosen = [i for i, e in enumerate(entries)
                  if not same_mass or (mass is not None and e[1] == mass)]
        pool = [entries[i] for i in chosen]
        peaks = sp.nominal_peaks()
        if score == "recall":
            ranked = rank_candidates(peaks, -1 if mass is None else mass, [e[2] for e in pool])
        elif score == "learned":
            ranked = _learned_ranks(peaks, -1 if mass is None else mass, pool,
                                    [inputs[i] for i in chosen], model)
        else:
            ranked = _spectrum_ranks(peaks, -1 if mass is None else mass, pool,
                                     [library_peaks[i] for i in chosen])
        order = sorted(range(len(pool)), key=lambda i: ranked[i][0])
        canon = canonical_smiles(sp.smiles)
        true_rank = next((ranked[i][0] for i in order if canon and pool[i][3] == canon), None)
        hits = [{"rank": ranked[i][0], "id": pool[i][0].id, "name": pool[i][0].name,
                 "smiles": pool[i][0].smiles} for i in order[:top]]
        for h, i in zip(hits, order):
            if score == "recall":  # the pair's parts by name, as before the score was added
                h["recall_1"], h["precision"] = ranked[i][1]
            else:
                h["score"] = _hit_score(ranked[i][1])
        results.append({"id": sp.id, "name": sp.name, "mass": mass,
                        "candidates": len(pool), "true_rank": true_rank, "hits": hits})
    return results


def run_search_command(args):
    """Runs `korvane search`; returns the exit status."""
    from ..batch.predict import check_output_path
    if args.out:
        check_output_path(args.out, [args.measured, args.library])
    errors = []
    measured = read_spectra(args.measured, skip_bad=args.skip_bad, errors=errors)
    library = read_spectra(args.library, skip_bad=args.skip_bad, errors=errors)
    if errors:
        print(f"warning: {len(errors)} malformed record(s) left out", file=sys.stderr)
    results = search(measured, library, same_mass=args.same_mass, top=args.top,
                     score=args.score)
    out = open(args.out, "w") if args.out else None
    try:
        for r in results:
            if out:
                out.write(json.dumps(r, allow_nan=False) + "\n")
            best = r["hits"][0] if r["hits"] else None
            print(f"{r['id']}\t{r['candidates']} candidates\tbest "
                  f"{best['id'] if best else '-'}\ttrue rank "
                  f"{r['true_rank'] if r['true_rank'] is not None else '-'}")
    finally:
        if out:
            out.close()
    known = [r["true_rank"] for r in results if r["true_rank"] is not None]
    if known:
        print(f"{len(known)} of {len(results)} spectra have their structure in the library: "
              f"top-1 {sum(k == 1 for k in known) / len(known):.1%}, "
              f"top-10 {sum(k <= 10 for k in known) / len(known):.1%}")
    return 0
