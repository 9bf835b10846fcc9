"""Mirror plot of an annotation: the measured spectrum upwards, the predicted peaks
downwards, matched peaks coloured by the generation of their fragment and labelled with
its formula."""
import unicodedata

from .._lazy import LazyModule

plt = LazyModule("matplotlib.pyplot")

# Colours of matched peaks by the generation of their best fragment (0: molecular ion).
GENERATION_COLOURS = ("crimson", "tab:blue", "tab:green", "tab:purple")
UNMATCHED = "0.72"
LABELS = 14  # matched peaks labelled, the most intense first


def _colour(generation):
    return GENERATION_COLOURS[min(generation, len(GENERATION_COLOURS) - 1)]


def _title(result):
    s = result["scores"] or {}

    def pct(x):
        return "–" if x is None else f"{100 * x:.0f} %"

    # Compatibility forms (full-width letters) are not in Matplotlib's default font.
    name = unicodedata.normalize("NFKC", result["name"] or str(result["id"]))
    return (f"{name}  ({result['id']}, M = {result['nominal_mass']})\n"
            f"recall ±1 {pct(s.get('recall_1'))}, exact {pct(s.get('recall_exact'))}, "
            f"precision {pct(s.get('precision'))}, chance ±1 {pct(s.get('chance_1'))}, "
            f"explained intensity {pct(result['explained_intensity'])}")


def plot_annotation(result, ax=None):
    """Draws the mirror plot of an annotation result (`korvane.annotate`) into `ax`, or
    into a new figure; returns the axes. Heights above the axis are measured intensities
    in % of the base peak; below, predicted peaks (no intensity: depth by generation)."""
    if ax is None:
        _, ax = plt.subplots(figsize=(12, 6))
    peaks = result["peaks"] or []
    m = result["nominal_mass"] or 0
    x_max = max([m] + [p["mz"] for p in peaks]) + 10

    # Measured, upwards: matched peaks coloured by their best fragment's generation.
    for p in peaks:
        height = p["intensity"] / 9.99
        colour = _colour(p["matches"][0]["generation"]) if p["matches"] else UNMATCHED
        ax.vlines(p["mz"], 0, height, color=colour, linewidth=1.6 if p["matches"] else 1.0)

    # Predicted, downwards: one stick per m/z, the lowest generation decides colour and
    # depth; sticks that match no measured peak are grey.
    matched_mz = {f["mz"] for p in peaks for f in p["matches"]}
    lowest = {}
    for f in result["predicted"] or []:
        lowest[f["mz"]] = min(lowest.get(f["mz"], f["generation"]), f["generation"])
    for mz, generation in lowest.items():
        depth = -(100 - 25 * min(generation, 2))
        colour = _colour(generation) if mz in matched_mz else UNMATCHED
        ax.vlines(mz, depth, 0, color=colour, linewidth=1.4)

    # Labels on the most intense matched peaks, stacked upwards where they crowd.
    chosen = sorted((p for p in peaks if p["matches"]), key=lambda p: -p["intensity"])[:LABELS]
    placed = []  # (mz, y, half width) of labels already drawn, in m/z units
    char = x_max / 170  # width of one label character in m/z units, at the default size
    for p in sorted(chosen, key=lambda p: p["mz"]):
        best = p["matches"][0]
        # The formula, with its own m/z in brackets when it lies beside the peak's.
        text = (best["formula"] + ("" if best["exact"] else f" ({best['mz']})") +
                f"\n{p['mz']}")
        half = char * max(len(line) for line in text.split("\n")) / 2
        y = p["intensity"] / 9.99 + 3
        while any(abs(p["mz"] - x) < half + w and abs(y - py) < 14 for x, py, w in placed):
            y += 14
        placed.append((p["mz"], y, half))
        ax.annotate(text, xy=(p["mz"], p["intensity"] / 9.99), xytext=(p["mz"], y),
                    ha="center", va="bottom", fontsize=7.5, color=_colour(best["generation"]),
                    arrowprops={"arrowstyle": "-", "color": "gray", "lw": 0.5, "alpha": 0.6})

    top = max([y for _, y, _ in placed] + [100]) + 18
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_xlim(0, x_max)
    ax.set_ylim(-110, top)
    ax.set_yticks([-100, -75, -50, 0, 25, 50, 75, 100])
    ax.set_yticklabels(["gen 0", "gen 1", "gen 2+", "0", "25", "50", "75", "100"])
    ax.set_xlabel("m/z")
    ax.set_ylabel("predicted  |  measured intensity (% of base peak)")
    ax.set_title(_title(result), fontsize=10)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    handles = [plt.Line2D([], [], color=_colour(g), lw=2, label=label) for g, label in
               ((0, "molecular ion"), (1, "generation 1"), (2, "generation 2"))]
    handles.append(plt.Line2D([], [], color=UNMATCHED, lw=2, label="no match"))
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.1), fontsize=8,
              frameon=False, ncol=4)
    return ax
