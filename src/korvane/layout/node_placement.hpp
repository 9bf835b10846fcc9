// Placement of an atom's orbital nodes on a small circle round it, pointing towards
// its bonded neighbours, and the bond-slot map: which node carries which bond unit.
#pragma once
#include <map>
#include <utility>
#include <vector>

#include "korvane/layout/coords.hpp"

namespace korvane::layout {

// Angular spacing between the units of one multiple bond.
inline constexpr double kBondUnitSpread = 0.35;

// A bonded neighbour of an atom, in RDKit's neighbour order, with the bond's order.
struct NeighbourBond {
  int atom = 0;
  int order = 1;
};

// Bond-slot map of one atom: (neighbour atom index, unit k) -> node id.
using BondSlots = std::map<std::pair<int, int>, int>;

// One wished direction for unit k of the bond to a neighbour.
struct BondTarget {
  int neighbour = 0;
  int k = 0;
  double angle = 0.0;
};

// The nodes of one atom: contiguous ids first_node .. first_node + angles.size() - 1,
// each with its direction.
struct AtomNodeAngles {
  int first_node = 0;
  std::vector<double> angles;
  double angle_of(int node) const { return angles[static_cast<std::size_t>(node - first_node)]; }
};

// Returns the directions of an atom's n_nodes nodes, in node order: one target per
// bond unit towards each neighbour (orders clamped to n_nodes; neighbours sitting on
// the atom skipped), completed by yerlestir_dugumler.
std::vector<double> atom_node_angles(const Coords& coords, int atom_index,
                                     const std::vector<NeighbourBond>& neighbours, int n_nodes);

// Fills `slots` for one list of targets and one list of nodes: closest target-node
// pairs first (stable on ties), each node to at most one target; surplus targets
// share their nearest node, the first node winning ties.
void greedy_assign(const std::vector<BondTarget>& targets, const std::vector<int>& nodes,
                   const AtomNodeAngles& node_angles, BondSlots& slots);

// Returns the bond-slot map of one atom: unit 0 of each bond on a sigma node, units
// 1 and up on pi nodes; a one-node atom takes every unit on its node. Bond orders are
// not clamped here.
BondSlots assign_bond_slots(const Coords& coords, int atom_index,
                            const std::vector<NeighbourBond>& neighbours,
                            const std::vector<int>& sigma_nodes, const std::vector<int>& pi_nodes,
                            const AtomNodeAngles& node_angles);

// Returns the point at `angle` on the circle of `radius` round `center`.
Point node_position(const Point& center, double radius, double angle);

}  // namespace korvane::layout
