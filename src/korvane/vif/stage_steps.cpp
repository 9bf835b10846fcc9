// The steps shared by the stage pipeline and the topology work beside the layout.
#include "korvane/vif/stage_steps.hpp"

#include <algorithm>

namespace korvane::vif {

std::vector<std::pair<int, int>> bond_candidates(const analysis::OrbitalGraph& graph) {
  std::vector<std::pair<int, int>> out;
  out.reserve(graph.chem_bonds.size());
  for (const auto& cb : graph.chem_bonds) out.emplace_back(cb.u_node, cb.v_node);
  return out;
}

bool same_edges(const std::vector<analysis::WeightedEdge>& a,
                const std::vector<analysis::WeightedEdge>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const analysis::WeightedEdge& x, const analysis::WeightedEdge& y) {
                      return x.u == y.u && x.v == y.v && x.weight == y.weight;
                    });
}

std::shared_ptr<const analysis::DeletionCounter> shared_decomposition(
    const analysis::OrbitalGraph& graph, const VifParams& params,
    analysis::SoftEdgeMethod method, analysis::LpiSignature& lpi) {
  if (method != analysis::SoftEdgeMethod::Update) return nullptr;
  auto counter = std::make_shared<const analysis::DeletionCounter>(
      analysis::make_deletion_counter(graph.n_nodes(), graph.edges, kZeroTolerance));
  lpi = analysis::compute_lpi(graph.n_nodes(), graph.edges, kZeroTolerance,
                             params.max_analysis_bytes);
  return counter;
}

}  // namespace korvane::vif
