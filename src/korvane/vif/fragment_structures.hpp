// The structures behind an analysis's predictions: each predicted piece's atoms of the
// molecule with explicit hydrogens and its SMILES, and each recursive peak's path.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "korvane/vif/vif_run.hpp"

namespace korvane::vif {

// One predicted fragment: its atoms and its SMILES (massspec::fragment_smiles).
struct FragmentStructure {
  std::vector<int> atoms;  // ascending atom indices
  std::string smiles;
};

// The recursive peak of the same position in VifFragments::recursive_peaks.
struct PeakStructure {
  FragmentStructure fragment;          // the first fragment that reached the peak
  std::vector<int> parent_atoms;       // the fragment it was cut from; empty for the molecule
  std::vector<std::string> cut_path;   // massspec::Peak::cut_path
};

struct FragmentStructures {
  // One entry per record of VifFragments::fragments, in order: the two pieces in the
  // record's order (m/z descending), or none for a cut that does not split.
  std::vector<std::vector<FragmentStructure>> cuts;
  std::optional<std::vector<PeakStructure>> peaks;  // present with the recursive peaks
};

// Returns the structures of the second stage `f` of the first stage `m`.
FragmentStructures fragment_structures(const VifMolecule& m, const VifFragments& f);

}  // namespace korvane::vif
