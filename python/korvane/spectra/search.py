"""Identification of measured spectra with a library of predicted ones: every library
molecule is scored by how well its predicted m/z explain the measured top peaks, and the
candidates ranked by that score (`korvane search`)."""
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


def search(measured, library, same_mass=False, top=10):
    """Returns one result dict per measured spectrum: its id, name, nominal mass, the
    number of candidates, the rank of its own structure when the library holds it
    (matched by canonical SMILES without stereochemistry) and the `top` best hits."""
    entries = library_entries(library)
    results = []
    for sp in measured:
        mass = nominal_mass_of(sp.smiles) if sp.smiles else None
        if mass is None:
            mass = _stated_mass(sp)
        pool = [e for e in entries if not same_mass or (mass is not None and e[1] == mass)]
        peaks = sp.nominal_peaks()
        ranked = rank_candidates(peaks, -1 if mass is None else mass, [e[2] for e in pool])
        order = sorted(range(len(pool)), key=lambda i: ranked[i][0])
        canon = canonical_smiles(sp.smiles)
        true_rank = next((ranked[i][0] for i in order if canon and pool[i][3] == canon), None)
        hits = [{"rank": ranked[i][0], "id": pool[i][0].id, "name": pool[i][0].name,
                 "smiles": pool[i][0].smiles, "recall_1": ranked[i][1][0],
                 "precision": ranked[i][1][1]} for i in order[:top]]
        results.append({"id": sp.id, "name": sp.name, "mass": mass,
                        "candidates": len(pool), "true_rank": true_rank, "hits": hits})
    return results


def run_search_command(args):
    """Runs `korvane search`; returns the exit status."""
    errors = []
    measured = read_spectra(args.measured, skip_bad=args.skip_bad, errors=errors)
    library = read_spectra(args.library, skip_bad=args.skip_bad, errors=errors)
    if errors:
        print(f"warning: {len(errors)} malformed record(s) left out", file=sys.stderr)
    results = search(measured, library, same_mass=args.same_mass, top=args.top)
    out = open(args.out, "w") if args.out else None
    try:
        for r in results:
            if out:
                out.write(json.dumps(r) + "\n")
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
