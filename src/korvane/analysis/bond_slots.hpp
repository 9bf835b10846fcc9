// The bond-slot assignment of the orbital graph: which orbital node of an atom carries
// which unit of each of its bonds, so which node pairs the bond edges join. Unit 0 of a
// bond goes to a sigma node, units 1 and up to pi nodes, each matched to the node whose
// direction (from the layout) lies closest to the unit's.
#pragma once
#include <map>
#include <utility>
#include <vector>

#include "korvane/layout/coords.hpp"
#include "korvane/layout/node_placement.hpp"

namespace korvane::analysis {

// Bond-slot map of one atom: (neighbour atom index, unit k) -> node id.
using BondSlots = std::map<std::pair<int, int>, int>;

// One wished direction for unit k of the bond to a neighbour.
struct BondTarget {
  int neighbour = 0;
  int k = 0;
  double angle = 0.0;
};

// Fills `slots` for one list of targets and one list of nodes: closest target-node
// pairs first (stable on ties), each node to at most one target; surplus targets
// share their nearest node, the first node winning ties.
void greedy_assign(const std::vector<BondTarget>& targets, const std::vector<int>& nodes,
                   const layout::AtomNodeAngles& node_angles, BondSlots& slots);

// Returns the bond-slot map of one atom: unit 0 of each bond on a sigma node, units
// 1 and up on pi nodes; a one-node atom takes every unit on its node. Bond orders are
// not clamped here. A neighbour sitting on the atom gets no slot.
BondSlots assign_bond_slots(const layout::Coords& coords, int atom_index,
                            const std::vector<layout::NeighbourBond>& neighbours,
                            const std::vector<int>& sigma_nodes, const std::vector<int>& pi_nodes,
                            const layout::AtomNodeAngles& node_angles);

}  // namespace korvane::analysis
