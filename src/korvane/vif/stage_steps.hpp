// Steps that the stage pipeline and the topology work run beside the layout both take:
// the zero tolerance, the stage clock, the soft-bond candidates,
// and the decomposition that the soft-bond and fragment tests share.
#pragma once
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "korvane/analysis/inertia.hpp"
#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/vif/vif_run.hpp"

namespace korvane::vif {

using analysis::kZeroTolerance;  // of the LPI, the soft bonds and the fragments

// Times consecutive stages: lap() returns the seconds since the previous lap.
class StageClock {
 public:
  double lap() {
    const auto now = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return s;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The soft-bond test's candidates: the node pair of every chemical-bond record.
std::vector<std::pair<int, int>> bond_candidates(const analysis::OrbitalGraph& graph);

// Whether two edge lists are the same, entry by entry: the same matrix.
bool same_edges(const std::vector<analysis::WeightedEdge>& a,
                const std::vector<analysis::WeightedEdge>& b);

// When the soft-bond test will take its counts from one decomposition with
// eigenvectors, that decomposition (which recursive fragmentation then shares), and the
// LPI beside it from compute_lpi, whose eigenvalues are NumPy's. Otherwise null:
// recursive fragmentation makes the decomposition itself if its fragments need it.
std::shared_ptr<const analysis::DeletionCounter> shared_decomposition(
    const analysis::OrbitalGraph& graph, const VifParams& params,
    analysis::SoftEdgeMethod method, analysis::LpiSignature& lpi);

}  // namespace korvane::vif
