"""Chooses the predicted spectrum's weights and the score's parameters by seeded
cross-validation, on measured EI spectra that the project does not ship.

    bench/identification.py [--spectra ../shared/data/ei_spectra.jsonl] [--jobs 2]

Each spectrum's candidate list is its own structure and every structure of the same
nominal mass among the set and RDKit's NCI sample, as `korvane benchmark` makes them.
The weights of SpectrumWeights and ScoreParameters are searched coordinate by coordinate
over a grid (two passes from the current defaults), maximising top-1 (mean reciprocal
rank breaking ties). It prints:
- the 2-fold cross-validation (seeded halves; each half scored with the settings chosen
  on the other) of the defaults, of the search, and of all single cuts with the
  recall ranking, on the same lists;
- the settings chosen on the spectra that are not in the shipped open set (the figure
  of `korvane benchmark` on the shipped set is then out of sample): these are the
  core's defaults.
The predictions are cached under build/, keyed by a hash of the installed core module.
"""
import argparse
import json
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The 1000 spectra lie beside the repository (../shared/data), never inside it: most of
# them are licensed for non-commercial use only.
DEFAULT_SPECTRA = next((p for p in (os.path.join(os.path.dirname(ROOT), "shared", "data",
                                                 "ei_spectra.jsonl"),
                                    "/work/shared/data/ei_spectra.jsonl")
                        if os.path.exists(p)), "../shared/data/ei_spectra.jsonl")
OPEN_SET = os.path.join(ROOT, "data", "ei_open.jsonl")
SEED = 20261210

# Where the search starts: one per splitting-cut m/z, +2 soft single, +0.5 ring cut, +0.5
# first recursive generation; sqrt(intensity) and sqrt(m/z), isotope term 0.35, cap 2,
# from I(M) >= 20.
START_WEIGHTS = {"cut_piece": 1.0, "cut_repeat": 0.0, "soft_single": 2.0, "ring": 0.5,
                 "generation1": 0.5, "generation2": 0.0, "molecular_ion": 2.0}
START_SCORE = {"intensity_power": 0.5, "mz_power": 0.5, "predicted_power": 1.0,
               "isotope_weight": 0.35, "isotope_cap": 2.0, "min_molecular_ion": 20.0}

# The grid of each setting; the search starts from the core's defaults.
WEIGHT_GRID = {"soft_single": [0, 0.5, 1, 2, 3, 4, 6, 8],
               "ring": [0, 0.25, 0.5, 1, 2],
               "generation1": [0, 0.25, 0.5, 1, 2],
               "generation2": [0, 0.25, 0.5, 1],
               "cut_repeat": [0, 0.05, 0.1, 0.25, 0.5, 1],
               "cut_piece": [0.5, 1, 2]}
SCORE_GRID = {"mz_power": [0, 0.25, 0.5, 1, 1.5],
              "intensity_power": [0.33, 0.5, 0.75, 1],
              "predicted_power": [0.5, 0.75, 1, 1.5],
              "isotope_weight": [0, 0.1, 0.2, 0.35, 0.5, 0.8, 1.2, 1.6],
              "isotope_cap": [0.5, 1, 2, 4],
              "min_molecular_ion": [5, 10, 20, 50, 100]}


def core_key():
    """The cache key: the SHA-256 of the installed extension module."""
    import hashlib
    from korvane import _core
    with open(_core.__file__, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def load(path, jobs, cache_path, log):
    """Returns (entries, predictions, lists): entries [(id, nominal peaks, mass,
    canonical SMILES)], predictions {canonical SMILES: predict_mz's dict},
    lists: per entry the candidates' canonical SMILES, its own first."""
    from korvane.batch.pool import map_all
    from korvane.spectra import candidates as bm
    from korvane.spectra import read_spectra
    from rdkit import Chem, RDLogger
    RDLogger.DisableLog("rdApp.*")
    entries = []
    for sp in read_spectra(path):
        canon = bm.canonical_smiles(sp.smiles)
        if canon is None:
            continue
        entries.append((sp.id, sp.nominal_peaks(), bm.nominal_mass_of(sp.smiles), canon,
                        sp.smiles))
    pool = {e[3]: e[4] for e in entries}
    wanted = {e[2] for e in entries}
    for smi in bm.nci_candidates():
        mol = Chem.MolFromSmiles(smi)
        if mol is None or bm.mol_nominal_mass(mol) not in wanted:
            continue
        pool.setdefault(Chem.MolToSmiles(mol, isomericSmiles=False), smi)
    cache = {}
    if os.path.exists(cache_path):
        with open(cache_path) as f:
            stored = json.load(f)
        if stored.get("version") == core_key():
            cache = stored["predictions"]
    todo = [k for k in pool if k not in cache]
    if todo:
        log(f"predicting {len(todo)} structures with {jobs} job(s)")
        start = time.time()
        for k, p in zip(todo, map_all(bm.predict_mz_task, [pool[k] for k in todo], None, jobs=jobs,
                                           lost=bm.lost_prediction)):
            cache[k] = p
        log(f"  {time.time() - start:.0f} s")
        os.makedirs(os.path.dirname(cache_path), exist_ok=True)
        with open(cache_path, "w") as f:
            json.dump({"version": core_key(), "predictions": cache}, f)
    by_mass = {}
    for k in pool:
        if "error" not in cache[k]:
            by_mass.setdefault(cache[k]["mass"], []).append(k)
    kept, lists = [], []
    for e in entries:
        if "error" in cache[e[3]]:
            continue
        kept.append(e[:4])
        lists.append([e[3]] + [c for c in by_mass[cache[e[3]]["mass"]] if c != e[3]])
    return kept, cache, lists


class Evaluator:
    """Ranks of the true candidates under given settings, predicted spectra cached per
    weight setting."""

    def __init__(self, entries, predictions, lists):
        self.entries, self.predictions, self.lists = entries, predictions, lists
        self._spectra = {}

    def spectra(self, weights):
        from korvane.spectra import scores as ident
        key = tuple(sorted(weights.items()))
        if key not in self._spectra:
            w = ident.spectrum_weights(**weights)
            self._spectra = {key: {k: ident.predicted_spectrum(p["sources"], w)
                                   for k, p in self.predictions.items() if "error" not in p}}
        return self._spectra[key]

    def ranks(self, weights, score, subset):
        from korvane import _core
        from korvane.spectra import scores as ident
        spectra = self.spectra(weights)
        params = ident.score_parameters(**score)
        out = []
        for i in subset:
            _, peaks, mass, _ = self.entries[i]
            scores = _core.identification_scores(peaks, [spectra[c] for c in self.lists[i]],
                                                 mass, params)
            out.append(_core.score_ranks(scores)[0])
        return out

    def recall_ranks(self, subset):
        from korvane.spectra.search import rank_candidates
        out = []
        for i in subset:
            _, peaks, mass, _ = self.entries[i]
            mz = [self.predictions[c]["all_single_cuts"] for c in self.lists[i]]
            out.append(rank_candidates(peaks, mass, mz)[0][0])
        return out


# --- the learned score -------------------------------------------------------------

L2_GRID = (0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1, 3, 10)
INNER_FOLDS = 5


def list_features(ev, subset, spectrum_free=False):
    """Returns per entry of `subset` the (candidates, features) matrix, its own structure
    first; with spectrum_free the measured spectrum is emptied."""
    import numpy as np
    from korvane import _core
    from korvane.spectra import scores as ident
    from korvane.spectra import learned_score as ls
    spectra = ev.spectra(ident.settings_dict(ident.spectrum_weights(), ident.WEIGHT_NAMES))
    out = []
    for i in subset:
        _, peaks, mass, _ = ev.entries[i]
        peaks = [] if spectrum_free else peaks
        views = ls.measured_views(peaks, mass)
        cands = ev.lists[i]
        cosine = _core.identification_scores(peaks, [spectra[c] for c in cands], mass)
        out.append(np.array([ls.candidate_features(views, mass, ev.predictions[c]["sources"],
                                                   ev.predictions[c]["sites"], x)
                             for c, x in zip(cands, cosine)]))
    return out


def fit_logit(groups, l2):
    """Fits the conditional logit (row 0 of each group is the true candidate) with an L2
    penalty on the standardised weights; returns (mean, scale, weights)."""
    import numpy as np
    from scipy.optimize import minimize
    rows = np.vstack(groups)
    mean = rows.mean(axis=0)
    scale = rows.std(axis=0)
    scale[scale == 0] = 1.0
    z = (rows - mean) / scale
    starts = np.cumsum([0] + [len(g) for g in groups[:-1]])
    true = z[starts]

    def loss(w):
        s = z @ w
        top = np.maximum.reduceat(s, starts)
        e = np.exp(s - np.repeat(top, [len(g) for g in groups]))
        total = np.add.reduceat(e, starts)
        p = e / np.repeat(total, [len(g) for g in groups])
        value = -(s[starts] - top - np.log(total)).sum() + 0.5 * l2 * w @ w
        grad = -(true.sum(axis=0) - p @ z) + l2 * w
        return value, grad

    res = minimize(loss, np.zeros(z.shape[1]), jac=True, method="L-BFGS-B",
                   options={"maxiter": 2000})
    return mean, scale, res.x


def logit_ranks(model, groups):
    from korvane import _core
    mean, scale, w = model
    return [_core.score_ranks((((g - mean) / scale) @ w).tolist())[0] for g in groups]


def choose_l2(groups, seed=SEED):
    """The L2 of L2_GRID with the best top-1 (then reciprocal rank) by inner
    INNER_FOLDS-fold cross-validation over the groups."""
    order = list(range(len(groups)))
    random.Random(seed).shuffle(order)
    folds = [order[k::INNER_FOLDS] for k in range(INNER_FOLDS)]
    best = None
    for l2 in L2_GRID:
        ranks = []
        for k in range(INNER_FOLDS):
            held = set(folds[k])
            model = fit_logit([g for j, g in enumerate(groups) if j not in held], l2)
            ranks += logit_ranks(model, [groups[j] for j in folds[k]])
        got = objective(ranks)
        if best is None or got > best[0]:
            best = (got, l2)
    return best[1]


def fit_learned(groups):
    l2 = choose_l2(groups)
    return fit_logit(groups, l2), l2


def learned_json(model, l2, n_spectra):
    """The shipped weights' text: features, standardisation, weights (8 significant
    digits), the L2 and what they were fitted on."""
    from korvane.spectra import learned_score as ls
    mean, scale, w = model
    r = lambda xs: [float(f"{x:.8g}") for x in xs]
    data = {"features": ls.feature_names(), "mean": r(mean), "scale": r(scale),
            "weights": r(w), "l2": l2,
            "fitted_on": f"data/ei_open.jsonl ({n_spectra} spectra), candidates of the same "
                         "nominal mass from the set and RDKit's NCI sample",
            "made_by": "bench/identification.py --learned"}
    return json.dumps(data, indent=1) + "\n"


def learned_part(args, ev, halves_, inside, outside, cv_item2, log):
    """The learned score's cross-validation on the set, its weights fitted on the shipped
    set (written or checked), and their figure on the other spectra."""
    n = len(ev.entries)
    everything = list(range(n))
    log("features of every candidate list")
    groups = list_features(ev, everything)
    cv = {}
    for train, test in (halves_, halves_[::-1]):
        model, l2 = fit_learned([groups[i] for i in train])
        log(f"  fold: L2 {l2}")
        cv.update(zip(test, logit_ranks(model, [groups[i] for i in test])))
    ranks = [cv[i] for i in everything]
    print(f"learned score, 2-fold CV over {n}: top-1 {ci(ranks)} / top-10 "
          f"{top(ranks, 10):.1%}; against the whole-spectrum score chosen per fold: "
          f"{ci_vs(ranks, cv_item2)}")
    better = top(ranks) > top(cv_item2)
    print(f"  it {'beats' if better else 'does not beat'} the whole-spectrum score there")

    # The shipped weights: fitted on the shipped set with its benchmark lists.
    open_entries, open_predictions, open_lists = load(OPEN_SET, args.jobs, args.open_cache, log)
    open_ev = Evaluator(open_entries, open_predictions, open_lists)
    open_groups = list_features(open_ev, range(len(open_entries)))
    model, l2 = fit_learned(open_groups)
    text = learned_json(model, l2, len(open_entries))
    path = os.path.join(ROOT, "data", "learned_score.json")
    if args.write_learned:
        with open(path, "w") as f:
            f.write(text)
        print(f"  wrote {path}")
    else:
        try:
            with open(path) as f:
                same = f.read() == text
        except FileNotFoundError:
            same = False
        print(f"  {path} {'is reproduced bit for bit' if same else 'DIFFERS from this fit'}")
    a, b = halves(len(open_groups))
    cv272 = {}
    for train, test in ((a, b), (b, a)):
        m, _ = fit_learned([open_groups[i] for i in train])
        cv272.update(zip(test, logit_ranks(m, [open_groups[i] for i in test])))
    r272 = [cv272[i] for i in range(len(open_groups))]
    print(f"  2-fold CV on the {len(open_groups)} shipped spectra, benchmark lists: top-1 "
          f"{ci(r272)} / top-10 {top(r272, 10):.1%}")
    # The set-only lists are rows of the benchmark lists: the structures of the set.
    own = {e[3] for e in open_entries}
    set_rows = [[0] + [j for j, c in enumerate(open_lists[i]) if j and c in own]
                for i in range(len(open_groups))]
    so = {}
    for train, test in ((a, b), (b, a)):
        m, _ = fit_learned([open_groups[i] for i in train])
        so.update(zip(test, logit_ranks(m, [open_groups[i][set_rows[i]] for i in test])))
    so = [so[i] for i in range(len(open_groups))]
    print(f"  the same folds on the set-only lists: top-1 {ci(so)}, random "
          f"{sum(1 / len(r) for r in set_rows) / len(set_rows):.1%}")
    out = logit_ranks(model, [groups[i] for i in outside])
    print(f"  fitted on the shipped set, scored on the {len(outside)} others: top-1 "
          f"{ci(out)} / top-10 {top(out, 10):.1%}")
    free = logit_ranks(model, list_features(ev, outside, spectrum_free=True))
    print(f"  the same with the measured spectra emptied: top-1 {ci(free)}, random "
          f"{sum(1 / len(ev.lists[i]) for i in outside) / len(outside):.1%}")
    return better


def objective(ranks):
    return (sum(r == 1 for r in ranks) / len(ranks), sum(1 / r for r in ranks) / len(ranks))


def search(ev, subset, weights, score, log, passes=2):
    """Coordinate search from (weights, score) over the grids; returns the best found."""
    weights, score = dict(weights), dict(score)
    best = objective(ev.ranks(weights, score, subset))
    for _ in range(passes):
        changed = False
        for grid, current in ((WEIGHT_GRID, weights), (SCORE_GRID, score)):
            for name, values in grid.items():
                for v in values:
                    if v == current[name]:
                        continue
                    trial = dict(current, **{name: v})
                    w, s = (trial, score) if grid is WEIGHT_GRID else (weights, trial)
                    got = objective(ev.ranks(w, s, subset))
                    if got > best:
                        best, changed = got, True
                        current[name] = v
        log(f"  pass: top-1 {best[0]:.1%} with {weights} {score}")
        if not changed:
            break
    return weights, score, best


def halves(n, seed=SEED):
    order = list(range(n))
    random.Random(seed).shuffle(order)
    return sorted(order[: n // 2]), sorted(order[n // 2:])


def top(ranks, k=1):
    return sum(r <= k for r in ranks) / len(ranks)


def ci(ranks, seed=SEED, resamples=2000):
    """Top-1 with the seeded bootstrap 95 % interval over compounds, as text."""
    import numpy as np
    hits = np.asarray([r == 1 for r in ranks], float)
    means = hits[np.random.default_rng(seed).integers(0, hits.size, (resamples, hits.size))
                 ].mean(axis=1)
    low, high = np.percentile(means, [2.5, 97.5])
    return f"{hits.mean():.1%} [{low:.1%}, {high:.1%}]"


def ci_vs(ranks, reference):
    """The paired interval of top-1(ranks) - top-1(reference), in points, as text."""
    from korvane.spectra.benchmark_identification import paired_bootstrap
    low, high = paired_bootstrap(ranks, reference)
    return (f"{100 * (top(ranks) - top(reference)):+.1f} points "
            f"[{100 * low:+.1f}, {100 * high:+.1f}]")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", default=DEFAULT_SPECTRA)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--cache", default=os.path.join(ROOT, "build", "identification-cache.json"))
    parser.add_argument("--passes", type=int, default=2)
    parser.add_argument("--open-cache",
                        default=os.path.join(ROOT, "build", "identification-open-cache.json"))
    parser.add_argument("--learned", action="store_true",
                        help="also cross-validate and fit the learned score (needs SciPy)")
    parser.add_argument("--write-learned", action="store_true",
                        help="write data/learned_score.json instead of checking it")
    args = parser.parse_args(argv)
    log = lambda text: print(text, file=sys.stderr, flush=True)

    from korvane.spectra import scores as ident
    entries, predictions, lists = load(args.spectra, args.jobs, args.cache, log)
    ev = Evaluator(entries, predictions, lists)
    n = len(entries)
    log(f"{n} spectra, median {sorted(map(len, lists))[n // 2]} candidates")
    weights0, score0 = dict(START_WEIGHTS), dict(START_SCORE)
    core_w = ident.settings_dict(ident.spectrum_weights(), ident.WEIGHT_NAMES)
    core_s = ident.settings_dict(ident.score_parameters(), ident.SCORE_NAMES)

    everything = list(range(n))
    a, b = halves(n)
    recall = ev.recall_ranks(everything)
    defaults = ev.ranks(weights0, score0, everything)
    cv = {}
    for train, test in ((a, b), (b, a)):
        log(f"fold: choosing on {len(train)} spectra")
        w, s, _ = search(ev, train, weights0, score0, log, args.passes)
        cv.update(zip(test, ev.ranks(w, s, test)))
    cv_ranks = [cv[i] for i in everything]
    print(f"2-fold CV over {n} spectra (seed {SEED}), top-1 / top-10:")
    print(f"  all single cuts, recall ranking: {ci(recall)} / {top(recall, 10):.1%}")
    print(f"  starting values, cosine + isotope term: {ci(defaults)} / "
          f"{top(defaults, 10):.1%}")
    core = ev.ranks(core_w, core_s, everything)
    print(f"  the core's defaults (chosen on spectra of both halves): {top(core):.1%} / "
          f"{top(core, 10):.1%}")
    print(f"  settings chosen on the other half: {ci(cv_ranks)} / {top(cv_ranks, 10):.1%}, "
          f"{ci_vs(cv_ranks, recall)} over all single cuts")

    with open(OPEN_SET) as f:
        shipped = {json.loads(line)["id"] for line in f if line.strip()}
    outside = [i for i in everything if entries[i][0] not in shipped]
    inside = [i for i in everything if entries[i][0] in shipped]
    log(f"choosing on the {len(outside)} spectra outside the shipped set")
    w, s, best = search(ev, outside, weights0, score0, log, args.passes)
    shipped_ranks = ev.ranks(w, s, inside)
    print(f"chosen on the {len(outside)} spectra outside the shipped set (top-1 there "
          f"{best[0]:.1%}):")
    print(f"  SpectrumWeights {json.dumps(w)}")
    print(f"  ScoreParameters {json.dumps(s)}")
    print(f"  on the {len(inside)} shipped spectra, these lists: top-1 {ci(shipped_ranks)}"
          f" / top-10 {top(shipped_ranks, 10):.1%}")
    same = all(float(w[k]) == core_w[k] for k in w) and all(float(s[k]) == core_s[k] for k in s)
    print(f"  the core's defaults {'are' if same else 'are NOT'} these settings")
    if args.learned or args.write_learned:
        learned_part(args, ev, (a, b), inside, outside, cv_ranks, log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
