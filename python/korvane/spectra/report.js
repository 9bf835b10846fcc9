// The report page's script: sorting and filtering of the index, and each compound's
// section drawn from its JSON block when it comes near the viewport. Data is read with
// JSON.parse and reaches the page through textContent and attributes only. A section's
// drawings come packed (gzip, base64) in its JSON; each is shown by an <img> from a data:
// URI, as an SVG image, which cannot run scripts or load anything.
"use strict";
(function () {
  var SVGNS = "http://www.w3.org/2000/svg";
  var GENERATIONS = ["molecular ion", "generation 1", "generation 2", "generation 3+"];
  var LABELS = 12;  // matched measured peaks labelled in a plot, the most intense first

  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }

  function svgEl(tag, attrs, text) {
    var e = document.createElementNS(SVGNS, tag);
    for (var k in attrs) e.setAttribute(k, String(attrs[k]));
    if (text !== undefined) e.textContent = String(text);
    return e;
  }

  function show(x) { return x === null || x === undefined || x === "" ? "–" : String(x); }

  // The class that colours and dashes a stick: g0..g3 by generation, nm without a match.
  function genClass(g, matched) {
    return g === null || g === undefined || !matched ? "nm" : "g" + Math.min(g, 3);
  }

  function genShort(g) { return g === 0 ? "M" : "g" + g; }

  // ----- The index: sorting, filtering, keyboard moves between rows.
  var table = document.getElementById("compounds");
  var tbody = table.tBodies[0];
  var rows = Array.prototype.slice.call(tbody.rows);
  var heads = table.tHead.rows[0].cells;
  var filter = document.getElementById("filter");
  var shown = document.getElementById("shown");

  function sortBy(col) {
    var th = heads[col];
    var ascending = th.getAttribute("aria-sort") !== "ascending";
    for (var i = 0; i < heads.length; i++) heads[i].setAttribute("aria-sort", "none");
    th.setAttribute("aria-sort", ascending ? "ascending" : "descending");
    var keyed = rows.map(function (tr, i) {
      var cell = tr.cells[col];
      var v = cell.getAttribute("data-v");
      var numeric = cell.classList.contains("num");
      return {tr: tr, i: i, blank: v === "", v: numeric ? parseFloat(v) : v};
    });
    keyed.sort(function (a, b) {
      if (a.blank !== b.blank) return a.blank ? 1 : -1;  // blanks last either way
      var c = 0;
      if (!a.blank) {
        c = typeof a.v === "number" ? a.v - b.v : a.v.localeCompare(b.v);
        if (!ascending) c = -c;
      }
      return c || a.i - b.i;
    });
    var fragment = document.createDocumentFragment();
    keyed.forEach(function (k) { fragment.appendChild(k.tr); });
    tbody.appendChild(fragment);
  }

  Array.prototype.forEach.call(heads, function (th, col) {
    th.querySelector("button").addEventListener("click", function () { sortBy(col); });
  });

  filter.addEventListener("input", function () {
    var words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
    var n = 0;
    rows.forEach(function (tr) {
      var q = tr.getAttribute("data-q");
      var visible = words.every(function (w) { return q.indexOf(w) >= 0; });
      tr.hidden = !visible;
      if (visible) n++;
    });
    shown.textContent = words.length ? n + " of " + rows.length + " shown" : "";
  });

  tbody.addEventListener("keydown", function (ev) {
    var moves = {ArrowDown: 1, ArrowUp: -1, Home: -Infinity, End: Infinity};
    if (!(ev.key in moves) || ev.target.tagName !== "A") return;
    var visible = Array.prototype.filter.call(tbody.rows, function (tr) { return !tr.hidden; });
    var at = visible.indexOf(ev.target.closest("tr"));
    var to = Math.max(0, Math.min(visible.length - 1, at + moves[ev.key]));
    if (visible[to]) visible[to].querySelector("a").focus();
    ev.preventDefault();
  });

  // ----- A compound's section.
  function figure(src, alt, caption, cls) {
    var fig = el("figure", cls);
    var img = el("img");
    img.width = 320;
    img.height = 240;
    fig.appendChild(img);
    var cap = el("figcaption", null, caption);
    fig.appendChild(cap);
    setDrawing(img, src, alt);
    return {fig: fig, img: img, cap: cap};
  }

  // The drawings of a section: its pack inflated into the list of SVG texts.
  function unpack(b64) {
    var bytes = Uint8Array.from(atob(b64), function (c) { return c.charCodeAt(0); });
    var stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("gzip"));
    return new Response(stream).text().then(JSON.parse);
  }

  function setDrawing(img, svg, alt) {
    if (typeof svg === "string" && svg.lastIndexOf("<svg", 0) === 0) {
      img.src = "data:image/svg+xml;charset=utf-8," + encodeURIComponent(svg);
      img.hidden = false;
    } else {
      img.removeAttribute("src");
      img.hidden = true;
    }
    img.alt = alt;
    img.title = alt;
  }

  function facts(list) {
    var dl = el("dl", "facts");
    (list || []).forEach(function (f) {
      dl.appendChild(el("dt", null, f[0]));
      var dd = el("dd", null, show(f[1]));
      if (f[0] === "SMILES") dd.className = "smiles";
      dl.appendChild(dd);
    });
    return dl;
  }

  function niceStep(span) {
    var steps = [10, 20, 25, 50, 100, 200, 250, 500, 1000];
    for (var i = 0; i < steps.length; i++) if (span / steps[i] <= 12) return steps[i];
    return 2000;
  }

  // The mirror plot: measured peaks up (% of the base peak), predicted ones down; without
  // measured peaks, the predicted stick spectrum upwards. Returns {svg, sticks} where
  // sticks maps a measured m/z to its line, for the selection to mark.
  function plot(d, name) {
    var measured = d.measured;
    var mirror = !!measured;
    var W = 900, left = 52, right = 14, top = 34, bottom = 34;
    var half = mirror ? 150 : 190;
    var axis = top + half;
    var H = axis + (mirror ? half : 0) + bottom;
    var mzs = (measured || []).map(function (p) { return p[0]; })
      .concat(d.sticks.map(function (s) { return s[0]; }));
    var xmax = Math.ceil((Math.max.apply(null, mzs.concat([d.mass || 0, 10])) + 10) / 10) * 10;
    function x(mz) { return left + (W - left - right) * mz / xmax; }
    var labelText = "Mirror plot of " + name + ": " + (mirror ? (measured.length +
      " measured peaks above the axis, " + d.sticks.length + " predicted m/z below")
      : d.sticks.length + " predicted m/z");
    var svg = svgEl("svg", {viewBox: "0 0 " + W + " " + H, role: "img", class: "plot",
                            "aria-label": labelText});
    svg.appendChild(svgEl("title", {}, labelText));

    // Axes and ticks.
    var step = niceStep(xmax);
    var grid = svgEl("g", {class: "axis"});
    for (var t = 0; t <= xmax; t += step) {
      grid.appendChild(svgEl("line", {x1: x(t), x2: x(t), y1: H - bottom, y2: H - bottom + 5}));
      grid.appendChild(svgEl("text", {x: x(t), y: H - bottom + 18, "text-anchor": "middle"}, t));
    }
    grid.appendChild(svgEl("text", {x: W - right, y: H - 4, "text-anchor": "end"}, "m/z"));
    var yTicks = mirror ? [100, 50, 0, -50, -100] : [100, 50, 0];
    yTicks.forEach(function (v) {
      var y = axis - half * v / 100;
      grid.appendChild(svgEl("line", {x1: left - 5, x2: left, y1: y, y2: y}));
      grid.appendChild(svgEl("text", {x: left - 8, y: y + 4, "text-anchor": "end"},
                             Math.abs(v)));
    });
    grid.appendChild(svgEl("line", {x1: left, x2: left, y1: top, y2: H - bottom}));
    grid.appendChild(svgEl("text", {x: left + 6, y: top - 20},
                           mirror ? "measured (% of base peak)" : "predicted"));
    if (mirror) grid.appendChild(svgEl("text", {x: left + 6, y: H - bottom - 6},
                                       "predicted"));
    svg.appendChild(grid);

    // Predicted sticks: heights from the predicted intensities, or depth by generation.
    var g = svgEl("g", {class: "sticks"});
    d.sticks.forEach(function (s) {
      var height = s[1] !== null ? s[1] : 100 - 25 * Math.min(s[2] || 0, 2);
      var y = mirror ? axis + half * height / 100 : axis - half * height / 100;
      var line = svgEl("line", {x1: x(s[0]), x2: x(s[0]), y1: axis, y2: y,
                                class: genClass(s[2], mirror ? s[3] : true)});
      line.appendChild(svgEl("title", {}, "predicted m/z " + s[0] + (s[2] !== null
        ? ", " + GENERATIONS[Math.min(s[2], 3)] : "") + (mirror && !s[3] ? ", no match" : "")));
      g.appendChild(line);
    });
    svg.appendChild(g);

    // Measured sticks, coloured by the generation of their best fragment.
    var sticks = {};
    var best = {};
    d.rows.forEach(function (r) { if (r[2] !== null && !(r[0] in best)) best[r[0]] = r; });
    (measured || []).forEach(function (p) {
      var line = svgEl("line", {x1: x(p[0]), x2: x(p[0]), y1: axis,
                                y2: axis - half * p[1] / 999,
                                class: genClass(p[2], p[2] !== null) + " measured"});
      var b = best[p[0]];
      line.appendChild(svgEl("title", {}, "m/z " + p[0] + ": " + (p[1] / 9.99).toFixed(1) +
        " %" + (b ? ", " + b[2] + " (" + GENERATIONS[Math.min(b[3], 3)] + ")" : ", no match")));
      sticks[p[0]] = line;
      g.appendChild(line);
    });

    // Labels: formula and generation of the most intense matched peaks (or, without
    // measured peaks, of the highest predicted sticks), stacked where they would collide.
    var labelled = (measured || []).filter(function (p) { return best[p[0]]; })
      .sort(function (a, b) { return b[1] - a[1]; }).slice(0, LABELS)
      .map(function (p) { return {mz: p[0], h: p[1] / 9.99, row: best[p[0]]}; });
    if (!mirror) {
      labelled = d.rows.filter(function (r) { return r[2] !== null; })
        .slice().sort(function (a, b) { return (b[1] || 0) - (a[1] || 0) || a[3] - b[3]; })
        .slice(0, LABELS).map(function (r) {
          var s = d.sticks.filter(function (s) { return s[0] === r[0]; })[0];
          var h = s && s[1] !== null ? s[1] : 100 - 25 * Math.min(r[3] || 0, 2);
          return {mz: r[0], h: h, row: r};
        });
    }
    var placed = [];
    labelled.sort(function (a, b) { return a.mz - b.mz; }).forEach(function (l) {
      var text = l.row[2] + " " + genShort(l.row[3]);
      var w = 7.4 * text.length / 2;
      var y = axis - half * l.h / 100 - 4;
      var px = x(l.mz);
      while (placed.some(function (q) {
        return Math.abs(q.x - px) < q.w + w + 2 && Math.abs(q.y - y) < 14;
      })) y -= 14;
      y = Math.max(y, 10);
      placed.push({x: px, y: y, w: w});
      g.appendChild(svgEl("text", {x: px, y: y, "text-anchor": "middle",
                                   class: "label t" + genClass(l.row[3], true)}, text));
    });
    svg.appendChild(svgEl("line", {x1: left, x2: W - right, y1: axis, y2: axis,
                                   class: "zero"}));
    return {svg: svg, sticks: sticks};
  }

  function legend(mirror) {
    var ul = el("ul", "legend");
    var items = GENERATIONS.map(function (n, i) { return ["g" + i, n]; });
    if (mirror) items.push(["nm", "no match"]);
    items.forEach(function (it) {
      var li = el("li");
      var s = svgEl("svg", {width: 34, height: 12, "aria-hidden": "true"});
      s.appendChild(svgEl("line", {x1: 2, x2: 32, y1: 6, y2: 6, class: it[0]}));
      li.appendChild(s);
      li.appendChild(document.createTextNode(it[1] + (it[0] === "nm" ? "" :
        " (label " + genShort(+it[0].slice(1)) + (it[0] === "g3" ? "+" : "") + ")")));
      ul.appendChild(li);
    });
    return ul;
  }

  function peakTable(d, name, onSelect) {
    var wrap = el("div", "peaks-wrap");
    var t = el("table", "peaks");
    var measured = !!d.measured;
    t.appendChild(el("caption", null, (measured ? "Measured peaks and their fragments"
      : "Predicted fragments") + " of " + name +
      ". Select a row (click, or the arrow keys) to see its fragment on the molecule."));
    var head = el("tr");
    [measured ? "m/z" : "m/z", measured ? "measured intensity" : "predicted intensity",
     "fragment formula", "fragment m/z", "generation", "source", "cut path"]
      .forEach(function (h) { var th = el("th", null, h); th.scope = "col"; head.appendChild(th); });
    var thead = el("thead");
    thead.appendChild(head);
    t.appendChild(thead);
    var body = el("tbody");
    var selectable = [];
    d.rows.forEach(function (r) {
      var tr = el("tr");
      [r[0], r[1], r[2], r[7], r[3] === null ? null : GENERATIONS[Math.min(r[3], 3)],
       r[4], r[5]].forEach(function (v, i) {
        var td = el("td", i < 2 || i === 3 ? "num" : null, show(v));
        tr.appendChild(td);
      });
      if (r[2] === null) tr.className = "unmatched";
      if (r[6] >= 0) {
        tr.tabIndex = selectable.length ? -1 : 0;
        tr.setAttribute("aria-selected", "false");
        tr.classList.add("pick");
        tr.dataset.row = String(selectable.length);
        selectable.push({tr: tr, r: r});
      }
      body.appendChild(tr);
    });
    t.appendChild(body);
    if (selectable.length) t.setAttribute("role", "grid");
    var current = null;
    function select(k, focus) {
      if (current !== null) {
        current.tr.setAttribute("aria-selected", "false");
        current.tr.tabIndex = -1;
      }
      current = selectable[k];
      current.tr.setAttribute("aria-selected", "true");
      current.tr.tabIndex = 0;
      if (focus) current.tr.focus();
      onSelect(current.r);
    }
    body.addEventListener("click", function (ev) {
      var tr = ev.target.closest("tr.pick");
      if (tr) select(+tr.dataset.row, true);
    });
    body.addEventListener("keydown", function (ev) {
      var tr = ev.target.closest("tr.pick");
      if (!tr) return;
      var k = +tr.dataset.row;
      var to = {ArrowDown: k + 1, ArrowUp: k - 1, Home: 0, End: selectable.length - 1,
                Enter: k, " ": k}[ev.key];
      if (to === undefined) return;
      ev.preventDefault();
      select(Math.max(0, Math.min(selectable.length - 1, to)), true);
    });
    wrap.appendChild(t);
    return wrap;
  }

  function compound(sec, d) {
    var name = d.name || d.id || "this compound";
    var box = el("div", "compound-body");
    var drawings = el("div", "drawings");
    drawings.appendChild(figure(d.svgs[d.mol], "Structure of " + name, "Structure",
                                "structure").fig);
    var frag = figure(null, "", "Select a peak in the table to see its fragment.",
                      "fragment");
    drawings.appendChild(frag.fig);
    box.appendChild(drawings);
    var p = plot(d, name);
    var plotFig = el("figure", "plot-fig");
    plotFig.appendChild(p.svg);
    plotFig.appendChild(legend(!!d.measured));
    box.appendChild(plotFig);
    var marked = null;
    box.appendChild(peakTable(d, name, function (r) {
      var what = r[2] + " (m/z " + r[7] + ", " + GENERATIONS[Math.min(r[3], 3)] + ")";
      setDrawing(frag.img, d.svgs[r[6]], "Fragment " + what + " of " + name +
                 ": its atoms highlighted in blue, the bonds cut to free it in orange");
      frag.cap.textContent = "Fragment " + what + (r[5] ? ", cut " + r[5] : "");
      frag.fig.dataset.mz = String(r[0]);
      if (marked) marked.classList.remove("selected");
      marked = p.sticks[r[0]] || null;
      if (marked) marked.classList.add("selected");
    }));
    sec.appendChild(box);
  }

  function miniPlot(sticks, label) {
    if (!sticks.length) return null;
    var W = 220, H = 70;
    var xmax = Math.max.apply(null, sticks.map(function (s) { return s[0]; })) + 10;
    var svg = svgEl("svg", {viewBox: "0 0 " + W + " " + H, role: "img", class: "mini",
                            "aria-label": label});
    svg.appendChild(svgEl("title", {}, label));
    sticks.forEach(function (s) {
      var xx = 4 + (W - 8) * s[0] / xmax;
      svg.appendChild(svgEl("line", {x1: xx, x2: xx, y1: H - 4, y2: H - 4 - (H - 8) * s[1] / 100,
                                     class: "g1"}));
    });
    svg.appendChild(svgEl("line", {x1: 4, x2: W - 4, y1: H - 4, y2: H - 4, class: "zero"}));
    return svg;
  }

  function hits(sec, d) {
    var list = el("ol", "hits");
    if (!d.hits.length) sec.appendChild(el("p", null, "No hits."));
    d.hits.forEach(function (h) {
      var li = el("li", "hit");
      var name = h.name || h.id;
      li.appendChild(el("h3", null, "Rank " + show(h.rank) + ": " + show(name)));
      var f = figure(d.svgs[h.mol], "Structure of hit " + show(name), h.smiles ? "" : "no structure",
                     "structure");
      f.img.width = 220;
      f.img.height = 170;
      f.cap.textContent = show(h.smiles);
      f.cap.className = "smiles";
      li.appendChild(f.fig);
      li.appendChild(facts([["id", h.id]].concat(h.scores)));
      var m = miniPlot(h.sticks, "Predicted spectrum of " + show(name));
      if (m) li.appendChild(m);
      list.appendChild(li);
    });
    sec.appendChild(list);
  }

  function render(sec) {
    if (sec.classList.contains("drawn")) return;
    sec.classList.add("drawn");
    var block = sec.querySelector("script.data");
    if (!block) return;
    var d = JSON.parse(block.textContent);
    var pending = sec.querySelector(".pending");
    var inflate = "DecompressionStream" in window ? unpack(d.pack)
      : Promise.reject(new Error("this browser cannot inflate the drawings"));
    return inflate.catch(function (e) {
      sec.insertBefore(el("p", "message", "No drawings: " + e.message), pending);
      return [];
    }).then(function (svgs) {
      d.svgs = svgs;
      if (pending) pending.remove();
      sec.appendChild(facts(d.facts));
      if (d.kind === "search") hits(sec, d);
      else compound(sec, d);
      sec.classList.add("ready");
    });
  }

  // The script runs right after the index, while the sections are still being read: the
  // index works at once, the sections are watched once they are all there.
  var lazy = [];

  function watchSections() {
    lazy = document.querySelectorAll("section.lazy");
    if ("IntersectionObserver" in window) {
      var observer = new IntersectionObserver(function (entries) {
        entries.forEach(function (e) {
          if (e.isIntersecting) {
            observer.unobserve(e.target);
            render(e.target);
          }
        });
      }, {rootMargin: "800px 0px"});
      Array.prototype.forEach.call(lazy, function (s) { observer.observe(s); });
    } else {
      Array.prototype.forEach.call(lazy, render);
    }
    var first = renderTarget(location.hash);
    if (first) first.scrollIntoView();
  }

  // A link to a section draws it before the browser scrolls there.
  function renderTarget(hash) {
    var target = hash && hash.length > 1 ? document.getElementById(hash.slice(1)) : null;
    if (target && target.classList.contains("lazy")) render(target);
    return target;
  }
  document.addEventListener("click", function (ev) {
    var a = ev.target.closest && ev.target.closest("a[href^='#']");
    if (a) renderTarget(a.getAttribute("href"));
  });
  window.addEventListener("beforeprint", function () {
    Array.prototype.forEach.call(lazy, render);
  });
  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", watchSections);
  } else {
    watchSections();
  }
  // The index works from here on; the benchmark reads this mark.
  if (window.performance && performance.mark) performance.mark("korvane-ready");
})();
