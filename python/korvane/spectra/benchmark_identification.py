"""What `korvane benchmark` adds to the four m/z predictors: the `korvane` predictor
(its predicted spectrum ranked by the default score), the set-only candidate lists, the
spectrum-free control of the learned score and paired bootstrap intervals of each
predictor's top-1 against all single cuts.

The ranks are the core's (`score_ranks`, `candidate_ranks`): 1 + the number of other
candidates scoring at least as well, so ties never count in the true candidate's favour.
"""
import json

import numpy as np

from .. import _core

KORVANE = "korvane"
BOOTSTRAP_RESAMPLES = 2000
BOOTSTRAP_SEED = 20261210


def fitted_ids():
    """The ids of the spectra the learned score's shipped weights were fitted on (the
    shipped open set)."""
    from .readers import open_spectra_path
    with open(open_spectra_path(), encoding="utf-8") as f:
        return {json.loads(line)["id"] for line in f if line.strip()}


class Scorer:
    """Scores a candidate list under one score ("spectrum" or "learned"); with
    spectrum_free the measured spectrum is emptied first."""

    def __init__(self, score, weights=None):
        self.score = score
        self.weights = weights or _core.SpectrumWeights()
        self.model = None
        if score == "learned":
            from .learned_score import LearnedScore
            self.model = LearnedScore.load()

    def scores(self, peaks, mass, predictions, spectrum_free=False):
        if spectrum_free:
            peaks = []
        spectra = [_core.predicted_spectrum(p["sources"], self.weights) for p in predictions]
        cosine = _core.identification_scores(peaks, spectra, mass)
        if self.model is None:
            return cosine
        from . import learned_score as ls
        views = ls.measured_views(peaks, mass)
        rows = [ls.candidate_features(views, mass, p["sources"], p["sites"], c)
                for p, c in zip(predictions, cosine)]
        return [float(v) for v in self.model.scores(rows)]

    def true_rank(self, peaks, mass, predictions, spectrum_free=False):
        """The rank of predictions[0], the true structure."""
        return _core.score_ranks(self.scores(peaks, mass, predictions, spectrum_free))[0]


def top_k(ranks, k):
    return sum(r <= k for r in ranks) / len(ranks) if ranks else None


def paired_bootstrap(ranks, reference, resamples=BOOTSTRAP_RESAMPLES, seed=BOOTSTRAP_SEED):
    """The 95 % interval [low, high] of top-1(ranks) - top-1(reference) over the same
    compounds, resampled in pairs with a fixed seed."""
    a = np.asarray([r == 1 for r in ranks], float)
    b = np.asarray([r == 1 for r in reference], float)
    if a.size == 0:
        return None
    rng = np.random.default_rng(seed)
    picks = rng.integers(0, a.size, size=(resamples, a.size))
    diffs = (a[picks] - b[picks]).mean(axis=1)
    low, high = np.percentile(diffs, [2.5, 97.5])
    return [float(low), float(high)]


def set_only_results(scored, predicted, predictors, recall_rank, scorer):
    """Ranks among the other scored spectra of the same set with the same nominal mass:
    {predictor: {"top1", "top10", "n"}, "random_top1"}, and the ranks per predictor.

    `scored` lists (peaks, canonical SMILES) of the scored spectra; `recall_rank(peaks,
    mass, mz lists)` ranks the m/z predictors.
    """
    by_mass = {}
    for _, canon in scored:
        by_mass.setdefault(predicted[canon]["mass"], []).append(canon)
    ranks = {name: [] for name in predictors}
    sizes = []
    for peaks, canon in scored:
        p = predicted[canon]
        rivals = [c for c in dict.fromkeys(by_mass[p["mass"]]) if c != canon]
        sizes.append(1 + len(rivals))
        for name in predictors:
            if name == KORVANE:
                ranks[name].append(scorer.true_rank(peaks, p["mass"],
                                                    [p] + [predicted[c] for c in rivals]))
            else:
                ranks[name].append(recall_rank(peaks, p["mass"],
                                               [p[name]] + [predicted[c][name] for c in rivals]))
    out = {name: {"top1": top_k(r, 1), "top10": top_k(r, 10), "n": len(r)}
           for name, r in ranks.items()}
    out["random_top1"] = float(np.mean([1 / n for n in sizes])) if sizes else None
    return out, ranks


def spectrum_free_results(scored, predicted, by_mass, fitted):
    """The learned score with every measured spectrum emptied, on the benchmark's lists
    and on the set-only lists: {"top1", "set_only_top1", "fitted_on_these"}, or None
    when the learned weights are not installed."""
    try:
        scorer = Scorer("learned")
    except FileNotFoundError:
        return None
    own = {}
    for _, canon, _ in scored:
        own.setdefault(predicted[canon]["mass"], []).append(canon)
    full, set_only = [], []
    for _, canon, _ in scored:
        p = predicted[canon]
        rivals = [c for c in by_mass[p["mass"]] if c != canon]
        full.append(scorer.true_rank([], p["mass"], [p] + [predicted[c] for c in rivals], True))
        rivals = [c for c in dict.fromkeys(own[p["mass"]]) if c != canon]
        set_only.append(scorer.true_rank([], p["mass"], [p] + [predicted[c] for c in rivals],
                                         True))
    return {"top1": top_k(full, 1), "set_only_top1": top_k(set_only, 1),
            "fitted_on_these": sum(i in fitted for _, _, i in scored)}


def _lists(scored, predicted, by_mass):
    """Per scored spectrum: (peaks, mass, the benchmark's list, the set-only list), each
    list of predictions with the true structure first."""
    own = {}
    for _, canon, _ in scored:
        own.setdefault(predicted[canon]["mass"], []).append(canon)
    out = []
    for peaks, canon, _ in scored:
        p = predicted[canon]
        full = [p] + [predicted[c] for c in by_mass[p["mass"]] if c != canon]
        alone = [p] + [predicted[c] for c in dict.fromkeys(own[p["mass"]]) if c != canon]
        out.append((peaks, p["mass"], full, alone))
    return out


def soft_bond_ablation(scored, predicted, by_mass, reference=None, set_reference=None):
    """Top-1 of the whole-spectrum score with the default weights and with the soft
    sources (soft single and ring cuts, recursive peaks) weighted 0, on the benchmark's
    and the set-only lists, with the paired interval of their difference and, given the
    ranks of all single cuts on both kinds of list, the score's interval against them."""
    plain = _core.SpectrumWeights()
    plain.soft_single = plain.ring = plain.generation1 = plain.generation2 = 0.0
    out = {}
    ranks = {}
    for name, weights in (("spectrum_score", None), ("without_soft_sources", plain)):
        scorer = Scorer("spectrum", weights)
        full, alone = [], []
        for peaks, mass, a, b in _lists(scored, predicted, by_mass):
            full.append(scorer.true_rank(peaks, mass, a))
            alone.append(scorer.true_rank(peaks, mass, b))
        ranks[name] = (full, alone)
        out[name] = {"top1": top_k(full, 1), "top10": top_k(full, 10),
                     "set_only_top1": top_k(alone, 1)}
    out["ci95_top1_soft_gain"] = paired_bootstrap(ranks["spectrum_score"][0],
                                                  ranks["without_soft_sources"][0])
    out["ci95_set_only_top1_soft_gain"] = paired_bootstrap(ranks["spectrum_score"][1],
                                                           ranks["without_soft_sources"][1])
    if reference is not None:
        out["spectrum_score"]["ci95_top1_vs_all_cuts"] = paired_bootstrap(
            ranks["spectrum_score"][0], reference)
        out["spectrum_score"]["ci95_set_only_top1_vs_all_cuts"] = paired_bootstrap(
            ranks["spectrum_score"][1], set_reference)
    return out


def _pct(x):
    return "–" if x is None else f"{100 * x:.1f} %"


def _points(ci):
    return "–" if ci is None else f"{100 * ci[0]:+.1f} … {100 * ci[1]:+.1f}"


def identification_table(result, predictors, titles):
    """The Markdown table of top-1 / top-10 on the benchmark's lists and on the set-only
    lists, with the paired 95 % interval of each top-1's difference from all single
    cuts, in points; a row scored on spectra its weights were fitted on is marked *."""
    so = result["set_only"]
    ci, ci_so = result["ci95_top1_vs_all_cuts"], result.get("ci95_set_only_top1_vs_all_cuts", {})
    lines = ["| predictor | top-1 | top-10 | top-1 − all cuts (95 % CI) | set-only top-1 | "
             "set-only top-10 | set-only − all cuts (95 % CI) |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for name in predictors:
        row = result[name]
        mark = " *" if name == KORVANE and result["korvane_scorer"]["fitted_on_these"] else ""
        lines.append(f"| {titles[name]}{mark} | {_pct(row['top1'])} | {_pct(row['top10'])} | "
                     f"{_points(ci.get(name)) if name in ci else ''} | "
                     f"{_pct(so[name]['top1'])} | {_pct(so[name]['top10'])} | "
                     f"{_points(ci_so.get(name)) if name in ci_so else ''} |")
    spectrum = result.get("soft_bonds", {}).get("spectrum_score")
    if spectrum and result["korvane_scorer"]["score"] != "spectrum":
        lines.append(f"| whole-spectrum score over the same spectra | {_pct(spectrum['top1'])} | "
                     f"{_pct(spectrum['top10'])} | "
                     f"{_points(spectrum.get('ci95_top1_vs_all_cuts'))} | "
                     f"{_pct(spectrum['set_only_top1'])} | | "
                     f"{_points(spectrum.get('ci95_set_only_top1_vs_all_cuts'))} |")
    lines.append(f"| random order | {_pct(result['random_top1'])} | | | "
                 f"{_pct(so['random_top1'])} | | |")
    free = result.get("spectrum_free")
    if free:
        mark = " *" if free["fitted_on_these"] else ""
        lines.append(f"| spectrum-free control{mark} | {_pct(free['top1'])} | | | "
                     f"{_pct(free['set_only_top1'])} | | |")
    return "\n".join(lines)


def soft_bond_text(result):
    """The paragraph on what the soft bonds add over all single cuts."""
    a = result.get("soft_bonds")
    if not a:
        return ""
    w, wo = a["spectrum_score"], a["without_soft_sources"]
    return (f"What the soft bonds add: the whole-spectrum score over predicted spectra "
            f"built from every splitting cut alone ranks the true structure first for "
            f"{_pct(wo['top1'])} ({_pct(wo['set_only_top1'])} on the set-only lists); "
            f"adding the soft single cuts, ring cuts and recursive peaks with their weights "
            f"gives {_pct(w['top1'])} ({_pct(w['set_only_top1'])}), a paired difference of "
            f"{_points(a['ci95_top1_soft_gain'])} points "
            f"({_points(a['ci95_set_only_top1_soft_gain'])} on the set-only lists). The rest "
            f"of the gain over the recall ranking of all single cuts comes from scoring "
            f"intensities and the isotope pattern.")


def legend_text(result):
    """What the identification table's rows and columns are."""
    k = result["korvane_scorer"]
    free = result.get("spectrum_free")
    text = (f"`korvane` ranks by the {k['score']} score over its predicted spectra, the "
            f"whole-spectrum row by the weighted cosine with the isotope term (its weights "
            f"chosen on other spectra); the other "
            f"rows by recall of the measured top-10 within ±1, then precision. Set-only "
            f"lists hold the other spectra of this set with the same nominal mass (no NCI "
            f"decoys, so a prior that tells NCI molecules from measured compounds cannot "
            f"help). Intervals: paired bootstrap over compounds, {BOOTSTRAP_RESAMPLES} "
            f"resamples, fixed seed, in points of top-1.")
    if free:
        text += (" The spectrum-free control is the learned score with every measured "
                 "spectrum emptied: what it reaches comes from telling the candidates' "
                 "sources apart, not from the spectrum.")
    if k.get("fitted_on_these") or (free and free["fitted_on_these"]):
        text += (" * scores spectra its weights were fitted on (in sample); the "
                 "out-of-sample figures are bench/identification.py's, below.")
    return text
