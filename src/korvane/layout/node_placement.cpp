// The directions of an atom's orbital nodes round it and their drawing positions.
#include "korvane/layout/node_placement.hpp"

#include <algorithm>
#include <cmath>

#include "korvane/layout/angular_slots.hpp"

namespace korvane::layout {

bool direction_to(const Coords& coords, int atom_index, int neighbour, double& base) {
  const Point& c = coords[static_cast<std::size_t>(atom_index)];
  const Point& p = coords[static_cast<std::size_t>(neighbour)];
  const double dx = p[0] - c[0], dy = p[1] - c[1];
  if (std::sqrt(dx * dx + dy * dy) < 1e-9) return false;
  base = std::atan2(dy, dx);
  return true;
}

double unit_angle(double base, int k, int order) {
  return base + (k - (order - 1) / 2.0) * kBondUnitSpread;
}

std::vector<double> atom_node_angles(const Coords& coords, int atom_index,
                                     const std::vector<NeighbourBond>& neighbours, int n_nodes) {
  std::vector<double> targets;
  for (const NeighbourBond& nb : neighbours) {
    double base = 0.0;
    if (!direction_to(coords, atom_index, nb.atom, base)) continue;
    const int order = std::max(1, std::min(nb.order, n_nodes));
    for (int k = 0; k < order; ++k) targets.push_back(unit_angle(base, k, order));
  }
  if (targets.size() > static_cast<std::size_t>(n_nodes))
    targets.resize(static_cast<std::size_t>(n_nodes));
  return spread_node_angles(n_nodes, targets);
}

Point node_position(const Point& center, double radius, double angle) {
  return {center[0] + radius * std::cos(angle), center[1] + radius * std::sin(angle)};
}

}  // namespace korvane::layout
