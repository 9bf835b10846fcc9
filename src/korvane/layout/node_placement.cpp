#include "korvane/layout/node_placement.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

#include "korvane/layout/angular_slots.hpp"

namespace korvane::layout {
namespace {

// Direction from the atom to a neighbour, or false when the neighbour sits on it.
bool direction_to(const Coords& coords, int atom_index, int neighbour, double& base) {
  const Point& c = coords[static_cast<std::size_t>(atom_index)];
  const Point& p = coords[static_cast<std::size_t>(neighbour)];
  const double dx = p[0] - c[0], dy = p[1] - c[1];
  if (std::sqrt(dx * dx + dy * dy) < 1e-9) return false;
  base = std::atan2(dy, dx);
  return true;
}

// Direction of unit k of a bond of `order` units: spread symmetrically round `base`.
double unit_angle(double base, int k, int order) {
  return base + (k - (order - 1) / 2.0) * kBondUnitSpread;
}

}  // namespace

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
  return yerlestir_dugumler(n_nodes, targets);
}

void greedy_assign(const std::vector<BondTarget>& targets, const std::vector<int>& nodes,
                   const AtomNodeAngles& node_angles, BondSlots& slots) {
  if (targets.empty() || nodes.empty()) return;
  if (nodes.size() == 1) {
    for (const BondTarget& t : targets) slots[{t.neighbour, t.k}] = nodes.front();
    return;
  }
  // (angular distance, target position, node position): appended target by target,
  // node by node, so a stable sort on the distance keeps that order among ties.
  std::vector<std::tuple<double, std::size_t, std::size_t>> pairs;
  pairs.reserve(targets.size() * nodes.size());
  for (std::size_t ti = 0; ti < targets.size(); ++ti)
    for (std::size_t ni = 0; ni < nodes.size(); ++ni)
      pairs.emplace_back(angle_diff(node_angles.angle_of(nodes[ni]), targets[ti].angle), ti, ni);
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
    return std::get<0>(a) < std::get<0>(b);
  });

  std::vector<bool> used_target(targets.size(), false), used_node(nodes.size(), false);
  for (const auto& [dist, ti, ni] : pairs) {
    (void)dist;
    if (used_target[ti] || used_node[ni]) continue;
    slots[{targets[ti].neighbour, targets[ti].k}] = nodes[ni];
    used_target[ti] = true;
    used_node[ni] = true;
  }
  // More targets than nodes: the rest share the nearest node.
  for (std::size_t ti = 0; ti < targets.size(); ++ti) {
    if (used_target[ti]) continue;
    std::size_t best = 0;
    double best_d = angle_diff(node_angles.angle_of(nodes[0]), targets[ti].angle);
    for (std::size_t ni = 1; ni < nodes.size(); ++ni) {
      const double d = angle_diff(node_angles.angle_of(nodes[ni]), targets[ti].angle);
      if (d < best_d) {
        best_d = d;
        best = ni;
      }
    }
    slots[{targets[ti].neighbour, targets[ti].k}] = nodes[best];
  }
}

BondSlots assign_bond_slots(const Coords& coords, int atom_index,
                            const std::vector<NeighbourBond>& neighbours,
                            const std::vector<int>& sigma_nodes, const std::vector<int>& pi_nodes,
                            const AtomNodeAngles& node_angles) {
  std::vector<BondTarget> sigma_targets, pi_targets;
  for (const NeighbourBond& nb : neighbours) {
    double base = 0.0;
    if (!direction_to(coords, atom_index, nb.atom, base)) continue;
    const int order = std::max(1, nb.order);
    for (int k = 0; k < order; ++k) {
      BondTarget t{nb.atom, k, unit_angle(base, k, order)};
      (k == 0 ? sigma_targets : pi_targets).push_back(t);
    }
  }
  BondSlots slots;
  if (sigma_nodes.size() + pi_nodes.size() == 1) {
    const int only = sigma_nodes.empty() ? pi_nodes.front() : sigma_nodes.front();
    for (const auto* list : {&sigma_targets, &pi_targets})
      for (const BondTarget& t : *list) slots[{t.neighbour, t.k}] = only;
    return slots;
  }
  greedy_assign(sigma_targets, sigma_nodes, node_angles, slots);
  greedy_assign(pi_targets, pi_nodes, node_angles, slots);
  return slots;
}

Point node_position(const Point& center, double radius, double angle) {
  return {center[0] + radius * std::cos(angle), center[1] + radius * std::sin(angle)};
}

}  // namespace korvane::layout
