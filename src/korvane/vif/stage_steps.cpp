// The steps shared by the stage pipeline and the topology work beside the layout.
#include "korvane/vif/stage_steps.hpp"

namespace korvane::vif {

std::vector<std::pair<int, int>> bond_candidates(const analysis::OrbitalGraph& graph) {
  std::vector<std::pair<int, int>> out;
  out.reserve(graph.chem_bonds.size());
  for (const auto& cb : graph.chem_bonds) out.emplace_back(cb.u_node, cb.v_node);
  return out;
}

analysis::GraphParams graph_params(const VifParams& params) {
  analysis::GraphParams gp;
  gp.target_bond_len = params.target_bond_len;
  gp.radius_ratio = params.radius_ratio;
  gp.bond_kappa = params.bond_kappa;
  return gp;
}

std::shared_ptr<const analysis::DeletionCounter> shared_decomposition(
    const analysis::OrbitalGraph& graph, const VifParams& params,
    analysis::SoftEdgeMethod method, analysis::LpiSignature& lpi) {
  if (!(params.recursive_ms && params.max_generations > 0) &&
      method != analysis::SoftEdgeMethod::Update)
    return nullptr;
  auto counter = std::make_shared<const analysis::DeletionCounter>(
      analysis::make_deletion_counter(graph.n_nodes(), graph.edges, kZeroTolerance));
  lpi.eigenvalues = counter->spectrum.eigenvalues;
  lpi.counts = analysis::count_signs(lpi.eigenvalues, kZeroTolerance);
  return counter;
}

}  // namespace korvane::vif
