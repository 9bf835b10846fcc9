// The bond-slot assignment: a greedy closest-first matching of bond units to nodes.
#include "korvane/analysis/bond_slots.hpp"

#include <algorithm>
#include <tuple>

#include "korvane/layout/angular_slots.hpp"  // angle_diff

namespace korvane::analysis {

void greedy_assign(const std::vector<BondTarget>& targets, const std::vector<int>& nodes,
                   const layout::AtomNodeAngles& node_angles, BondSlots& slots) {
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
      pairs.emplace_back(layout::angle_diff(node_angles.angle_of(nodes[ni]), targets[ti].angle), ti, ni);
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
    double best_d = layout::angle_diff(node_angles.angle_of(nodes[0]), targets[ti].angle);
    for (std::size_t ni = 1; ni < nodes.size(); ++ni) {
      const double d = layout::angle_diff(node_angles.angle_of(nodes[ni]), targets[ti].angle);
      if (d < best_d) {
        best_d = d;
        best = ni;
      }
    }
    slots[{targets[ti].neighbour, targets[ti].k}] = nodes[best];
  }
}

BondSlots assign_bond_slots(const layout::Coords& coords, int atom_index,
                            const std::vector<layout::NeighbourBond>& neighbours,
                            const std::vector<int>& sigma_nodes, const std::vector<int>& pi_nodes,
                            const layout::AtomNodeAngles& node_angles) {
  std::vector<BondTarget> sigma_targets, pi_targets;
  for (const layout::NeighbourBond& nb : neighbours) {
    double base = 0.0;
    if (!layout::direction_to(coords, atom_index, nb.atom, base)) continue;
    const int order = std::max(1, nb.order);
    for (int k = 0; k < order; ++k) {
      BondTarget t{nb.atom, k, layout::unit_angle(base, k, order)};
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

}  // namespace korvane::analysis
