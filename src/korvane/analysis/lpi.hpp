// Eigenvalue signature (LPI) of a weighted graph: counts of positive, zero and
// negative eigenvalues of its weighted adjacency matrix, the zero tolerance, the watch
// over counts near it, and the eigen-decompositions the other counters start from.
#pragma once
#include <cstdint>
#include <vector>

#include "korvane/common/limits.hpp"

namespace korvane::analysis {

struct WeightedEdge {
  int u = 0, v = 0;  // node ids, 0..n-1
  double weight = 1.0;
};

struct LpiCounts {
  int n_plus = 0, n_zero = 0, n_minus = 0;
  bool operator==(const LpiCounts& o) const {
    return n_plus == o.n_plus && n_zero == o.n_zero && n_minus == o.n_minus;
  }
  bool operator!=(const LpiCounts& o) const { return !(*this == o); }
};

struct LpiSignature {
  LpiCounts counts;
  std::vector<double> eigenvalues;  // ascending
};

// The zero tolerance of the analysis (absolute): the LPI, the soft bonds and the
// fragments count an eigenvalue of at most this magnitude as zero.
inline constexpr double kZeroTolerance = 1e-9;

// Throws std::invalid_argument unless the zero tolerance is a finite number >= 0 (named
// "tol", as every entry calls it): a NaN would count every eigenvalue as zero and a
// negative one contradicts the eigenvalues it counts.
void check_zero_tolerance(double zero_tolerance);

// Dense symmetric adjacency matrix, row-major n*n; an edge listed twice keeps its
// last weight, a self-loop sits on the diagonal.
std::vector<double> adjacency_matrix(int n_nodes, const std::vector<WeightedEdge>& edges);

// Counts an eigenvalue as zero when its magnitude is at most zero_tolerance
// (absolute, inclusive); eigenvalues ascending, from LAPACK's dsyevd of the whole
// adjacency matrix (values only, lower triangle), bit for bit those of
// numpy.linalg.eigvalsh on the same matrix with the same LAPACK. Throws
// AnalysisTooLarge, before anything is allocated, when the dense matrices of n_nodes
// nodes exceed max_bytes.
LpiSignature compute_lpi(int n_nodes, const std::vector<WeightedEdge>& edges,
                         double zero_tolerance = kZeroTolerance,
                         std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

// The three counts of a list of eigenvalues.
LpiCounts count_signs(const std::vector<double>& eigenvalues, double zero_tolerance);

// The upper bound max_i sum_j |A_ij| on ||A||_2 of a graph with valid edges; an edge
// listed twice counts twice, which only loosens it.
double row_sum_bound(int n_nodes, const std::vector<WeightedEdge>& edges);

// Whether every eigenvalue lies farther than twice the solver's error bound from +-tol,
// so that any backward-stable solve of the matrix, with its nodes numbered in any order,
// gives the same counts. The bound is kSolverBackwardErrorPerNode n u times the largest
// absolute row sum (error_bounds.hpp).
bool counts_clear_of_tolerance(const std::vector<double>& eigenvalues,
                               const std::vector<WeightedEdge>& edges, double zero_tolerance);

// While it lives, counts the compute_lpi calls made on this thread whose counts are not
// clear of the tolerance in that sense. Watches nest; each sees the calls made in its
// lifetime.
class ToleranceWatch {
 public:
  ToleranceWatch();
  ~ToleranceWatch();
  ToleranceWatch(const ToleranceWatch&) = delete;
  ToleranceWatch& operator=(const ToleranceWatch&) = delete;
  int unclear() const { return unclear_; }

 private:
  friend LpiSignature compute_lpi(int, const std::vector<WeightedEdge>&, double, std::uint64_t);
  ToleranceWatch* outer_;
  int unclear_ = 0;
};

// Eigenvalues and orthonormal eigenvectors of the adjacency matrix, from Eigen's
// symmetric solver (Householder tridiagonalisation, implicit QR), each connected
// component solved on its own: the same spectrum as compute_lpi's, to rounding.
struct SpectralDecomposition {
  int n_nodes = 0;
  std::vector<double> eigenvalues;  // ascending
  // Row-major n x n: vectors[i * n + k] is the component at node i of eigenvector k,
  // so the components of one node over all eigenvectors are contiguous.
  std::vector<double> vectors;
};

// Holds at most three dense n x n matrices at once: the adjacency matrix, the solver's
// working copy, and the node-major copy of the eigenvectors (made after the first is
// freed). Throws as adjacency_matrix does, std::runtime_error if the solver fails.
SpectralDecomposition decompose_adjacency(int n_nodes, const std::vector<WeightedEdge>& edges);

// Up to this order symmetric_eigenvalues keeps its matrices on the stack.
inline constexpr int kSmallOrder = 8;

// Ascending eigenvalues of a small dense symmetric matrix given row-major (n x n).
std::vector<double> symmetric_eigenvalues(int n, const std::vector<double>& matrix);

}  // namespace korvane::analysis
