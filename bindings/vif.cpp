// Bindings of the analysis entry: the staged run of one SMILES and its report.
#include <pybind11/numpy.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/vif/fragment_structures.hpp"
#include "korvane/vif/report.hpp"
#include "korvane/vif/vif_run.hpp"

namespace korvane::bindings {
namespace {

py::array_t<double> points_array(const std::vector<layout::Point>& pts) {
  py::array_t<double> a({static_cast<py::ssize_t>(pts.size()), py::ssize_t{2}});
  auto r = a.mutable_unchecked<2>();
  for (std::size_t i = 0; i < pts.size(); ++i) {
    r(static_cast<py::ssize_t>(i), 0) = pts[i][0];
    r(static_cast<py::ssize_t>(i), 1) = pts[i][1];
  }
  return a;
}

py::tuple fragment_tuple(const massspec::Fragment& f) {
  return py::make_tuple(f.formula, f.mass, f.mz);
}

// The (symbol, rol, kind) texts of the orbital nodes, one str object per distinct text:
// a molecule has few elements, and creating each str anew per node is most of the cost.
std::vector<std::array<py::str, 3>> node_texts(const analysis::OrbitalGraph& g) {
  std::map<std::string, std::pair<py::str, py::str>> texts;
  const py::str sigma("sigma"), pi("pi");
  std::vector<std::array<py::str, 3>> out;
  out.reserve(g.nodes.size());
  for (const auto& n : g.nodes) {
    auto it = texts.find(n.symbol);
    if (it == texts.end())
      it = texts
               .emplace(n.symbol, std::pair{py::str(n.symbol),
                                            py::str(analysis::orbital_role(n.symbol))})
               .first;
    out.push_back({it->second.first, it->second.second,
                   n.kind == analysis::OrbitalKind::Sigma ? sigma : pi});
  }
  return out;
}

// Raw dict calls, as the loops below make a few hundred of them per molecule.
void set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) != 0) throw py::error_already_set();
}

// The node and adjacency dicts of the NetworkX graph that add_node(ids[i], symbol=,
// rol=, kind=) for each node and add_edge(u, v, weight=w) for each edge, in order,
// would build: one data dict per edge, shared by both directions; a repeated edge keeps
// its dict with the last weight; an edge end not listed is added as a node without
// data. The edge ends are borrowed references, kept alive by the caller.
py::tuple graph_dicts(const std::vector<py::object>& ids,
                      const std::vector<std::array<py::str, 3>>& texts,
                      const std::vector<std::tuple<PyObject*, PyObject*, double>>& edges) {
  const std::array<py::str, 3> keys{"symbol", "rol", "kind"};
  const py::str weight_key("weight");
  py::dict node, adj;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    py::dict data;
    for (std::size_t k = 0; k < 3; ++k) set_item(data.ptr(), keys[k].ptr(), texts[i][k].ptr());
    set_item(node.ptr(), ids[i].ptr(), data.ptr());
    set_item(adj.ptr(), ids[i].ptr(), py::dict().ptr());
  }
  // The neighbour dict of x, made (with x's node entry) when x is not a node yet.
  const auto neighbours = [&](PyObject* x) -> PyObject* {
    PyObject* of_x = PyDict_GetItemWithError(adj.ptr(), x);
    if (of_x != nullptr) return of_x;
    if (PyErr_Occurred()) throw py::error_already_set();
    set_item(adj.ptr(), x, py::dict().ptr());
    set_item(node.ptr(), x, py::dict().ptr());
    return PyDict_GetItemWithError(adj.ptr(), x);
  };
  for (const auto& [u, v, w] : edges) {
    PyObject* of_u = neighbours(u);
    PyObject* of_v = neighbours(v);
    PyObject* existing = PyDict_GetItemWithError(of_u, v);
    if (existing == nullptr && PyErr_Occurred()) throw py::error_already_set();
    py::dict data = existing ? py::reinterpret_borrow<py::dict>(existing) : py::dict();
    set_item(data.ptr(), weight_key.ptr(), py::float_(w).ptr());
    set_item(of_u, v, data.ptr());
    set_item(of_v, u, data.ptr());
  }
  return py::make_tuple(node, adj);
}

// The int objects 0 .. n-1, one per node, shared by all its entries.
std::vector<py::object> node_ids(std::size_t n) {
  std::vector<py::object> ids;
  ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i) ids.push_back(py::int_(i));
  return ids;
}

// graph_dicts of lists as Python passes them: (symbol, rol, kind) nodes numbered from
// 0, (u, v, weight) edges.
py::tuple graph_dicts_of_lists(const std::vector<std::array<py::str, 3>>& texts,
                               const std::vector<std::tuple<py::object, py::object, double>>& edges) {
  const std::vector<py::object> ids = node_ids(texts.size());
  std::vector<std::tuple<PyObject*, PyObject*, double>> borrowed;
  for (const auto& [u, v, w] : edges) borrowed.emplace_back(u.ptr(), v.ptr(), w);
  return graph_dicts(ids, texts, borrowed);
}

// graph_dicts of the core's graph.
py::tuple orbital_graph_dicts(const analysis::OrbitalGraph& g) {
  const std::vector<py::object> ids = node_ids(g.nodes.size());
  std::vector<std::tuple<PyObject*, PyObject*, double>> edges;
  edges.reserve(g.edges.size());
  for (const auto& e : g.edges)
    edges.emplace_back(ids.at(static_cast<std::size_t>(e.u)).ptr(),
                       ids.at(static_cast<std::size_t>(e.v)).ptr(), e.weight);
  return graph_dicts(ids, node_texts(g), edges);
}

using PieceTuple = std::tuple<std::vector<int>, std::string>;  // atoms, SMILES
using PeakTuple = std::tuple<std::vector<int>, std::string, std::optional<std::vector<int>>,
                             std::vector<std::string>>;  // atoms, SMILES, parent, cut path

std::tuple<std::vector<std::optional<std::vector<PieceTuple>>>,
           std::optional<std::vector<PeakTuple>>>
structure_tuples(const vif::FragmentStructures& s) {
  std::vector<std::optional<std::vector<PieceTuple>>> cuts;
  for (const auto& pieces : s.cuts) {
    auto& c = cuts.emplace_back();
    if (pieces.empty()) continue;
    c.emplace();
    for (const auto& p : pieces) c->emplace_back(p.atoms, p.smiles);
  }
  std::optional<std::vector<PeakTuple>> peaks;
  if (s.peaks) {
    peaks.emplace();
    for (const auto& p : *s.peaks) {
      std::optional<std::vector<int>> parent;
      if (!p.parent_atoms.empty()) parent = p.parent_atoms;
      peaks->emplace_back(p.fragment.atoms, p.fragment.smiles, std::move(parent), p.cut_path);
    }
  }
  return {std::move(cuts), std::move(peaks)};
}

}  // namespace

void bind_vif(py::module_& m) {
  using vif::VifFragments;
  using vif::VifMolecule;
  using vif::VifParams;

  py::class_<VifParams>(m, "VifParams")
      .def(py::init<>())
      .def_readwrite("n_iter", &VifParams::n_iter)
      .def_readwrite("target_bond_len", &VifParams::target_bond_len)
      .def_readwrite("radius_ratio", &VifParams::radius_ratio)
      .def_readwrite("bond_kappa", &VifParams::bond_kappa)
      .def_readwrite("ring_fragmentation", &VifParams::ring_fragmentation)
      .def_readwrite("recursive_ms", &VifParams::recursive_ms)
      .def_readwrite("max_generations", &VifParams::max_generations)
      .def_readwrite("beside_layout", &VifParams::beside_layout)
      .def_readwrite("need_coordinates", &VifParams::need_coordinates);

  py::class_<vif::StageSeconds>(m, "StageSeconds")
      .def_readonly("prepare", &vif::StageSeconds::prepare)
      .def_readonly("layout", &vif::StageSeconds::layout)
      .def_readonly("graph", &vif::StageSeconds::graph)
      .def_readonly("lpi", &vif::StageSeconds::lpi)
      .def_readonly("soft_bonds", &vif::StageSeconds::soft_bonds)
      .def_readonly("fragments", &vif::StageSeconds::fragments)
      .def_readonly("recursive", &vif::StageSeconds::recursive)
      .def_readonly("beside", &vif::StageSeconds::beside);

  py::class_<VifMolecule>(m, "VifMolecule")
      .def_readonly("mol_mass", &VifMolecule::mol_mass)
      .def_readonly("seconds", &VifMolecule::seconds)
      .def_readonly("mol_mass_avg", &VifMolecule::mol_mass_avg)
      .def_property_readonly("nodes",
                             [](const VifMolecule& v) {
                               py::list out(v.graph.nodes.size());
                               const auto texts = node_texts(v.graph);
                               for (std::size_t i = 0; i < texts.size(); ++i)
                                 out[i] = py::make_tuple(texts[i][0], texts[i][1], texts[i][2]);
                               return out;
                             })
      .def_property_readonly("edges",
                             [](const VifMolecule& v) {
                               py::list out;
                               for (const auto& e : v.graph.edges)
                                 out.append(py::make_tuple(e.u, e.v, e.weight));
                               return out;
                             })
      .def_property_readonly(
          "graph_dicts", [](const VifMolecule& v) { return orbital_graph_dicts(v.graph); },
          "(node, adj): the node and adjacency dicts of the orbital graph's NetworkX form.")
      .def_property_readonly("atom_subgraphs",
                             [](const VifMolecule& v) { return v.graph.atom_subgraphs; })
      .def_property_readonly("chem_bonds",
                             [](const VifMolecule& v) {
                               py::list out;
                               for (const auto& c : v.graph.chem_bonds)
                                 out.append(py::make_tuple(c.u_node, c.v_node, c.atom_u, c.atom_v,
                                                           c.sym_u, c.sym_v, c.order, c.k));
                               return out;
                             })
      .def_property_readonly(
          "chem_bond_dicts",
          [](const VifMolecule& v) {
            const std::array<py::str, 8> keys{"u_node", "v_node", "atom_u", "atom_v",
                                              "sym_u",  "sym_v",  "order",  "k"};
            py::list out(v.graph.chem_bonds.size());
            for (std::size_t i = 0; i < v.graph.chem_bonds.size(); ++i) {
              const auto& c = v.graph.chem_bonds[i];
              py::dict d;
              d[keys[0]] = c.u_node;
              d[keys[1]] = c.v_node;
              d[keys[2]] = c.atom_u;
              d[keys[3]] = c.atom_v;
              d[keys[4]] = c.sym_u;
              d[keys[5]] = c.sym_v;
              d[keys[6]] = c.order;
              d[keys[7]] = c.k;
              out[i] = std::move(d);
            }
            return out;
          },
          "The chemical-bond records as dicts, keys in the order of the tuples above.")
      .def_property_readonly("pos", [](const VifMolecule& v) { return points_array(v.graph.pos); })
      .def_property_readonly("coords",
                             [](const VifMolecule& v) { return points_array(v.layout.coords); })
      .def_property_readonly("lpi",
                             [](const VifMolecule& v) {
                               const auto& s = v.lpi;
                               return py::make_tuple(
                                   s.counts.n_plus, s.counts.n_zero, s.counts.n_minus,
                                   py::array_t<double>(s.eigenvalues.size(), s.eigenvalues.data()));
                             })
      .def_property_readonly("atomic_numbers",
                             [](const VifMolecule& v) {
                               std::vector<int> z;
                               for (const auto* a : v.mol->atoms()) z.push_back(a->getAtomicNum());
                               return z;
                             })
      .def("mol_pickle", [](const VifMolecule& v) { return py::bytes(pickle_molecule(*v.mol)); });

  py::class_<VifFragments>(m, "VifFragments")
      .def_readonly("soft_bonds", &VifFragments::soft_bonds)
      .def_readonly("seconds", &VifFragments::seconds)
      .def_property_readonly(
          "fragments",
          [](const VifFragments& f) {
            py::list out;
            for (const auto& c : f.fragments) {
              py::object frags = py::none();
              if (c.split) {
                py::list l;
                for (const auto& fr : c.fragments) l.append(fragment_tuple(fr));
                frags = l;
              }
              out.append(py::make_tuple(c.bond, c.split,
                                        massspec::cut_mode_name(c.mode),
                                        frags));
            }
            return out;
          })
      .def_property_readonly("recursive_peaks", [](const VifFragments& f) -> py::object {
        if (!f.recursive_peaks) return py::none();
        py::list out;
        for (const auto& p : *f.recursive_peaks)
          out.append(py::make_tuple(p.mz, p.formula, p.generation));
        return out;
      });

  m.def(
      "prepare_vif",
      [](const std::string& smiles, VifParams params) {
        params.max_analysis_bytes = analysis_byte_limit();
        py::gil_scoped_release release;
        return vif::prepare_vif(smiles, params);
      },
      py::arg("smiles"), py::arg("params"),
      "First analysis stage (up to LPI and masses), or None for an unparsable SMILES.");
  m.def(
      "fragment_vif",
      [](const VifMolecule& v, VifParams params) {
        params.max_analysis_bytes = analysis_byte_limit();
        py::gil_scoped_release release;
        return vif::fragment_vif(v, params);
      },
      py::arg("molecule"), py::arg("params"), "Second stage: soft bonds and fragments.");
  m.def(
      "fragment_structures",
      [](const VifMolecule& v, const VifFragments& f) {
        py::gil_scoped_release release;
        return structure_tuples(vif::fragment_structures(v, f));
      },
      py::arg("molecule"), py::arg("fragments"),
      "(cuts, peaks): the structures of the second stage's predictions, atom indices of the\n"
      "molecule with explicit hydrogens, each list ascending.\n\n"
      "cuts: one entry per record of fragments.fragments, in order: None for a cut that\n"
      "does not split, else its two pieces in the record's order, each (atoms, smiles).\n"
      "peaks: None without recursive peaks, else one entry per fragments.recursive_peaks\n"
      "entry, in order: (atoms, smiles, parent_atoms, cut_path) of the first fragment that\n"
      "reached the peak; parent_atoms is the fragment it was cut from (None for the\n"
      "molecule itself); cut_path lists the cuts from the molecule to it, one per\n"
      "generation, \"C1-C2\" for one bond and \"C1-C2 + C4-C5\" for two (each pair smaller\n"
      "index first). smiles is RDKit's canonical SMILES of the atoms with their hydrogens\n"
      "folded into the heavy atoms; a bond cut leaves a radical (\"[CH3]\").");
  // For the memory tests and benchmarks only, which hold it against measured peaks.
  m.def(
      "analysis_memory_estimate",
      [](const std::string& smiles, bool recursive_ms) {
        VifParams params;
        params.recursive_ms = recursive_ms;
        py::gil_scoped_release release;
        return vif::analysis_memory_estimate(smiles, params);
      },
      py::arg("smiles"), py::arg("recursive_ms") = false,
      "Bytes the analysis of the SMILES holds at its peak, as checked against "
      "korvane.MAX_ANALYSIS_BYTES before its hydrogens are added; None when unparsable.");
  m.def("graph_dicts", &graph_dicts_of_lists, py::arg("nodes"), py::arg("edges"),
        "(node, adj) of the NetworkX graph of (symbol, rol, kind) nodes and (u, v, weight) "
        "edges, as add_node and add_edge calls in that order would build them.");
  m.def("report_head", &vif::report_head, py::arg("smiles"), py::arg("molecule"),
        "Report lines of the first stage.");
  m.def("report_tail", &vif::report_tail, py::arg("fragments"),
        py::arg("params"), "Report lines of the second stage.");
}

}  // namespace korvane::bindings
