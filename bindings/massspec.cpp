// Bindings of the mass-spectrum subsystem: masses, formulas, labels, fragment prediction.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/massspec/cut_sites.hpp"
#include "korvane/massspec/fragments.hpp"
#include "korvane/massspec/fragments_recursive.hpp"
#include "korvane/massspec/masses.hpp"
#include "korvane/massspec/predicted_spectrum.hpp"
#include "korvane/massspec/spectrum_score.hpp"

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


// Predicted spectra and the identification score: counted sources, weights, score.
using NominalPair = std::pair<int, double>;                    // nominal m/z, intensity
using SourceRow = std::tuple<int, int, int, int, int, int>;    // mz, cut, soft, ring, g1, g2
using SourcesTuple = std::tuple<int, std::array<double, massspec::kIsotopePeaks>,
                                std::vector<SourceRow>>;       // M, isotope ratios, rows

std::vector<massspec::FragmentCut> to_cuts(const std::vector<CutTuple>& cuts) {
  std::vector<massspec::FragmentCut> out;
  for (const auto& [bond, split, mode, frags] : cuts) {
    massspec::FragmentCut c;
    c.bond = bond, c.split = split;
    if (mode == "ring")
      c.mode = massspec::CutMode::Ring;
    else if (mode == "single")
      c.mode = massspec::CutMode::Single;
    else
      throw std::invalid_argument("cut mode must be 'single' or 'ring', not '" + mode + "'");
    if (frags)
      for (const auto& [formula, mass, mz] : *frags) c.fragments.push_back({formula, mass, mz, {}});
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<massspec::Peak> to_peaks(const std::vector<std::tuple<int, std::string, int>>& peaks) {
  std::vector<massspec::Peak> out;
  for (const auto& [mz, formula, generation] : peaks) {
    massspec::Peak p;
    p.mz = mz, p.formula = formula, p.generation = generation;
    out.push_back(std::move(p));
  }
  return out;
}

SourcesTuple to_tuple(const massspec::FragmentSources& s) {
  std::vector<SourceRow> rows;
  for (const auto& c : s.counts)
    rows.emplace_back(c.mz, c.cut_pieces, c.soft_single, c.ring, c.generation1, c.generation2);
  return {s.nominal_mass, s.isotopes, std::move(rows)};
}

massspec::FragmentSources to_sources(const SourcesTuple& t) {
  massspec::FragmentSources s;
  s.nominal_mass = std::get<0>(t);
  s.isotopes = std::get<1>(t);
  for (const auto& [mz, cut, soft, ring, g1, g2] : std::get<2>(t))
    s.counts.push_back({mz, cut, soft, ring, g1, g2});
  return s;
}

std::vector<massspec::NominalPeak> to_nominal(const std::vector<NominalPair>& peaks) {
  std::vector<massspec::NominalPeak> out;
  for (const auto& [mz, intensity] : peaks) out.push_back({mz, intensity});
  return out;
}

std::vector<NominalPair> to_pairs(const std::vector<massspec::NominalPeak>& peaks) {
  std::vector<NominalPair> out;
  for (const auto& p : peaks) out.emplace_back(p.mz, p.intensity);
  return out;
}

void bind_identification(py::module_& m) {
  using massspec::ScoreParameters;
  using massspec::SpectrumWeights;
  py::class_<SpectrumWeights>(m, "SpectrumWeights")
      .def(py::init<>())
      .def_readwrite("cut_piece", &SpectrumWeights::cut_piece)
      .def_readwrite("cut_repeat", &SpectrumWeights::cut_repeat)
      .def_readwrite("soft_single", &SpectrumWeights::soft_single)
      .def_readwrite("ring", &SpectrumWeights::ring)
      .def_readwrite("generation1", &SpectrumWeights::generation1)
      .def_readwrite("generation2", &SpectrumWeights::generation2)
      .def_readwrite("molecular_ion", &SpectrumWeights::molecular_ion);
  py::class_<ScoreParameters>(m, "ScoreParameters")
      .def(py::init<>())
      .def_readwrite("intensity_power", &ScoreParameters::intensity_power)
      .def_readwrite("mz_power", &ScoreParameters::mz_power)
      .def_readwrite("predicted_power", &ScoreParameters::predicted_power)
      .def_readwrite("isotope_weight", &ScoreParameters::isotope_weight)
      .def_readwrite("isotope_cap", &ScoreParameters::isotope_cap)
      .def_readwrite("min_molecular_ion", &ScoreParameters::min_molecular_ion);

  m.def(
      "natural_isotopes",
      [](int atomic_num) {
        std::vector<std::pair<int, double>> out;
        for (const auto& i : massspec::natural_isotopes(atomic_num))
          out.emplace_back(i.mass_number, i.abundance);
        return out;
      },
      py::arg("atomic_num"), "[(mass number, natural abundance)] of an element; [] if unknown");
  m.def(
      "isotope_envelope",
      [](const py::bytes& mol) {
        return with_unpickled(mol, [](const RDKit::ROMol& molecule) {
          return massspec::isotope_envelope(molecule);
        });
      },
      py::arg("mol_pickle"), "Intensities of M+1 .. M+4 relative to M, from natural abundances");
  m.def(
      "fragment_sources",
      [](const py::bytes& mol, const std::vector<CutTuple>& cuts,
         const std::vector<std::tuple<int, std::string, int>>& recursive_peaks) {
        const auto c = to_cuts(cuts);
        const auto p = to_peaks(recursive_peaks);
        return to_tuple(with_unpickled(mol, [&](const RDKit::ROMol& molecule) {
          return massspec::fragment_sources(molecule, c, p);
        }));
      },
      py::arg("mol_pickle"), py::arg("cuts"), py::arg("recursive_peaks"),
      "(M, [M+1..M+4 ratios], [(mz, cut pieces, soft single, ring, generation 1, later)]) "
      "of (bond, split, mode, fragments) cuts and (mz, formula, generation) peaks");
  m.def(
      "predicted_spectrum",
      [](const SourcesTuple& sources, const SpectrumWeights& weights) {
        return to_pairs(massspec::predicted_spectrum(to_sources(sources), weights));
      },
      py::arg("sources"), py::arg("weights") = SpectrumWeights{},
      "[(m/z, intensity, base 999)] ascending, from fragment_sources' tuple");
  m.def(
      "identification_score",
      [](const std::vector<NominalPair>& measured, const std::vector<NominalPair>& predicted,
         int nominal_mass, const ScoreParameters& parameters) {
        return massspec::identification_score(to_nominal(measured), to_nominal(predicted),
                                              nominal_mass, parameters);
      },
      py::arg("measured"), py::arg("predicted"), py::arg("nominal_mass"),
      py::arg("parameters") = ScoreParameters{},
      "Weighted cosine below M minus the isotope-pattern term; spectra ascending by m/z");
  m.def(
      "identification_scores",
      [](const std::vector<NominalPair>& measured,
         const std::vector<std::vector<NominalPair>>& predicted, int nominal_mass,
         const ScoreParameters& parameters) {
        std::vector<std::vector<massspec::NominalPeak>> spectra;
        for (const auto& p : predicted) spectra.push_back(to_nominal(p));
        return massspec::identification_scores(to_nominal(measured), spectra, nominal_mass,
                                               parameters);
      },
      py::arg("measured"), py::arg("predicted"), py::arg("nominal_mass"),
      py::arg("parameters") = ScoreParameters{},
      "identification_score of each predicted spectrum against the measured one");
  m.def(
      "cut_site_names",
      []() {
        const auto& names = massspec::cut_site_names();
        return std::vector<std::string>(names.begin(), names.end());
      },
      "Names of the charge-site marks, in the order of cut_site_counts' counts");
  m.def(
      "cut_site_counts",
      [](const py::bytes& mol) {
        std::vector<std::pair<int, std::vector<int>>> out;
        for (const auto& c : with_unpickled(mol, [](const RDKit::ROMol& molecule) {
               return massspec::cut_site_counts(molecule);
             }))
          out.emplace_back(c.mz, std::vector<int>(c.counts.begin(), c.counts.end()));
        return out;
      },
      py::arg("mol_pickle"),
      "[(m/z, count of splitting-cut pieces with each charge-site mark)] ascending");
  m.def("score_ranks", &massspec::score_ranks, py::arg("scores"),
        "Per score, 1 + the number of other scores at least as high");
}

}  // namespace

void bind_massspec(py::module_& m) {
  m.attr("MIN_RING_FRAGMENT_MZ") = massspec::kMinRingFragmentMz;
  m.attr("RECURSIVE_MAX_GENERATIONS") = massspec::kRecursiveMaxGenerations;
  m.attr("RECURSIVE_MIN_MZ") = massspec::kRecursiveMinMz;
  m.attr("RECURSIVE_RING_FRAGMENTATION") = massspec::kRecursiveRingFragmentation;
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

  bind_identification(m);
}

}  // namespace korvane::bindings
