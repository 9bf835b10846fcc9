// Bindings of the mass-spectrum subsystem: masses, formulas, labels, fragment prediction.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/massspec/fragments.hpp"
#include "korvane/massspec/fragments_recursive.hpp"
#include "korvane/massspec/masses.hpp"

namespace korvane::bindings {

namespace {

using Edge = std::tuple<int, int, double>;                               // u, v, weight
using SoftRecord = std::tuple<int, int, std::string, std::string, int>;  // atoms, symbols, order
using OrbitalRecord = std::tuple<int, int, int, int, int>;  // u_node, v_node, atoms, order
using FragmentTuple = std::tuple<std::string, double, int>;
using CutTuple =
    std::tuple<std::string, bool, std::string, std::optional<std::vector<FragmentTuple>>>;

std::vector<analysis::ChemBond> to_soft_bonds(const std::vector<SoftRecord>& records) {
  std::vector<analysis::ChemBond> out;
  for (const auto& [au, av, su, sv, order] : records) {
    analysis::ChemBond cb;
    cb.atom_u = au, cb.atom_v = av, cb.sym_u = su, cb.sym_v = sv, cb.order = order;
    out.push_back(std::move(cb));
  }
  return out;
}

// The orbital graph as recursive fragmentation reads it: edges, node lists, records.
analysis::OrbitalGraph to_orbital_graph(int n_nodes, const std::vector<Edge>& edges,
                                        std::vector<std::vector<int>> atom_subgraphs,
                                        const std::vector<OrbitalRecord>& records) {
  if (n_nodes < 0) throw std::invalid_argument("node count must not be negative");
  analysis::OrbitalGraph g;
  g.nodes.resize(static_cast<std::size_t>(n_nodes));
  for (const auto& [u, v, w] : edges) g.edges.push_back({u, v, w});
  g.atom_subgraphs = std::move(atom_subgraphs);
  for (const auto& [un, vn, au, av, order] : records) {
    analysis::ChemBond cb;
    cb.u_node = un, cb.v_node = vn, cb.atom_u = au, cb.atom_v = av, cb.order = order;
    g.chem_bonds.push_back(std::move(cb));
  }
  return g;
}

std::vector<analysis::ChemBond> to_cut_records(
    const std::vector<std::tuple<int, int, int>>& softs) {
  std::vector<analysis::ChemBond> out(softs.size());
  for (std::size_t i = 0; i < softs.size(); ++i)
    std::tie(out[i].atom_u, out[i].atom_v, out[i].order) = softs[i];
  return out;
}

std::vector<std::tuple<int, std::string, int>> to_tuples(const std::vector<massspec::Peak>& peaks) {
  std::vector<std::tuple<int, std::string, int>> out;
  for (const auto& p : peaks) out.emplace_back(p.mz, p.formula, p.generation);
  return out;
}

std::vector<CutTuple> to_tuples(const std::vector<massspec::FragmentCut>& cuts) {
  std::vector<CutTuple> out;
  for (const auto& c : cuts) {
    std::optional<std::vector<FragmentTuple>> frags;
    if (c.split) {
      frags.emplace();
      for (const auto& f : c.fragments) frags->emplace_back(f.formula, f.mass, f.mz);
    }
    out.emplace_back(c.bond, c.split, massspec::cut_mode_name(c.mode), std::move(frags));
  }
  return out;
}

}  // namespace

void bind_massspec(py::module_& m) {
  m.attr("MIN_RING_FRAGMENT_MZ") = massspec::kMinRingFragmentMz;
  m.def("nominal_atom_mass", &massspec::nominal_atom_mass, py::arg("atomic_num"),
        "Mass number of the element's most common isotope; ValueError if unknown.");

  m.def(
      "atomic_numbers",
      [](const py::bytes& mol, const std::vector<int>& atoms) {
        return with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return massspec::atomic_numbers(molecule, atoms);
        });
      },
      py::arg("mol_pickle"), py::arg("atoms"), "Atomic number of each listed atom.");

  m.def(
      "isotope_labels",
      [](const py::bytes& mol, const std::vector<int>& atoms) {
        return with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return massspec::isotope_labels(molecule, atoms);
        });
      },
      py::arg("mol_pickle"), py::arg("atoms"),
      "Isotope label (mass number) of each listed atom, 0 for an atom without one.");

  m.def(
      "fragment_formula",
      [](const py::bytes& mol, const std::vector<int>& atoms) {
        return with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return massspec::fragment_formula(molecule, atoms);
        });
      },
      py::arg("mol_pickle"), py::arg("atoms"), "Formula of the atoms: C, H, then by code point.");

  m.def(
      "pair_label",
      [](const py::bytes& mol, int i, int j) {
        return with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return massspec::pair_label(molecule, i, j);
        });
      },
      py::arg("mol_pickle"), py::arg("i"), py::arg("j"), "Label 'C1-Cl0' of two atoms.");

  m.def(
      "predict_fragments",
      [](const py::bytes& mol, const std::vector<SoftRecord>& soft_bonds, bool ring_fragmentation,
         int min_ring_fragment_mz) {
        return with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return to_tuples(massspec::predict_fragments(molecule, to_soft_bonds(soft_bonds),
                                                       ring_fragmentation, min_ring_fragment_mz));
        });
      },
      py::arg("mol_pickle"), py::arg("soft_bonds"), py::arg("ring_fragmentation"),
      py::arg("min_ring_fragment_mz"),
      "(bond, split, mode, fragments or None) per cut of (atom_u, atom_v, sym_u, sym_v, "
      "order) records.");

  m.def(
      "fragment_atom_softs",
      [](int n_nodes, const std::vector<Edge>& edges,
         const std::vector<std::vector<int>>& atom_subgraphs,
         const std::vector<OrbitalRecord>& chem_bonds, const std::vector<int>& atom_set,
         double tol, std::uint64_t budget) {
        py::gil_scoped_release release;
        return massspec::fragment_atom_softs(
            to_orbital_graph(n_nodes, edges, atom_subgraphs, chem_bonds), atom_set, tol, nullptr,
            budget);
      },
      py::arg("n_nodes"), py::arg("edges"), py::arg("atom_subgraphs"), py::arg("chem_bonds"),
      py::arg("atom_set"), py::arg("tol"), budget_arg(),
      "Indices of the (u_node, v_node, atom_u, atom_v, order) records soft in the fragment.");

  m.def(
      "cut_atom_set",
      [](const py::bytes& mol, const std::vector<int>& atom_set,
         const std::vector<std::tuple<int, int, int>>& softs, bool ring_fragmentation,
         double min_mz) {
        return with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return massspec::cut_atom_set(molecule, atom_set, to_cut_records(softs),
                                        ring_fragmentation, min_mz);
        });
      },
      py::arg("mol_pickle"), py::arg("atom_set"), py::arg("softs"), py::arg("ring_fragmentation"),
      py::arg("min_mz"),
      "Child atom sets of a fragment cut at its soft (atom_u, atom_v, order) records.");

  m.def(
      "predict_fragments_recursive",
      [](const py::bytes& mol, int n_nodes, const std::vector<Edge>& edges,
         const std::vector<std::vector<int>>& atom_subgraphs,
         const std::vector<OrbitalRecord>& chem_bonds, int max_generations, double min_mz,
         bool ring_fragmentation, std::uint64_t budget) {
        return with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return to_tuples(massspec::predict_fragments_recursive(
              molecule, to_orbital_graph(n_nodes, edges, atom_subgraphs, chem_bonds),
              max_generations, min_mz, ring_fragmentation, nullptr, budget));
        });
      },
      py::arg("mol_pickle"), py::arg("n_nodes"), py::arg("edges"), py::arg("atom_subgraphs"),
      py::arg("chem_bonds"), py::arg("max_generations"), py::arg("min_mz"),
      py::arg("ring_fragmentation"), budget_arg(),
      "(mz, formula, generation) peaks in insertion order.");
}

}  // namespace korvane::bindings
