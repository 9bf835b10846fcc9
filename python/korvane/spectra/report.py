"""The report of a batch (`korvane report`): one self-contained HTML page of the JSON Lines
that `korvane annotate`, `korvane predict` or `korvane search` wrote.

The page makes no request of any kind: its style sheet and script are inline and allowed
by their hashes in its Content-Security-Policy, which forbids everything else except
images given as data: URIs (the structure drawings, RDKit's SVG). The index is a static
table; every compound's data, its drawings packed with gzip, sits in a JSON block
(`<script type="application/json">`) that the page's script reads with JSON.parse when the
compound's section comes near the viewport, so that a batch of thousands opens at once. Text reaches the page escaped (HTML) or through the JSON block
and textContent, never as markup.
"""
import base64
import gzip
import hashlib
import html
import json
import os
import re
import sys

from rdkit import Chem, RDLogger
from rdkit.Chem import rdDepictor, rdMolDescriptors
from rdkit.Chem.Draw import rdMolDraw2D

_HERE = os.path.dirname(os.path.abspath(__file__))

# Drawings: whole molecule (pixels), and the highlight colours of a fragment's atoms and
# bonds and of the bonds cut to free it (Okabe-Ito sky blue and orange, which stay apart
# for the common colour-vision deficiencies).
DRAWING_SIZE = (320, 240)
HIT_DRAWING_SIZE = (220, 170)
FRAGMENT_COLOUR = (0.45, 0.76, 0.93)
CUT_COLOUR = (0.90, 0.62, 0.0)

KINDS = ("annotate", "predict", "search")


class ReportError(ValueError):
    """An input that cannot be made into a report: the message says where and why."""


def input_kind_of(record):
    """Returns "annotate", "predict" or "search": the command that wrote `record`."""
    if not isinstance(record, dict):
        raise ReportError("a line is not a JSON object")
    if "hits" in record and "candidates" in record:
        return "search"
    if "tolerance" in record and "explained_intensity" in record:
        return "annotate"
    if "schema_version" in record and "single_cuts" in record:
        return "predict"
    raise ReportError("a record is neither from korvane annotate, predict nor search "
                      f"(keys: {', '.join(sorted(record))[:200]})")


def _finite(text):
    value = float(text)
    if value != value or value in (float("inf"), float("-inf")):
        raise ReportError(f"{text} is not a finite number")
    return value


def _not_a_number(name):
    raise ReportError(f"{name} is not a JSON number")


def read_records(path):
    """Returns (kind, records) of a JSON Lines file; raises ReportError naming the line of
    a malformed record (non-finite numbers included, which the page's JSON could not
    hold), or when the file mixes the outputs of two commands."""
    records, kind = [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line, parse_float=_finite, parse_constant=_not_a_number)
                this = input_kind_of(record)
            except (ValueError, RecursionError) as e:  # JSONDecodeError and ReportError too
                raise ReportError(f"{path}:{number}: {e}") from None
            if kind is not None and this != kind:
                raise ReportError(f"{path}:{number}: a {this} record among {kind} records")
            kind = this
            records.append(record)
    return kind, records


# ---------------------------------------------------------------------------------------
# Drawings

_TAG = re.compile(r"<[^<>]+>")
_ATTR = re.compile(r"\s(class|style)='([^']*)'")


def _compact_svg(svg):
    """Returns RDKit's SVG text smaller and unchanged in what it draws: the XML prolog and
    comments dropped, and each distinct inline style moved into one rule of an internal
    style sheet that elements name by class (RDKit repeats ~150 characters per path)."""
    svg = re.sub(r"<\?xml[^>]*\?>|<!--.*?-->", "", svg, flags=re.S)
    styles = {}

    def tag(m):
        text = m.group(0)
        found = dict(_ATTR.findall(text))
        if "style" not in found:
            return text
        name = styles.setdefault(found["style"], f"k{len(styles)}")
        classes = (found.get("class", "").split() + [name])
        text = _ATTR.sub("", text)
        return text.replace(" ", f" class='{' '.join(classes)}' ", 1)

    body = _TAG.sub(tag, svg)
    body = re.sub(r"\s*\n\s*", "\n", body).strip()
    rules = "".join(f".{n}{{{s}}}" for s, n in styles.items())
    return body.replace(">", f"><style>{rules}</style>", 1) if rules else body


def _molecule(smiles, dropped=()):
    """Returns the RDKit molecule whose atom indices a record's atom lists use, or None:
    the SMILES read as the analysis reads it (unsanitised, so that hydrogens written in it
    keep their place; the analysis numbers its added hydrogens after these atoms), or its
    largest piece when the record dropped the others."""
    if not isinstance(smiles, str) or not smiles:
        return None
    RDLogger.DisableLog("rdApp.*")
    try:
        mol = Chem.MolFromSmiles(smiles, sanitize=False)
        if mol is not None and dropped:
            pieces = Chem.GetMolFrags(mol, asMols=True, sanitizeFrags=False)
            kept = [p for p in pieces if Chem.MolToSmiles(p) not in dropped]
            mol = kept[0] if len(kept) == 1 else None
        if mol is not None:
            mol.UpdatePropertyCache(strict=False)
            # Drawing needs ring perception; a molecule RDKit cannot kekulise is drawn
            # as far as the steps before the failing one take it.
            Chem.SanitizeMol(mol, catchErrors=True)
            rdDepictor.Compute2DCoords(mol)  # once: every drawing of it reuses them
    except RuntimeError:  # RDKit's parser errors on text it cannot represent at all
        mol = None
    finally:
        RDLogger.EnableLog("rdApp.*")
    return mol


def draw_molecule(mol, atoms=None, size=DRAWING_SIZE):
    """Returns RDKit's SVG drawing of `mol` (text, compacted); with `atoms` (a fragment's atom
    indices), those atoms and the bonds among them highlighted in FRAGMENT_COLOUR and the
    bonds from them to the rest of the molecule, the cut bonds, in CUT_COLOUR."""
    drawer = rdMolDraw2D.MolDraw2DSVG(*size)
    options = drawer.drawOptions()
    options.clearBackground = False
    options.highlightRadius = 0.4  # RDKit's 0.3 is hard to see on a long chain
    if atoms is None:
        drawer.DrawMolecule(mol)
    else:
        inside = set(atoms)
        bonds, colours = [], {}
        for bond in mol.GetBonds():
            ends = (bond.GetBeginAtomIdx() in inside) + (bond.GetEndAtomIdx() in inside)
            if ends:
                bonds.append(bond.GetIdx())
                colours[bond.GetIdx()] = FRAGMENT_COLOUR if ends == 2 else CUT_COLOUR
        drawer.DrawMolecule(mol, highlightAtoms=sorted(inside), highlightBonds=bonds,
                            highlightAtomColors={a: FRAGMENT_COLOUR for a in inside},
                            highlightBondColors=colours)
    drawer.FinishDrawing()
    return _compact_svg(drawer.GetDrawingText())


class _Drawings:
    """Drawings of one batch, made once per (SMILES, fragment atoms): a batch that repeats
    a molecule draws it once."""

    def __init__(self):
        self.cache = {}

    def get(self, mol, smiles, atoms=None, size=DRAWING_SIZE):
        key = (smiles, None if atoms is None else tuple(sorted(atoms)), size)
        if key not in self.cache:
            self.cache[key] = draw_molecule(mol, atoms, size)
        return self.cache[key]


class _Pack:
    """The drawings of one compound's section, each kept once, sent as one gzip member
    (base64) of their JSON list. A compound's drawings repeat its whole molecule and
    differ in the highlights, so they compress some twentyfold; the page inflates them
    with the browser's DecompressionStream."""

    def __init__(self):
        self.svgs, self.index = [], {}

    def add(self, svg):
        """Returns the drawing's index in the pack."""
        if svg not in self.index:
            self.index[svg] = len(self.svgs)
            self.svgs.append(svg)
        return self.index[svg]

    def encode(self):
        raw = json.dumps(self.svgs, separators=(",", ":")).encode("utf-8")
        return base64.b64encode(gzip.compress(raw, 9, mtime=0)).decode("ascii")


def _fragment_atoms(mol, fragment):
    """The fragment's atoms that `mol` has (the analysis's added hydrogens come after
    them and are not drawn), or None when there are none (no drawing)."""
    atoms = fragment.get("atoms")
    if mol is None or not atoms:
        return None
    n = mol.GetNumAtoms()
    kept = [a for a in atoms if isinstance(a, int) and 0 <= a < n]
    return kept or None


# ---------------------------------------------------------------------------------------
# The data of each compound: plain lists for the page's script


def _formula(mol, fragments):
    for f in fragments:
        if f.get("generation") == 0 and f.get("formula"):
            return f["formula"]
    return rdMolDescriptors.CalcMolFormula(mol) if mol is not None else None


def _path_text(bonds):
    return " → ".join(str(b) for b in bonds or [])


def _predicted_sticks(fragments, spectrum, matched_mz=frozenset()):
    """[[m/z, height in % or None, generation, matched]]: one stick per predicted m/z, its
    lowest generation deciding colour; heights from the predicted intensities when the
    record has them (None: the plot draws depth by generation)."""
    lowest = {}
    for f in fragments:
        g = f.get("generation") or 0
        lowest[f["mz"]] = min(lowest.get(f["mz"], g), g)
    heights = {}
    if spectrum:
        top = max((i for _, i in spectrum), default=0) or 1
        heights = {int(round(mz)): 100.0 * i / top for mz, i in spectrum}
        for mz in heights:
            lowest.setdefault(mz, None)
    return [[mz, round(heights[mz], 2) if mz in heights else None, lowest[mz],
             int(mz in matched_mz)] for mz in sorted(lowest)]


def _fragment_row(mz, intensity, f, drawing):
    return [mz, intensity, f.get("formula"), f.get("generation"), f.get("source"),
            _path_text(f.get("bonds")), drawing, f.get("mz")]


def _annotate_data(r, drawings, pack):
    mol = _molecule(r.get("smiles"))
    predicted = r.get("predicted") or []

    def drawing(f):
        atoms = _fragment_atoms(mol, f)
        return -1 if atoms is None else pack.add(drawings.get(mol, r["smiles"], atoms))

    rows, measured = [], []
    for p in r.get("peaks") or []:
        measured.append([p["mz"], p["intensity"], p["matches"][0]["generation"]
                         if p["matches"] else None])
        if not p["matches"]:
            rows.append([p["mz"], p["intensity"], None, None, None, "", -1, None])
        for f in p["matches"]:
            rows.append(_fragment_row(p["mz"], p["intensity"], f, drawing(f)))
    matched = {f["mz"] for p in r.get("peaks") or [] for f in p["matches"]}
    return mol, {"measured": measured, "rows": rows,
                 "sticks": _predicted_sticks(predicted, r.get("spectrum"), matched),
                 "formula": _formula(mol, predicted)}


def _predict_data(r, drawings, pack):
    from .annotation import predicted_fragments
    mol = _molecule(r.get("smiles"), r.get("dropped_components") or ())
    fragments = predicted_fragments(r) if r.get("status") == "ok" else []
    spectrum = r.get("spectrum")
    top = max((i for _, i in spectrum or []), default=0) or 1
    intensity = {int(round(mz)): round(999 * i / top) for mz, i in spectrum or []}
    rows = []
    for f in fragments:
        atoms = _fragment_atoms(mol, f)
        d = -1 if atoms is None else pack.add(drawings.get(mol, r["smiles"], atoms))
        rows.append(_fragment_row(f["mz"], intensity.get(f["mz"]), f, d))
    return mol, {"measured": None, "rows": rows,
                 "sticks": _predicted_sticks(fragments, spectrum),
                 "formula": r.get("formula") or _formula(mol, fragments)}


def _hit_scores(hit):
    out = []
    if hit.get("score") is not None:
        out.append(["score", _number(hit["score"], 3)])
    out += [["recall ±1", _percent(hit.get("recall_1"))],
            ["precision", _percent(hit.get("precision"))]]
    return out


def _search_data(r, drawings, pack, library, top):
    hits = []
    for h in (r.get("hits") or [])[:top]:
        entry = library.get(h.get("id"))
        smiles = h.get("smiles") or (entry.smiles if entry is not None else None)
        mol = _molecule(smiles)
        sticks = []
        if entry is not None:
            peaks = entry.nominal_peaks()
            base = max((i for _, i in peaks), default=0) or 1
            sticks = [[mz, round(100.0 * i / base, 2), None, 0] for mz, i in peaks]
        hits.append({"rank": h.get("rank"), "id": h.get("id"), "name": h.get("name"),
                     "smiles": smiles, "scores": _hit_scores(h), "sticks": sticks,
                     "mol": pack.add(drawings.get(mol, smiles, None, HIT_DRAWING_SIZE))
                     if mol is not None else -1})
    return {"hits": hits}


def _percent(x):
    return "–" if x is None else f"{100 * x:.0f} %"


def _number(x, digits=0):
    return "–" if x is None else f"{x:.{digits}f}"


# Index columns per input kind: (heading, function of (record, data) giving the value).
def _columns(kind):
    common = [("id", lambda r, d: r.get("id")), ("name", lambda r, d: r.get("name")),
              ("formula", lambda r, d: d.get("formula")),
              ("M", lambda r, d: r.get("nominal_mass", r.get("mass")))]
    if kind == "annotate":
        s = lambda r: r.get("scores") or {}  # noqa: E731
        return common + [
            ("status", lambda r, d: r.get("status")),
            ("recall ±1", lambda r, d: s(r).get("recall_1")),
            ("precision", lambda r, d: s(r).get("precision")),
            ("explained intensity", lambda r, d: r.get("explained_intensity"))]
    if kind == "predict":
        return common[:1] + common[2:] + [
            ("status", lambda r, d: r.get("status")),
            ("predicted m/z", lambda r, d: len(d.get("sticks") or []) or None),
            ("soft bonds", lambda r, d: None if r.get("soft_bonds") is None
             else len(r["soft_bonds"]))]
    best = lambda r: (r.get("hits") or [None])[0] or {}  # noqa: E731
    return common[:2] + common[3:] + [
        ("candidates", lambda r, d: r.get("candidates")),
        ("true rank", lambda r, d: r.get("true_rank")),
        ("best hit", lambda r, d: best(r).get("name") or best(r).get("id")),
        ("best score", lambda r, d: best(r).get("score", best(r).get("recall_1")))]


_FRACTIONS = ("recall ±1", "precision", "explained intensity")


def _cell(heading, value):
    """Returns the <td> of one index value: text shown, data-v the value sorted by."""
    if value is None:
        return "<td data-v=''>–</td>"
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        text = _percent(value) if heading in _FRACTIONS else (
            f"{value:.3f}" if isinstance(value, float) else str(value))
        return f"<td class='num' data-v='{value!r}'>{html.escape(text)}</td>"
    text = html.escape(str(value))
    return f"<td data-v='{text}'>{text}</td>"


def _json_block(value):
    """JSON that cannot end its <script> block early: <, > and & written as escapes."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return (text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
            .replace("\u2028", "\\u2028").replace("\u2029", "\\u2029"))


def _asset(name):
    with open(os.path.join(_HERE, name), encoding="utf-8") as f:
        return f.read()


def _csp_hash(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


def _title_of(r, i):
    name = r.get("name")
    rid = r.get("id")
    return str(name or rid or f"compound {i + 1}")


def build_report(records, kind, library=None, title=None, top=5):
    """Returns the HTML text of the report of `records` (dicts of one command's JSON
    Lines, `kind` as input_kind_of says); `library` maps a search hit's id to its library
    Spectrum, and `top` hits of each search result are shown."""
    if kind not in KINDS:
        raise ReportError(f"unknown input kind {kind!r}")
    drawings = _Drawings()
    library = library or {}
    columns = _columns(kind)
    rows, sections, errors = [], [], []
    for i, r in enumerate(records):
        ok = r.get("status", "ok") == "ok"
        data, mol, pack = {}, None, _Pack()
        if kind == "annotate" and ok:
            mol, data = _annotate_data(r, drawings, pack)
        elif kind == "predict" and ok:
            mol, data = _predict_data(r, drawings, pack)
        elif kind == "search":
            data = _search_data(r, drawings, pack, library, top)
        data["mol"] = -1 if mol is None else pack.add(drawings.get(mol, r.get("smiles")))
        data["pack"] = pack.encode()
        heading = _title_of(r, i)
        search_text = " ".join(str(x) for x in (r.get("id"), r.get("name"),
                                                 data.get("formula"), r.get("smiles"))
                               if x).lower()
        cells = "".join(_cell(h, f(r, data)) for h, f in columns)
        state = "" if ok else " class='error'"
        rows.append(f"<tr{state} data-q='{html.escape(search_text)}'>"
                    f"<td class='num' data-v='{i + 1}'><a href='#c{i}'>{i + 1}</a></td>"
                    f"{cells}</tr>")
        h = html.escape(heading)
        sub = "" if str(r.get("id")) == heading else \
            f" <span class='cid'>{html.escape(str(r.get('id')))}</span>"
        if ok:
            data.update(kind=kind, id=r.get("id"), name=r.get("name"), smiles=r.get("smiles"),
                        mass=r.get("nominal_mass", r.get("mass")), facts=_facts(kind, r))
            body = (f"<p class='pending'>The drawings appear when this section scrolls into "
                    f"view.</p><script type='application/json' class='data'>"
                    f"{_json_block(data)}</script>")
        else:
            message = html.escape(str(r.get("error") or "no message"))
            errors.append(f"<li><a href='#c{i}'>{h}</a>: {message}</li>")
            body = f"<p class='message'>Error: {message}</p>"
        lazy = " lazy" if ok else ""
        sections.append(f"<section class='compound{lazy}' id='c{i}' aria-labelledby='h{i}'>"
                        f"<h2 id='h{i}'>{h}{sub}</h2>{body}</section>")
    return _page(kind, title, columns, rows, sections, errors)


def _facts(kind, r):
    """[[label, text]] shown at the top of a compound's section."""
    if kind == "annotate":
        s = r.get("scores") or {}
        return [["SMILES", r.get("smiles")], ["nominal mass", r.get("nominal_mass")],
                ["recall ±1", _percent(s.get("recall_1"))],
                ["recall exact", _percent(s.get("recall_exact"))],
                ["precision", _percent(s.get("precision"))],
                ["chance ±1", _percent(s.get("chance_1"))],
                ["explained intensity", _percent(r.get("explained_intensity"))],
                ["tolerance", r.get("tolerance")]]
    if kind == "predict":
        lpi = r.get("lpi") or {}
        return [["SMILES", r.get("smiles")], ["InChIKey", r.get("inchikey")],
                ["nominal mass", r.get("nominal_mass")],
                ["LPI", f"{{{lpi.get('n+')}, {lpi.get('n0')}, {lpi.get('n-')}}}"],
                ["soft bonds", ", ".join(b.get("label", "") for b in r.get("soft_bonds") or [])
                 or "none"]]
    return [["nominal mass", r.get("mass")], ["candidates", r.get("candidates")],
            ["rank of the true structure", r.get("true_rank") if r.get("true_rank")
             is not None else "not in the library"]]


def _page(kind, title, columns, rows, sections, errors):
    css, js = _asset("report.css"), _asset("report.js")
    csp = (f"default-src 'none'; script-src {_csp_hash(js)}; style-src {_csp_hash(css)}; "
           "img-src data:; base-uri 'none'; form-action 'none'")
    title = title or f"korvane {kind} report"
    t = html.escape(title)
    heads = "".join(f"<th scope='col' aria-sort='none'><button type='button'>"
                    f"{html.escape(h)}</button></th>" for h, _ in [("#", None)] + columns)
    error_list = (f"<section id='errors' aria-labelledby='errors-h'><h2 id='errors-h'>"
                  f"Errors ({len(errors)})</h2><ul>{''.join(errors)}</ul></section>"
                  if errors else "")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="{csp}">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="referrer" content="no-referrer">
<link rel="icon" href="data:,">
<title>{t}</title>
<style>{css}</style>
</head><body data-kind="{kind}">
<header><h1>{t}</h1><p>{len(rows)} compounds, {len(errors)} errors.</p></header>
<nav id="index" aria-labelledby="index-h"><h2 id="index-h">Index</h2>
<div class="controls"><label for="filter">Filter by id, name, formula or SMILES</label>
<input id="filter" type="search" autocomplete="off" spellcheck="false">
<span id="shown" role="status" aria-live="polite"></span></div>
<div class="table-wrap"><table id="compounds"><thead><tr>{heads}</tr></thead>
<tbody>{''.join(rows)}</tbody></table></div></nav>
<script>{js}</script>
{error_list}
<main>{''.join(sections)}</main>
</body></html>
"""


# ---------------------------------------------------------------------------------------
# The command


def run_report_command(args):
    """Runs `korvane report` (its arguments: korvane/cli/spectra.py); returns the exit
    status: 2 when the input cannot be read or made into a report."""
    try:
        kind, records = read_records(args.input)
        if kind is None:
            raise ReportError(f"{args.input}: no records")
        library = {}
        if kind == "search":
            if not args.library:
                raise ReportError("search results need --library, the library they ranked")
            from .readers import read_spectra
            for sp in read_spectra(args.library, skip_bad=True):
                library.setdefault(sp.id, sp)
        text = build_report(records, kind, library, args.title, args.top)
        tmp = args.out + ".tmp"  # a page is complete or not there
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, args.out)
    except (ReportError, OSError) as e:
        print(f"korvane report: {e}", file=sys.stderr)
        return 2
    print(f"korvane report: {len(records)} {kind} records -> {args.out} "
          f"({len(text.encode()) / 1e6:.1f} MB)", file=sys.stderr)
    return 0
