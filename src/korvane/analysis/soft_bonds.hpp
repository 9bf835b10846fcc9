// Soft bonds: bond edges whose removal leaves the LPI of the graph unchanged.
#pragma once
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"

namespace korvane::analysis {

struct DeletionCounter;  // inertia.hpp

enum class SoftTest : char { Absent, Essential, Soft };

// How the counts of each edited matrix are found. Direct: one eigenvalue decomposition
// per candidate (compute_lpi). Update: one decomposition with eigenvectors of the intact
// matrix, then a certified rank-2 update per candidate, falling back to Factor and then
// to Direct for a candidate whose update is not certain. Factor: certified sparse LDL^T
// factorizations per candidate (sparse_inertia.hpp), falling back to Direct. Auto: the
// one soft_edge_method chooses. All give the same verdicts.
enum class SoftEdgeMethod : char { Auto, Update, Factor, Direct };

// What a test did, for benchmarks and tests.
struct SoftEdgeStats {
  int tested = 0;            // candidates whose edge is in the graph
  int fallbacks = 0;         // of those, settled by a direct decomposition
  int factored = 0;          // of those, left uncertain by the update and settled by
                             // sparse factorizations
  int exact = 0;             // of those, settled by the exact inertia of sparse
                             // factorizations (SparseInertiaCounter::exact_counts)
  bool decomposed = false;   // the intact matrix was decomposed with eigenvectors
  bool baseline_direct = false;  // own-baseline tests: the baseline came from compute_lpi
  // The baseline compared with; in SoftEdgeContext::detect_in_part only when it came
  // from compute_lpi (the certified path compares counts of the split whole graph).
  LpiCounts baseline;
};

// Tests each candidate node pair in order against the intact graph: Absent when the
// graph has no such edge, Soft when deleting it (every listed copy of it) leaves
// `baseline` unchanged. Verdicts are those of detect_soft_edges_direct. A `counter`
// made of the same graph at the same tolerance spares the update its own
// decomposition (std::invalid_argument when its order or tolerance differ).
// Every test here throws AnalysisTooLarge, before anything is allocated, when the dense
// matrices of n_nodes nodes exceed max_bytes.
std::vector<SoftTest> detect_soft_edges(int n_nodes, const std::vector<WeightedEdge>& edges,
                                        const std::vector<std::pair<int, int>>& candidates,
                                        const LpiCounts& baseline, double zero_tolerance = kZeroTolerance,
                                        SoftEdgeStats* stats = nullptr,
                                        const DeletionCounter* counter = nullptr,
                                        std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

// The method Auto takes for a graph of this many nodes with this many present
// candidates: Direct for a handful, Update for small graphs, Factor for large ones. When
// it is Update, a decomposition with eigenvectors made beforehand will be used.
SoftEdgeMethod soft_edge_method(int n_nodes, int present_candidates);

// The same test by the rank-2 update (or the given fast method) whatever the number of
// candidates.
std::vector<SoftTest> detect_soft_edges_fast(int n_nodes, const std::vector<WeightedEdge>& edges,
                                             const std::vector<std::pair<int, int>>& candidates,
                                             const LpiCounts& baseline,
                                             double zero_tolerance = kZeroTolerance,
                                             SoftEdgeStats* stats = nullptr,
                                             SoftEdgeMethod method = SoftEdgeMethod::Update,
                                             std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

// The same test by definition: one compute_lpi per candidate.
std::vector<SoftTest> detect_soft_edges_direct(int n_nodes, const std::vector<WeightedEdge>& edges,
                                               const std::vector<std::pair<int, int>>& candidates,
                                               const LpiCounts& baseline,
                                               double zero_tolerance = kZeroTolerance,
                                               std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

// The same test against the graph's own LPI, which comes from the decomposition the
// update uses when its counts are certain and from compute_lpi otherwise (also when no
// candidate is present).
std::vector<SoftTest> detect_soft_edges_own_lpi(int n_nodes, const std::vector<WeightedEdge>& edges,
                                                const std::vector<std::pair<int, int>>& candidates,
                                                double zero_tolerance = kZeroTolerance,
                                                SoftEdgeMethod method = SoftEdgeMethod::Auto,
                                                SoftEdgeStats* stats = nullptr,
                                                std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

// One decomposition of a whole graph (made on construction; const use is thread-safe),
// shared by the soft-bond tests of its parts: the
// part induced by a node set is the whole graph with the edges leaving the set deleted
// (its matrix is then block diagonal), and a bond inside the part is soft in the part
// exactly when deleting it leaves the counts of that block-diagonal matrix unchanged.
class SoftEdgeContext {
 public:
  // Throws AnalysisTooLarge when the whole graph's dense matrices exceed max_bytes; the
  // parts' own tests keep to the same budget.
  SoftEdgeContext(int n_nodes, std::vector<WeightedEdge> edges, double zero_tolerance = kZeroTolerance,
                  std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);
  // With the decomposition already made (make_deletion_counter of the same graph).
  SoftEdgeContext(std::vector<WeightedEdge> edges, std::shared_ptr<const DeletionCounter> counter,
                  std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);
  ~SoftEdgeContext();
  SoftEdgeContext(const SoftEdgeContext&) = delete;
  SoftEdgeContext& operator=(const SoftEdgeContext&) = delete;

  int n_nodes() const { return n_nodes_; }
  const std::vector<WeightedEdge>& edges() const { return edges_; }
  double zero_tolerance() const { return zero_tolerance_; }

  // Tests the candidates (node ids of the whole graph) inside the part induced by
  // `part_nodes` (ascending, distinct), against the part's own LPI: the verdicts of
  // detect_soft_edges_own_lpi on the induced subgraph. A candidate with a node outside
  // the part is Absent.
  std::vector<SoftTest> detect_in_part(const std::vector<int>& part_nodes,
                                       const std::vector<std::pair<int, int>>& candidates,
                                       SoftEdgeStats* stats = nullptr) const;

 private:
  struct Spectrum;
  int n_nodes_;
  std::vector<WeightedEdge> edges_;
  double zero_tolerance_;
  std::uint64_t max_bytes_;
  std::unique_ptr<Spectrum> spectrum_;  // the decomposition, made by the constructor
};

}  // namespace korvane::analysis
