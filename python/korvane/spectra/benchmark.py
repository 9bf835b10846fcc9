"""Accuracy of the predicted EI fragments against measured spectra, and identification of
measured spectra by ranking candidate structures with their predicted m/z.

Four predictors give each compound a set of distinct nominal m/z: every single-bond cut
(the reference anyone can reproduce with RDKit), the soft single cuts of `VIF`, the soft
single and ring cuts, and the recursive peaks (molecular ion left out). The scores come
from the core (`score_prediction`); this module reads, runs the pool and reports.
"""
import json
import os
import statistics
import sys

from rdkit import Chem, RDLogger

from .. import _core
from .._markdown import replace_block
from ..batch.pool import map_all
from .candidates import (canonical_smiles, lost_prediction, mol_nominal_mass, nci_candidates,
                         nominal_mass_of, predict_mz_task)
from .readers import open_spectra_path, read_spectra
from .search import rank_candidates

PREDICTORS = ("all_single_cuts", "soft_single", "soft_ring", "recursive", "korvane")
METRICS = ("recall_1", "recall_exact", "distinct_mz", "precision", "chance_1")
PREDICTOR_TITLES = {"all_single_cuts": "all single-bond cuts", "soft_single": "soft single cuts",
                    "soft_ring": "soft + ring cuts", "recursive": "recursive peaks (2 generations)",
                    "korvane": "korvane (predicted spectrum, default score)"}
README_START, README_END = "<!-- accuracy-results:start -->", "<!-- accuracy-results:end -->"


def _summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return {"median": None, "mean": None}
    return {"median": statistics.median(values), "mean": statistics.fmean(values)}


def _recall_rank(peaks, mass, mz_lists):
    return rank_candidates(peaks, mass, mz_lists)[0][0]


def run_benchmark(spectra, jobs=1, candidates=True, log=None, score=None):
    """Returns the benchmark's result dict (the JSON of `korvane benchmark --json`) and a
    dict of counts about the input (spectra, without structure, failed analyses).

    The four m/z predictors rank candidates by recall, then precision; `korvane` ranks
    them by `score` (search's default when None) over their predicted spectra.
    """
    from . import benchmark_identification as ib
    from .search import DEFAULT_SCORE
    say = log or (lambda text: None)
    scorer = ib.Scorer(score or DEFAULT_SCORE)
    RDLogger.DisableLog("rdApp.*")  # the NCI sample holds SMILES RDKit rejects, loudly
    counts = {"spectra": len(spectra), "no_structure": 0, "failed": 0}
    entries = []  # (spectrum, canonical SMILES)
    for sp in spectra:
        if not sp.smiles:
            counts["no_structure"] += 1
            continue
        canon = canonical_smiles(sp.smiles)
        if canon is None:
            counts["failed"] += 1
            continue
        entries.append((sp, canon))

    # The candidate pool: benchmark structures first (their own SMILES), then NCI
    # molecules of a nominal mass some benchmark compound has, deduplicated.
    pool = {canon: sp.smiles for sp, canon in entries}
    if candidates:
        wanted = {nominal_mass_of(sp.smiles) for sp, _ in entries}
        for smi in nci_candidates():
            mol = Chem.MolFromSmiles(smi)
            if mol is None or mol_nominal_mass(mol) not in wanted:
                continue
            canon = Chem.MolToSmiles(mol, isomericSmiles=False)
            pool.setdefault(canon, smi)
    say(f"predicting {len(pool)} structures ({len(entries)} measured) with {jobs} job(s)")
    keys = list(pool)
    predicted = dict(zip(keys, map_all(predict_mz_task, [pool[k] for k in keys], None,
                                        jobs=jobs, lost=lost_prediction)))

    by_mass = {}
    for canon, p in predicted.items():
        if "error" not in p:
            by_mass.setdefault(p["mass"], []).append(canon)

    scores = {name: {m: [] for m in METRICS} for name in PREDICTORS}
    no_prediction = dict.fromkeys(PREDICTORS, 0)
    ranks = {name: [] for name in PREDICTORS}
    n_candidates = []
    scored = 0
    scored_entries = []  # (peaks, canonical SMILES, id) of the scored spectra
    for sp, canon in entries:
        p = predicted[canon]
        if "error" in p:
            counts["failed"] += 1
            say(f"{sp.id}: {p['error']}")
            continue
        scored += 1
        peaks = sp.nominal_peaks()
        scored_entries.append((peaks, canon, sp.id))
        rivals = [c for c in by_mass[p["mass"]] if c != canon]
        n_candidates.append(1 + len(rivals))
        for name in PREDICTORS:
            s = _core.score_prediction(peaks, p["mass"], p[name])
            for m in METRICS:
                scores[name][m].append(getattr(s, m))
            no_prediction[name] += not p[name]
            if candidates and name == ib.KORVANE:
                ranks[name].append(scorer.true_rank(peaks, p["mass"],
                                                    [p] + [predicted[c] for c in rivals]))
            elif candidates:
                # The true structure first: its rank is the first one.
                mz_lists = [p[name]] + [predicted[c][name] for c in rivals]
                ranks[name].append(_recall_rank(peaks, p["mass"], mz_lists))

    result = {}
    for name in PREDICTORS:
        row = {m: _summary(scores[name][m]) for m in METRICS}
        row["no_prediction"], row["n"] = no_prediction[name], scored
        if candidates:
            r = ranks[name]
            row["top1"] = sum(x == 1 for x in r) / len(r) if r else None
            row["top10"] = sum(x <= 10 for x in r) / len(r) if r else None
        result[name] = row
    if candidates:
        result["candidates_median"] = statistics.median(n_candidates) if n_candidates else None
        result["random_top1"] = (statistics.fmean(1 / c for c in n_candidates)
                                 if n_candidates else None)
        say("set-only lists, control and intervals")
        pairs = [(peaks, canon) for peaks, canon, _ in scored_entries]
        result["set_only"], set_ranks = ib.set_only_results(pairs, predicted, PREDICTORS,
                                                            _recall_rank, scorer)
        result["ci95_top1_vs_all_cuts"] = {
            name: ib.paired_bootstrap(ranks[name], ranks["all_single_cuts"])
            for name in PREDICTORS if name != "all_single_cuts"}
        result["ci95_set_only_top1_vs_all_cuts"] = {
            name: ib.paired_bootstrap(set_ranks[name], set_ranks["all_single_cuts"])
            for name in PREDICTORS if name != "all_single_cuts"}
        fitted = ib.fitted_ids()
        in_fit = sum(i in fitted for _, _, i in scored_entries)
        result["korvane_scorer"] = {"score": scorer.score,
                                    "fitted_on_these": in_fit if scorer.score == "learned" else 0}
        result["spectrum_free"] = ib.spectrum_free_results(scored_entries, predicted, by_mass,
                                                           fitted)
        result["soft_bonds"] = ib.soft_bond_ablation(scored_entries, predicted, by_mass,
                                                     ranks["all_single_cuts"],
                                                     set_ranks["all_single_cuts"])
    return result, counts


def _fmt(x, share=True):
    if x is None:
        return "–"
    return f"{100 * x:.1f} %" if share else f"{x:.1f}"


def format_table(result):
    """Returns the result as a Markdown table, median / mean per cell."""
    ident = "top1" in result[PREDICTORS[0]]
    head = ["predictor", "recall ±1", "recall exact", "distinct m/z", "precision",
            "chance ±1"]
    if ident:
        head += ["top-1", "top-10"]
    head += ["no prediction", "n"]
    lines = ["| " + " | ".join(head) + " |", "|---" + "|---:" * (len(head) - 1) + "|"]
    for name in PREDICTORS:
        row = result[name]
        cells = [PREDICTOR_TITLES[name]]
        for m in METRICS:
            share = m != "distinct_mz"
            cells.append(f"{_fmt(row[m]['median'], share)} / {_fmt(row[m]['mean'], share)}")
        if ident:
            cells += [_fmt(row["top1"]), _fmt(row["top10"])]
        cells += [str(row["no_prediction"]), str(row["n"])]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def readme_text(result, counts, source):
    """Returns the README block: what was measured, the table and what it means."""
    rows = {name: result[name] for name in PREDICTORS}
    rec, ref = rows["recursive"], rows["all_single_cuts"]
    from rdkit import __version__ as rdkit_version
    text = [f"Measured with korvane {_core.__version__} and RDKit {rdkit_version} on {source}: "
            f"{counts['spectra']} spectra, "
            f"{rows[PREDICTORS[0]]['n']} scored ({counts['no_structure']} without a structure, "
            f"{counts['failed']} not analysable). Each cell is median / mean over compounds.",
            "", format_table(result), ""]
    line = (f"Of the ten most intense measured peaks other than M, the recursive peaks place "
            f"a median {_fmt(rec['recall_1']['median'])} within ±1 (a random m/z: "
            f"{_fmt(rec['chance_1']['median'])}), all single cuts "
            f"{_fmt(ref['recall_1']['median'])} (chance {_fmt(ref['chance_1']['median'])}).")
    if result.get("candidates_median") is not None:
        line += (f" Ranking the candidates of the same nominal mass (median "
                 f"{result['candidates_median']:g} per compound, from RDKit's NCI sample and "
                 f"the set itself):")
    text.append(line)
    if result.get("candidates_median") is not None:
        from . import benchmark_identification as ib
        text += ["", ib.identification_table(result, PREDICTORS, PREDICTOR_TITLES), "",
                 ib.legend_text(result), "", ib.soft_bond_text(result)]
    return "\n".join(text)


def run_benchmark_command(args):
    """Runs `korvane benchmark`; returns the exit status."""
    from ..batch.predict import check_output_path
    path = args.spectra or open_spectra_path()
    for out in (args.json, args.update_readme):
        if out:
            check_output_path(out, [path])
    if args.update_readme and not os.path.isfile(args.update_readme):
        raise ValueError(f"{args.update_readme}: no such file to put the table into")
    errors = []
    spectra = read_spectra(path, skip_bad=args.skip_bad, errors=errors)
    if errors:
        print(f"warning: {len(errors)} malformed record(s) left out", file=sys.stderr)
    if args.limit is not None:
        spectra = spectra[:args.limit]
    if not spectra:
        print(f"korvane benchmark: {path}: holds no spectrum to score", file=sys.stderr)
        return 1
    log = lambda text: print(text, file=sys.stderr)
    result, counts = run_benchmark(spectra, jobs=max(1, args.jobs),
                                   candidates=not args.no_identification, log=log)
    print(format_table(result))
    print(f"{counts['spectra']} spectra: {result[PREDICTORS[0]]['n']} scored, "
          f"{counts['no_structure']} without a structure, {counts['failed']} failed")
    if result.get("candidates_median") is not None:
        print(f"candidates per compound: median {result['candidates_median']:g}; "
              f"random ranking top-1 {_fmt(result['random_top1'])}")
        from . import benchmark_identification as ib
        print(ib.identification_table(result, PREDICTORS, PREDICTOR_TITLES))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=2, allow_nan=False)
            f.write("\n")
    if args.update_readme:
        source = ("the shipped open set (`data/ei_open.jsonl`)" if args.spectra is None
                  else f"`{os.path.basename(path)}`")
        replace_block(args.update_readme, README_START, README_END,
                      readme_text(result, counts, source), "Accuracy on measured EI spectra")
    return 0
