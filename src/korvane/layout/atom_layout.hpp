// Force-directed two-dimensional atom layout, started from RDKit's depiction and
// made symmetric afterwards.
#pragma once
#include <GraphMol/ROMol.h>

#include <optional>
#include <vector>

#include "korvane/layout/coords.hpp"
#include "korvane/layout/depiction.hpp"  // depict, which compute_atom_layout starts from
#include "korvane/korvane.hpp"           // AnalysisParams

namespace korvane::layout {

// How the non-bonded repulsion finds the atom pairs closer than its cut-off. Every
// choice gives the same coordinates bit for bit: the grid visits the same pairs in the
// same order and does the same arithmetic, it only skips pairs too far apart to matter.
enum class PairScan {
  Auto,      // the grid for molecules large enough to gain from it
  AllPairs,  // every pair i < j: n^2 / 2 distance tests per scan
  Grid,      // only pairs in neighbouring cells of a grid with cells >= the cut-off
             // (each scan runs every iteration, or only to rebuild the neighbour list)
};

// The ranges check_layout_params accepts: lengths in the depiction's units (its bonds
// are 1.5 long), far enough from 0 and from overflow that every distance, square and
// force of the relaxation stays finite; gains above 1 overshoot by construction. A gain
// or a repulsion factor of 0 switches that force off.
inline constexpr double kMinBondLength = 1e-3, kMaxBondLength = 1e3;
inline constexpr double kMaxRepulsionFactor = 100.0;
inline constexpr double kMaxGain = 1.0;

// n_iter and target_bond_len default to the analysis's.
struct LayoutParams {
  int n_iter = AnalysisParams{}.n_iter;  // relaxation iterations
  double target_bond_len = AnalysisParams{}.target_bond_len;  // rest length of every bond
                                                              // spring, in [0.001, 1000]
  double repulsion_factor = 1.2;  // cut-off of the repulsion = target_bond_len * this,
                                  // in [0, 100]
  double k_attr = 0.06;           // gain (step size) of the bond force, in [0, 1]
  double k_rep = 0.05;            // gain (step size) of the non-bonded repulsion, in [0, 1]
  PairScan pair_scan = PairScan::Auto;  // changes the cost only, never the result
  // Keeps the pairs within the cut-off plus a margin from step to step and scans again
  // only when an atom has moved far enough for a pair left out to matter; the pairs
  // visited, their order and the result stay those of the scan at every step.
  bool reuse_pairs = true;
};

struct AtomLayout {
  Coords coords;           // row i = atom i
  std::vector<int> ranks;  // symmetry class per atom
};

// Throws std::invalid_argument naming the first parameter that is not a finite number
// or lies outside its range (those beside LayoutParams' fields): outside them the
// relaxation would return non-finite positions.
void check_layout_params(const LayoutParams& params);

// Depicts the molecule with RDKit (switching RDKit's process-wide coordinate-generator
// preference on, and leaving the 2-D conformer in `mol`), relaxes the depiction, then
// aligns and mirrors it. Deterministic: the same molecule always gives the same layout.
// check_layout_params first, before the depiction.
AtomLayout compute_atom_layout(RDKit::ROMol& mol, const LayoutParams& params = {});

// The layout after depiction: relaxes, aligns and mirrors `depiction` (row i for atom
// i of `mol`, as depict returns it). compute_atom_layout is depict followed by this.
// `ranks`, when given, must be symmetry_classes(mol), made elsewhere beforehand.
AtomLayout layout_from_depiction(const RDKit::ROMol& mol, Coords depiction,
                                 const LayoutParams& params = {},
                                 std::optional<std::vector<int>> ranks = std::nullopt);

// Moves apart atoms that coincide (closer than 1e-6): for each pair i < j in order,
// row j gets two normal draws (standard deviation 0.1) added, from a stream seeded
// with 42 afresh on every call, so the result is the same on every call. Costs
// n log n when no two atoms coincide, n^2 otherwise.
void separate_coincident(Coords& coords);

}  // namespace korvane::layout
