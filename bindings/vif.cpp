// Bindings of the analysis entry: its parameters, the staged run of one SMILES, the
// results of both stages as plain lists and arrays, and the report.
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

// The parameters of an analysis and the stage clock.
void bind_params(py::module_& m) {
  using korvane::AnalysisParams;
  py::class_<AnalysisParams>(m, "AnalysisParams",
                             "The analysis's parameters; a new one holds their defaults.")
      .def(py::init<>())
      .def_readwrite("n_iter", &AnalysisParams::n_iter)
      .def_readwrite("target_bond_len", &AnalysisParams::target_bond_len)
      .def_readwrite("radius_ratio", &AnalysisParams::radius_ratio)
      .def_readwrite("bond_kappa", &AnalysisParams::bond_kappa)
      .def_readwrite("ring_fragmentation", &AnalysisParams::ring_fragmentation)
      .def_readwrite("recursive_ms", &AnalysisParams::recursive_ms)
      .def_readwrite("max_generations", &AnalysisParams::max_generations)
      .def_readwrite("max_analysis_bytes", &AnalysisParams::max_analysis_bytes)
      .def_readwrite("beside_layout", &AnalysisParams::beside_layout)
      .def_readwrite("need_coordinates", &AnalysisParams::need_coordinates);

  py::class_<vif::StageSeconds>(m, "StageSeconds")
      .def_readonly("prepare", &vif::StageSeconds::prepare)
      .def_readonly("layout", &vif::StageSeconds::layout)
      .def_readonly("graph", &vif::StageSeconds::graph)
      .def_readonly("lpi", &vif::StageSeconds::lpi)
      .def_readonly("soft_bonds", &vif::StageSeconds::soft_bonds)
      .def_readonly("fragments", &vif::StageSeconds::fragments)
      .def_readonly("recursive", &vif::StageSeconds::recursive)
      .def_readonly("beside", &vif::StageSeconds::beside);
}

// The first stage's result: the molecule, its orbital graph as plain lists, LPI, masses.
void bind_molecule(py::module_& m) {
  using vif::VifMolecule;
  py::class_<VifMolecule>(m, "VifMolecule")
      .def_readonly("mol_mass", &VifMolecule::mol_mass)
      .def_readonly("seconds", &VifMolecule::seconds)
      .def_readonly("mol_mass_avg", &VifMolecule::mol_mass_avg)
      .def_property_readonly(
          "nodes",
          [](const VifMolecule& v) {
            py::list out(v.graph.nodes.size());
            const auto texts = node_texts(v.graph);
            for (std::size_t i = 0; i < texts.size(); ++i)
              out[i] = py::make_tuple(texts[i][0], texts[i][1], texts[i][2]);
            return out;
          },
          "(symbol, rol, kind) of the orbital nodes 0 .. n-1.")
      .def_property_readonly(
          "edges",
          [](const VifMolecule& v) {
            py::list out(v.graph.edges.size());
            for (std::size_t i = 0; i < v.graph.edges.size(); ++i) {
              const auto& e = v.graph.edges[i];
              out[i] = py::make_tuple(e.u, e.v, e.weight);
            }
            return out;
          },
          "(u, v, weight) of the orbital graph's edges, in insertion order.")
      .def_property_readonly("atom_subgraphs",
                             [](const VifMolecule& v) { return v.graph.atom_subgraphs; })
      .def_property_readonly(
          "chem_bonds",
          [](const VifMolecule& v) {
            py::list out(v.graph.chem_bonds.size());
            for (std::size_t i = 0; i < v.graph.chem_bonds.size(); ++i) {
              const auto& c = v.graph.chem_bonds[i];
              out[i] = py::make_tuple(c.u_node, c.v_node, c.atom_u, c.atom_v, c.sym_u, c.sym_v,
                                      c.order, c.k);
            }
            return out;
          },
          "(u_node, v_node, atom_u, atom_v, sym_u, sym_v, order, k) of the bond edges.")
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
}

// The second stage's result and the structures of its predictions.
void bind_fragments(py::module_& m) {
  using vif::VifFragments;
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
      "fragment_structures",
      [](const vif::VifMolecule& v, const VifFragments& f) {
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
}

// The two stages, the memory estimate they check and the report of each.
void bind_stages(py::module_& m) {
  using korvane::AnalysisParams;
  m.def(
      "prepare_vif",
      [](const std::string& smiles, const AnalysisParams& params) {
        py::gil_scoped_release release;
        return vif::prepare_vif(smiles, params);
      },
      py::arg("smiles"), py::arg("params"),
      "First analysis stage (up to LPI and masses), or None for an unparsable SMILES;\n"
      "MemoryError beyond params.max_analysis_bytes.");
  m.def(
      "fragment_vif",
      [](const vif::VifMolecule& v, const AnalysisParams& params) {
        py::gil_scoped_release release;
        return vif::fragment_vif(v, params);
      },
      py::arg("molecule"), py::arg("params"), "Second stage: soft bonds and fragments.");
  // For the memory tests and benchmarks only, which hold it against measured peaks.
  m.def(
      "analysis_memory_estimate",
      [](const std::string& smiles, bool recursive_ms) {
        AnalysisParams params;
        params.recursive_ms = recursive_ms;
        py::gil_scoped_release release;
        return vif::analysis_memory_estimate(smiles, params);
      },
      py::arg("smiles"), py::arg("recursive_ms") = false,
      "Bytes the analysis of the SMILES holds at its peak, as checked against the memory "
      "budget before its hydrogens are added; None when unparsable.");
  m.def("report_head", &vif::report_head, py::arg("smiles"), py::arg("molecule"),
        "Report lines of the first stage.");
  m.def("report_tail", &vif::report_tail, py::arg("fragments"),
        py::arg("params"), "Report lines of the second stage.");
}

}  // namespace

void bind_vif(py::module_& m) {
  bind_params(m);
  bind_molecule(m);
  bind_fragments(m);
  bind_stages(m);
}

}  // namespace korvane::bindings
