// Bindings of the analysis entry: the staged run of one SMILES and its report.
#include <pybind11/numpy.h>

#include <map>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/common/elements.hpp"
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
      .def_readwrite("beside_layout", &VifParams::beside_layout);

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
                               // One str object per distinct text: a molecule has few
                               // elements, and creating each str anew per node is most
                               // of the cost of this list.
                               std::map<std::string, std::pair<py::str, py::str>> texts;
                               const py::str sigma("sigma"), pi("pi");
                               py::list out(v.graph.nodes.size());
                               for (std::size_t i = 0; i < v.graph.nodes.size(); ++i) {
                                 const auto& n = v.graph.nodes[i];
                                 auto it = texts.find(n.symbol);
                                 if (it == texts.end())
                                   it = texts
                                            .emplace(n.symbol,
                                                     std::pair{py::str(n.symbol),
                                                               py::str(analysis::orbital_role(
                                                                   n.symbol))})
                                            .first;
                                 out[i] = py::make_tuple(
                                     it->second.first, it->second.second,
                                     n.kind == analysis::OrbitalKind::Sigma ? sigma : pi);
                               }
                               return out;
                             })
      .def_property_readonly("edges",
                             [](const VifMolecule& v) {
                               py::list out;
                               for (const auto& e : v.graph.edges)
                                 out.append(py::make_tuple(e.u, e.v, e.weight));
                               return out;
                             })
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
                                        c.mode == massspec::CutMode::Single ? "single" : "ring",
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
  m.def("report_head", &vif::report_head, py::arg("smiles"), py::arg("molecule"),
        "Report lines of the first stage.");
  m.def("report_tail", &vif::report_tail, py::arg("molecule"), py::arg("fragments"),
        py::arg("params"), "Report lines of the second stage.");
}

}  // namespace korvane::bindings
