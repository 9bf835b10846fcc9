// Certified LPI counts of a weighted graph with a few edges deleted, from one
// eigendecomposition of the intact adjacency matrix: a rank-r update whose inertia
// follows from Sylvester's law and the Haynsworth (Schur-complement) identity.
#pragma once
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"

namespace korvane::analysis {

// What certified counting needs of the intact matrix A, made once per graph.
//
// Counting runs at four shifts s: tol - band, tol + band (for n+) and -tol - band,
// -tol + band (for n-). With A = Q Lambda Q^T, the eigenvalues within `near_width` of a
// shift (the near set, k of them) are moved to c = 1 in B = A + Q_n (c - Lambda_n) Q_n^T,
// so that N = B - s is well conditioned, with the resolvent N^-1 = Q diag(1/(mu - s)) Q^T.
// The edited matrix is A' = A'_R + 0_I: the nodes I that the deletions leave without any
// entry split off as exact zeros. With X = [Q_n, U, E_I] (U: unit vectors at the ends of
// the other deleted entries, whose weights form C: w [[0, 1], [1, 0]] per off-diagonal
// entry, [w] per diagonal one; E_I: unit vectors at I), Sylvester's law and the
// Haynsworth identity on the bordered matrix [[N, X], [X^T, diag(C'^-1, 0)]] give
//   In(A'_R - s) = In(N) + In(W) - In(C'^-1) - (|I|, 0, |I|),
//   W = diag((c - Lambda_n)^-1, C^-1, 0) - X^T N^-1 X,   C' = diag(c - Lambda_n, C),
// W a small matrix whose near block is diag((lambda - s) / ((c - lambda)(c - s))): the
// small gaps stay in numerators, so no entry of W is amplified by them. A count is
// certain when W's inertia is beyond rounding and eigenvector error and both shifts of
// a pair give the same count: then A' has no eigenvalue within `band` of +-tol, far more
// than the backward error of this solver or of compute_lpi's, so the counts are the
// ones compute_lpi gives.
struct DeletionCounter {
  int n_nodes = 0;
  double zero_tolerance = 0.0;
  bool usable = false;        // false: every count is uncertain
  double band = 0.0;          // half-width of the shift pairs round +-tol
  double vector_error = 0.0;  // bound on || Q_computed - Q_orthogonal ||_2
  double near_width = 0.0;
  std::array<double, 4> shifts{};
  std::array<int, 4> n_above{}, n_below{};  // eigenvalues of B above / below each shift
  std::array<double, 4> max_inverse{};     // max 1 / |mu - shift| over B's eigenvalues
  SpectralDecomposition spectrum;
  std::vector<int> near;  // indices of the near eigenvalues
  // inverse_gaps[4 k + j] = 1 / (mu_k - shifts[j]), mu_k the k-th eigenvalue of B.
  std::vector<double> inverse_gaps;
  // Per node x and shift j, at [4 x + j]: sum_k q_xk^2 / d_k, sum_k q_xk^2 / |d_k| and
  // sum_k q_xk^2 / d_k^2 (d_k = mu_k - shifts[j]).
  std::vector<double> resolvent_diagonal, abs_diagonal, square_diagonal;
  // Their square roots (of abs_diagonal and square_diagonal), which every error bound
  // of an entry of W takes.
  std::vector<double> abs_root, square_root;
  // Matrix entries as adjacency_matrix builds them (smaller node first), and the number
  // of nonzero entries in each node's row.
  std::map<std::pair<int, int>, double> entries;
  std::vector<int> row_entries;
};

// Decomposes the adjacency matrix (decompose_adjacency) and prepares the shifts. The
// counter is unusable when a weight or the tolerance is not finite, the tolerance is not
// positive, or the error band would not fit well inside it.
DeletionCounter make_deletion_counter(int n_nodes, const std::vector<WeightedEdge>& edges,
                                      double zero_tolerance);

// The same from a decomposition already made by decompose_adjacency of these edges.
DeletionCounter make_deletion_counter(SpectralDecomposition spectrum,
                                      const std::vector<WeightedEdge>& edges,
                                      double zero_tolerance);

// std::invalid_argument for a node outside 0..n-1 or a matrix entry listed twice
// (either order) among the deleted ones.
void check_deleted_entries(int n_nodes, const std::vector<std::pair<int, int>>& deleted);

// Returns the LPI counts of the matrix with the given entries (node pairs, either
// order; u == v for a diagonal entry) set to 0, or nullopt when they are not certain.
// Pairs the matrix does not hold change nothing. std::invalid_argument for a pair given
// twice or a node outside the graph.
std::optional<LpiCounts> certified_counts(const DeletionCounter& counter,
                                          const std::vector<std::pair<int, int>>& deleted);

// Every resolvent entry sum_k q_ak q_bk / (mu_k - s) of a counter, at its four shifts:
// entries[4 (a n + b) + j]. One matrix product per shift, for the many edits tested
// against one graph, where each entry would otherwise be summed anew.
struct ResolventTable {
  int n_nodes = 0;
  std::vector<double> entries;
};

// The table of a usable counter (an empty one, of 0 nodes, otherwise).
ResolventTable make_resolvent_table(const DeletionCounter& counter);

// Certified counts of many edits that share a set of deleted entries: the matrix
// without `shared` and without one more entry each (the soft-bond test of a part of the
// graph, whose boundary entries are the shared set). W splits into the block P of the
// shared columns (with the near set) and the block of the further entry's columns. The
// block P is diagonalised once per shift, P = V Theta V^T; its eigenvalues well away
// from 0 are eliminated (a congruence), leaving a Schur complement of the rest and the
// entry's columns, a few rows only. The congruence multiplies the errors of W by at
// most (1 + ||Theta_b^-1 V_b^T B||)^2, which the certificate accounts for. Where that
// is not certain, where the entry shares a node with the shared set, or where the
// counter is unusable, the answer is certified_counts' of the whole set.
//
// Holds a reference to the counter, which must outlive it. Const use is thread-safe.
class SharedDeletionCounts {
 public:
  // `table`, when given, is the counter's resolvent table and must outlive this object.
  SharedDeletionCounts(const DeletionCounter& counter, std::vector<std::pair<int, int>> shared,
                       const ResolventTable* table = nullptr);
  ~SharedDeletionCounts();
  SharedDeletionCounts(const SharedDeletionCounts&) = delete;
  SharedDeletionCounts& operator=(const SharedDeletionCounts&) = delete;

  // certified_counts(counter, shared + {(u, v)}), by the Schur complement where it is
  // certain (then *reduced is set true, when given); std::invalid_argument as
  // certified_counts throws it.
  std::optional<LpiCounts> counts_with(int u, int v, bool* reduced = nullptr) const;

  // certified_counts(counter, shared), from the same eigenvalues of P.
  const std::optional<LpiCounts>& shared_counts() const { return shared_counts_; }

 private:
  struct Reduction;  // per shift: the eigendecomposition of P (inertia.cpp)
  std::optional<LpiCounts> fallback(int u, int v) const;

  const DeletionCounter& counter_;
  const ResolventTable* table_;
  std::vector<std::pair<int, int>> shared_;
  std::unique_ptr<Reduction> reduction_;  // null when no reduction is possible
  std::optional<LpiCounts> shared_counts_;
};

}  // namespace korvane::analysis
