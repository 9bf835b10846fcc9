"""Accuracy of the predicted EI fragments against measured spectra, and identification of
measured spectra by ranking candidate structures with their predicted m/z.

Four predictors give each compound a set of distinct nominal m/z: every single-bond cut
(the reference anyone can reproduce with RDKit), the soft single cuts of `VIF`, the soft
single and ring cuts, and the recursive peaks (molecular ion left out). The scores come
from the core (`score_prediction`); this module reads, runs the pool and reports.
"""
import json
import os
import re
import statistics
import sys
from concurrent.futures import ProcessPoolExecutor

from rdkit import Chem, RDConfig, RDLogger

from . import _core
from .search import rank_candidates
from .spectra import open_spectra_path, read_spectra

PREDICTORS = ("all_single_cuts", "soft_single", "soft_ring", "recursive")
METRICS = ("recall_1", "recall_exact", "distinct_mz", "precision", "chance_1")
PREDICTOR_TITLES = {"all_single_cuts": "all single-bond cuts", "soft_single": "soft single cuts",
                    "soft_ring": "soft + ring cuts", "recursive": "recursive peaks (2 generations)"}
README_START, README_END = "<!-- accuracy-results:start -->", "<!-- accuracy-results:end -->"


def canonical_smiles(smiles):
    """Returns RDKit's canonical SMILES without stereochemistry, or None when RDKit cannot
    parse it."""
    mol = Chem.MolFromSmiles(smiles) if smiles else None
    return Chem.MolToSmiles(mol, isomericSmiles=False) if mol is not None else None


def _mol_mass(mol):
    from .massspec import _nominal_mass
    mol = Chem.AddHs(mol)
    return _nominal_mass(mol, range(mol.GetNumAtoms()))


def nominal_mass_of(smiles):
    """Returns the nominal mass (most common isotopes, hydrogens included) of a SMILES that
    RDKit parses, else None."""
    mol = Chem.MolFromSmiles(smiles) if smiles else None
    return None if mol is None else _mol_mass(mol)


def predict_mz(smiles):
    """Returns {"mass": nominal M, predictor name: ascending distinct m/z list} for one
    SMILES, or {"error": message} when it cannot be analysed.

    One `VIF` run with ring cuts and two recursive generations serves the three soft
    predictors: ring fragmentation only adds ring-cut records after the single ones, and
    the recursion cuts ring pairs whatever that flag says.
    """
    from .vif import VIF
    mol = Chem.MolFromSmiles(smiles)
    if mol is None:
        return {"error": "RDKit cannot parse the SMILES"}
    try:
        r = VIF(smiles, draw=False, verbose=False, ring_fragmentation=True,
                recursive_ms=True, max_generations=2)
    except (MemoryError, ValueError, RuntimeError) as e:
        return {"error": f"{type(e).__name__}: {e}"}
    if not isinstance(r, dict):
        return {"error": r}
    m = r["mol_mass"]

    def pieces(records):
        return sorted({f[2] for c in records for f in c["fragments"]})

    return {"mass": m,
            "all_single_cuts": list(_core.single_cut_mz(Chem.AddHs(mol).ToBinary())),
            "soft_single": pieces(r["single_fragments"]),
            "soft_ring": pieces(r["real_fragments"]),
            "recursive": sorted(mz for mz in r["recursive_peaks"] if mz != m)}


def parallel_map(function, items, jobs):
    """Returns [function(item) for item in items], over `jobs` processes when jobs > 1;
    RDKit's log is silenced in the workers (and here when one process does the work)."""
    items = list(items)
    if jobs <= 1 or len(items) < 2:
        RDLogger.DisableLog("rdApp.*")
        return [function(item) for item in items]
    chunk = max(1, min(32, len(items) // (8 * jobs)))
    with ProcessPoolExecutor(max_workers=jobs, initializer=RDLogger.DisableLog,
                             initargs=("rdApp.*",)) as pool:
        return list(pool.map(function, items, chunksize=chunk))


def nci_candidates():
    """Returns the SMILES of the single-component molecules of RDKit's NCI sample."""
    path = os.path.join(RDConfig.RDDataDir, "NCI", "first_5K.smi")
    with open(path) as f:
        return [line.split()[0] for line in f if line.strip() and "." not in line.split()[0]]


def _summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return {"median": None, "mean": None}
    return {"median": statistics.median(values), "mean": statistics.fmean(values)}


def run_benchmark(spectra, jobs=1, candidates=True, log=None):
    """Returns the benchmark's result dict (the JSON of `korvane benchmark --json`) and a
    dict of counts about the input (spectra, without structure, failed analyses)."""
    say = log or (lambda text: None)
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
            if mol is None or _mol_mass(mol) not in wanted:
                continue
            canon = Chem.MolToSmiles(mol, isomericSmiles=False)
            pool.setdefault(canon, smi)
    say(f"predicting {len(pool)} structures ({len(entries)} measured) with {jobs} job(s)")
    keys = list(pool)
    predicted = dict(zip(keys, parallel_map(predict_mz, [pool[k] for k in keys], jobs)))

    by_mass = {}
    for canon, p in predicted.items():
        if "error" not in p:
            by_mass.setdefault(p["mass"], []).append(canon)

    scores = {name: {m: [] for m in METRICS} for name in PREDICTORS}
    no_prediction = dict.fromkeys(PREDICTORS, 0)
    ranks = {name: [] for name in PREDICTORS}
    n_candidates = []
    scored = 0
    for sp, canon in entries:
        p = predicted[canon]
        if "error" in p:
            counts["failed"] += 1
            say(f"{sp.id}: {p['error']}")
            continue
        scored += 1
        peaks = sp.nominal_peaks()
        rivals = [c for c in by_mass[p["mass"]] if c != canon]
        n_candidates.append(1 + len(rivals))
        for name in PREDICTORS:
            s = _core.score_prediction(peaks, p["mass"], p[name])
            for m in METRICS:
                scores[name][m].append(getattr(s, m))
            no_prediction[name] += not p[name]
            if candidates:
                # The true structure first: its rank is the first one.
                mz_lists = [p[name]] + [predicted[c][name] for c in rivals]
                ranks[name].append(rank_candidates(peaks, p["mass"], mz_lists)[0][0])

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
            f"a median {_fmt(rec['recall_1']['median'])} within ±1 with "
            f"{_fmt(rec['distinct_mz']['median'], False)} distinct m/z, where a random m/z "
            f"would score {_fmt(rec['chance_1']['median'])} against the same list, and "
            f"cutting every single bond recalls {_fmt(ref['recall_1']['median'])} at a "
            f"chance of {_fmt(ref['chance_1']['median'])}: recall above chance is what a "
            f"predictor knows beyond how many m/z it names.")
    if "candidates_median" in result:
        line += (f" Ranking the candidates of the same nominal mass (median "
                 f"{result['candidates_median']:g} per compound, from RDKit's NCI sample and "
                 f"the set itself) by their predicted m/z puts the true structure first for "
                 + ", ".join(f"{_fmt(rows[n]['top1'])} with {PREDICTOR_TITLES[n]}"
                             for n in PREDICTORS)
                 + f" of the compounds, against {_fmt(result['random_top1'])} for a random "
                 f"order.")
    text.append(line)
    return "\n".join(text)


def update_readme(path, block):
    """Replaces the text between the accuracy markers of the README (appending a section
    with the markers when they are missing)."""
    with open(path, encoding="utf-8") as f:
        readme = f.read()
    new = f"{README_START}\n{block}\n{README_END}"
    if README_START in readme and README_END in readme:
        readme = re.sub(re.escape(README_START) + ".*?" + re.escape(README_END),
                        lambda _: new, readme, flags=re.S)
    else:
        readme = readme.rstrip("\n") + "\n\n## Accuracy on measured EI spectra\n\n" + new + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(readme)


# --- commands ---------------------------------------------------------------------

def add_benchmark_arguments(parser):
    parser.add_argument("spectra", nargs="?", default=None,
                        help="spectra to score (MSP, MassBank records, JSON Lines); "
                             "default: the shipped openly licensed EI set")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="processes for the predictions (default: all cores)")
    parser.add_argument("--json", metavar="OUT", help="write the result as JSON to OUT")
    parser.add_argument("--update-readme", nargs="?", const="README.md", metavar="README",
                        help="put the table into README (default ./README.md)")
    parser.add_argument("--limit", type=int, metavar="N", help="score only the first N spectra")
    parser.add_argument("--no-identification", action="store_true",
                        help="skip ranking the true structure among same-mass candidates")
    parser.add_argument("--skip-bad", action="store_true",
                        help="leave malformed records out with a warning instead of stopping")


def run_benchmark_command(args):
    """Runs `korvane benchmark`; returns the exit status."""
    path = args.spectra or open_spectra_path()
    errors = []
    spectra = read_spectra(path, skip_bad=args.skip_bad, errors=errors)
    if errors:
        print(f"warning: {len(errors)} malformed record(s) left out", file=sys.stderr)
    if args.limit is not None:
        spectra = spectra[:args.limit]
    log = lambda text: print(text, file=sys.stderr)
    result, counts = run_benchmark(spectra, jobs=max(1, args.jobs),
                                   candidates=not args.no_identification, log=log)
    print(format_table(result))
    print(f"{counts['spectra']} spectra: {result[PREDICTORS[0]]['n']} scored, "
          f"{counts['no_structure']} without a structure, {counts['failed']} failed")
    if "candidates_median" in result:
        print(f"candidates per compound: median {result['candidates_median']:g}; "
              f"random ranking top-1 {_fmt(result['random_top1'])}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=2)
            f.write("\n")
    if args.update_readme:
        source = ("the shipped open set (`data/ei_open.jsonl`)" if args.spectra is None
                  else f"`{os.path.basename(path)}`")
        update_readme(args.update_readme, readme_text(result, counts, source))
    return 0
