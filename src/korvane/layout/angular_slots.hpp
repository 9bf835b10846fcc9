// Directions of an atom's orbital nodes round it, and the shortest angle between
// two directions. Angles in radians, counter-clockwise from +x.
#pragma once
#include <vector>

namespace korvane::layout {

// Returns exactly n_nodes directions: the first n_nodes targets as given, then the
// middles of the widest remaining gaps, one at a time. One node always gets [0.0].
// std::invalid_argument when n_nodes is outside 1..kMaxNodeDirections or a target is
// not a finite number.
inline constexpr int kMaxNodeDirections = 1024;
std::vector<double> spread_node_angles(int n_nodes, const std::vector<double>& target_angles);

// Returns the shortest angular distance between two directions, in [0, pi].
double angle_diff(double a, double b);

}  // namespace korvane::layout
