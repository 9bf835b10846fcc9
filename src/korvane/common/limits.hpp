// Memory budget of the dense analyses: what the orbital matrices of a molecule will take,
// checked before anything of that size is allocated.
#pragma once
#include <cstdint>
#include <stdexcept>

namespace korvane {

// The default budget, 4 GiB: a sixth of the 24 GiB machines korvane runs on, so that the
// interpreter, RDKit and the other processes of the machine keep their room.
inline constexpr std::uint64_t kDefaultMaxAnalysisBytes = std::uint64_t{4} << 30;

// Dense N x N matrices of doubles an analysis may hold at once: the adjacency matrix,
// the eigen-solver's working copy of it, and an eigenvector matrix for solvers that keep
// one. (The layout's N x N byte table of bonded atom pairs is far smaller than one.)
inline constexpr int kDenseMatricesPerAnalysis = 3;

// Thrown when an analysis would need more memory than its budget; the binding raises it
// as MemoryError.
class AnalysisTooLarge : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns the bytes of kDenseMatricesPerAnalysis dense matrices of doubles over n_nodes
// orbital nodes (0 for n_nodes <= 0), saturating at the largest std::uint64_t.
std::uint64_t dense_analysis_bytes(std::int64_t n_nodes);

// Throws AnalysisTooLarge, naming the node count, the bytes needed and the limit, when
// dense_analysis_bytes(n_nodes) exceeds max_bytes.
void require_analysis_budget(std::int64_t n_nodes, std::uint64_t max_bytes);

}  // namespace korvane
