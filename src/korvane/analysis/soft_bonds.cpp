#include "korvane/analysis/soft_bonds.hpp"

#include <algorithm>

#include "korvane/common/interrupt.hpp"

namespace korvane::analysis {

std::vector<SoftTest> detect_soft_edges(int n_nodes, const std::vector<WeightedEdge>& edges,
                                        const std::vector<std::pair<int, int>>& candidates,
                                        const LpiCounts& baseline, double zero_tolerance) {
  std::vector<SoftTest> out;
  out.reserve(candidates.size());
  std::vector<WeightedEdge> edited;
  edited.reserve(edges.size());
  for (const auto& [u, v] : candidates) {
    check_interrupt();  // each candidate costs an eigen-decomposition
    const auto same_pair = [u = u, v = v](const WeightedEdge& e) {
      return (e.u == u && e.v == v) || (e.u == v && e.v == u);
    };
    if (std::none_of(edges.begin(), edges.end(), same_pair)) {
      out.push_back(SoftTest::Absent);
      continue;
    }
    // Each candidate is tested against the intact graph: only its own edge is missing.
    edited.clear();
    std::copy_if(edges.begin(), edges.end(), std::back_inserter(edited),
                 [&](const WeightedEdge& e) { return !same_pair(e); });
    const LpiCounts perturbed = compute_lpi(n_nodes, edited, zero_tolerance).counts;
    out.push_back(perturbed == baseline ? SoftTest::Soft : SoftTest::Essential);
  }
  return out;
}

}  // namespace korvane::analysis
