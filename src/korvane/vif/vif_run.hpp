// The analysis of one SMILES, in the order of its stages: preparation, layout, bond
// orders, orbital graph, LPI and masses; then soft bonds and fragments.
#pragma once
#include <GraphMol/RWMol.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvane/analysis/lpi.hpp"
#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/analysis/soft_bonds.hpp"  // SoftTest
#include "korvane/common/limits.hpp"
#include "korvane/korvane.hpp"  // AnalysisParams
#include "korvane/layout/atom_layout.hpp"
#include "korvane/massspec/fragments.hpp"
#include "korvane/massspec/fragments_recursive.hpp"

namespace korvane::vif {

// The analysis's parameters: the public struct, its defaults those of the Python entry.
using VifParams = AnalysisParams;

// Wall-clock seconds of the stages of one analysis, as benchmarks read them; no result
// depends on them.
struct StageSeconds {
  double prepare = 0.0;     // parsing, preparation and RDKit's depiction
  double layout = 0.0;      // relaxation, alignment and mirroring of the depiction
  double graph = 0.0;       // bond orders, orbital graph and node placement
  double lpi = 0.0;         // eigenvalues of the whole graph, and the masses (the part
                            // of it not covered by a soft-bond test run beside it)
  double soft_bonds = 0.0;  // the soft-bond test of every chemical-bond record
  double fragments = 0.0;   // single-generation prediction
  double recursive = 0.0;   // multi-generation prediction; 0 without recursive_ms
  // Of the stages above, the seconds that ran on a helper thread while this one
  // depicted and laid the molecule out: the wall time of an analysis is the sum of the
  // stages less this.
  double beside = 0.0;
};

class TopologyBeside;  // the helper thread's work (topology_beside.hpp)

// First stage: everything up to the LPI and the molecular masses.
struct VifMolecule {
  std::unique_ptr<RDKit::RWMol> mol;  // prepared, explicit hydrogens, 2-D conformer
  layout::AtomLayout layout;
  std::vector<int> bond_orders;  // by bond index
  analysis::OrbitalGraph graph;
  analysis::LpiSignature lpi;
  // The decomposition with eigenvectors behind lpi, kept for the soft-bond and
  // fragment tests; null when they decompose nothing or too little to need it.
  std::shared_ptr<const analysis::DeletionCounter> counter;
  // The soft-bond verdicts per chemical-bond record, when they were found beside the
  // eigenvalues (large graphs without recursion); fragment_vif tests otherwise.
  std::optional<std::vector<analysis::SoftTest>> soft_verdicts;
  // The predictions being made beside the layout (see prepare_vif), stopped when the
  // last holder lets them go, and the parameters they were asked with; fragment_vif
  // waits for them when its parameters are the same.
  std::shared_ptr<TopologyBeside> predictions;
  struct PredictedFor {
    bool ring_fragmentation = false, recursive_ms = false;
    int max_generations = 0;
  } predicted_for;
  double predictions_waited = 0.0;  // seconds prepare_vif waited for the helper
  int mol_mass = 0;           // nominal
  double mol_mass_avg = 0.0;  // sum of average atomic masses
  StageSeconds seconds;       // the stages up to lpi, and those made beside the layout
};

// Second stage: soft bonds and the predicted fragments.
struct VifFragments {
  std::vector<int> soft_bonds;  // indices into graph.chem_bonds, in order
  std::vector<massspec::FragmentCut> fragments;
  std::optional<std::vector<massspec::Peak>> recursive_peaks;  // only with recursive_ms
  StageSeconds seconds;  // every stage, those of the first one copied from it
};

// Returns the first stage, or nullptr when the SMILES cannot be parsed or has no atom.
//
// The soft bonds, the fragments and the recursive peaks depend on the layout only
// through which orbital node of an atom carries which bond unit, and nodes of one atom
// and kind are interchangeable: graphs that differ only in that are the same graph
// numbered otherwise, with the same counts for every edit. So, for a molecule analysed
// recursively or of fewer than a hundred orbital nodes, a helper thread builds the graph
// with the bond units on nodes chosen without the layout and runs those stages (and the
// LPI) while this thread depicts and lays the molecule out. Its results stand when the
// graph of the layout turns out to be that graph renumbered and none of its counts rests
// on an eigenvalue within rounding of the tolerance, where a renumbering could tip it;
// otherwise the stages run again on the graph of the layout. The LPI's eigenvalues are
// then those of the renumbered matrix: the same spectrum, to rounding.
// When the layout can change nothing (every atom has at least as many nodes of each kind
// as bond units of that kind, or one node of it, so that each unit gets a node of its
// own whatever the angles) and params.need_coordinates is off, those stages run on this
// thread and, where they are definite, stand without any layout: the molecule then has
// no conformer, `layout` no coordinates and the graph no node positions.
// Throws std::invalid_argument for an element without a period and for parameters
// that are not finite, AnalysisTooLarge (before the layout) for a molecule whose dense
// matrices exceed params.max_analysis_bytes, and Interrupted when the interrupt hook
// asks to stop.
std::unique_ptr<VifMolecule> prepare_vif(const std::string& smiles, const VifParams& params = {});

// What analysis_peak_bytes (limits.hpp) estimates for the analysis of this SMILES with
// these parameters, the number prepare_vif checks against params.max_analysis_bytes;
// nullopt when the SMILES cannot be parsed or has no atom. Adds no hydrogens.
std::optional<std::uint64_t> analysis_memory_estimate(const std::string& smiles,
                                                      const VifParams& params = {});

// Returns the second stage for a first stage built with the same parameters. Throws
// AnalysisTooLarge and Interrupted as prepare_vif does.
VifFragments fragment_vif(const VifMolecule& m, const VifParams& params = {});

}  // namespace korvane::vif
