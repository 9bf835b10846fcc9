// Single-generation fragment prediction: the pieces a molecule falls into when its
// soft bonds are cut one at a time, and soft ring bonds two at a time.
#pragma once
#include <GraphMol/ROMol.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "korvane/analysis/orbital_graph.hpp"  // ChemBond

namespace korvane::massspec {

// One piece of a cut.
struct Fragment {
  std::string formula;
  double mass = 0.0;  // average mass, rounded to the nearest 2 decimals (as Python rounds)
  int mz = 0;         // nominal mass of the singly charged ion
  std::vector<int> atoms;  // the piece's atom indices, ascending
};

enum class CutMode { Single, Ring };

struct FragmentCut {
  std::string bond;  // "C3-O1", or "C1-C2 + C4-C5" for a ring cut
  bool split = false;
  CutMode mode = CutMode::Single;
  std::vector<Fragment> fragments;  // two pieces, mz descending; empty when !split
};

// The bonds of a molecule between the atoms of one atom set: the graph whose pieces
// are counted when bonds are cut.
struct AtomGraph {
  std::vector<int> atoms;                  // ascending atom indices
  std::vector<std::pair<int, int>> bonds;  // smaller index first, molecule bond order
  std::vector<std::pair<std::size_t, std::size_t>> ends;  // each bond's atoms' positions in atoms
};

// "single" or "ring".
const char* cut_mode_name(CutMode mode);

// The atom graph of `atom_set` (any order, duplicates ignored); std::out_of_range for
// an index outside the molecule.
AtomGraph build_atom_graph(const RDKit::ROMol& mol, std::vector<int> atom_set);

bool has_bond(const AtomGraph& graph, std::pair<int, int> bond);

// Returns the connected components left when the `cut` bonds are removed, each as
// ascending atom indices, the component of the smallest atom index first and the
// others by their smallest index (the order of a breadth-first search started at each
// unvisited atom in index order).
std::vector<std::vector<int>> components_without(const AtomGraph& graph,
                                                 const std::vector<std::pair<int, int>>& cut);

// Number of atoms with atomic number greater than 1.
int heavy_atom_count(const RDKit::ROMol& mol, const std::vector<int>& atoms);

// Whether cutting a bond of `order` into the pieces `a` and `b` is left undone: a
// multiple bond is not cut off a lone heavy atom (carbonyl O, CH2 of ethylene). The rule
// of single and recursive fragmentation alike.
bool keeps_multiple_bond(const RDKit::ROMol& mol, int order, const std::vector<int>& a,
                         const std::vector<int>& b);

// Formula, rounded average mass, nominal mass and atoms of each component, sorted by mz
// descending; the sort is stable, so pieces of equal mz keep the components' order.
std::vector<Fragment> fragments_of(const RDKit::ROMol& mol,
                                   const std::vector<std::vector<int>>& components);

// The default m/z floor of the pieces of a ring cut.
inline constexpr int kMinRingFragmentMz = 30;

// Cuts each distinct soft atom pair once, in soft_bonds order (the first record of a
// pair gives the label, from its own atom order and symbols). A cut that leaves two
// pieces is a split record, except that a bond of order >= 2 leaving a single heavy atom
// on one side is dropped; any other cut is a non-split record and, with
// ring_fragmentation, its pair is later cut together with every other such pair. Ring
// cuts are kept when both pieces reach min_ring_fragment_mz and their mz pair has not
// been reported before. A molecule already in several pieces gives no split at all.
// Returns the single records in soft_bonds order, then the ring records.
std::vector<FragmentCut> predict_fragments(const RDKit::ROMol& mol,
                                           const std::vector<analysis::ChemBond>& soft_bonds,
                                           bool ring_fragmentation = false,
                                           int min_ring_fragment_mz = kMinRingFragmentMz);

}  // namespace korvane::massspec
