// Placement of an atom's orbital nodes on a small circle round it, pointing towards
// its bonded neighbours: the directions of the bond units, of the nodes, and the
// nodes' drawing positions.
#pragma once
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

// The nodes of one atom: contiguous ids first_node .. first_node + angles.size() - 1,
// each with its direction.
struct AtomNodeAngles {
  int first_node = 0;
  std::vector<double> angles;
  double angle_of(int node) const { return angles[static_cast<std::size_t>(node - first_node)]; }
};

// Sets `base` to the direction from the atom to a neighbour; false, leaving `base`
// alone, when the neighbour sits on the atom (closer than 1e-9).
bool direction_to(const Coords& coords, int atom_index, int neighbour, double& base);

// Direction of unit k of a bond of `order` units: spread symmetrically round `base`,
// kBondUnitSpread apart.
double unit_angle(double base, int k, int order);

// Returns the directions of an atom's n_nodes nodes, in node order: one target per
// bond unit towards each neighbour (orders clamped to n_nodes; neighbours sitting on
// the atom skipped), completed by spread_node_angles.
std::vector<double> atom_node_angles(const Coords& coords, int atom_index,
                                     const std::vector<NeighbourBond>& neighbours, int n_nodes);

// Returns the point at `angle` on the circle of `radius` round `center`.
Point node_position(const Point& center, double radius, double angle);

}  // namespace korvane::layout
