// Certified LPI counts by sparse symmetric-indefinite LDL^T factorizations.
//
// By Sylvester's law of inertia, the number of eigenvalues of A above a shift s is the
// number of positive pivots of A - s I = L D L^T (D block diagonal with 1 x 1 and 2 x 2
// blocks), and the number below s that of negative ones. Orbital graphs are sparse and
// nearly trees (cliques of 1, 4 or 9 nodes joined by bond edges), so elimination in a
// minimum-degree order with Bunch-Kaufman (or rook) pivot tests costs close to O(N) per
// shift, against O(N^3) for an eigendecomposition. Only the counts come out, never the
// eigenvalues.
#pragma once
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"

namespace korvane::analysis {

// Inertia counts of the matrix of one weighted graph, with or without a few entries
// deleted. Counting runs at four shifts: tol -+ band (for n+) and -tol -+ band (for n-).
// Each factorization carries an a-posteriori bound on its backward error; a count is
// used only when that bound leaves room for the error of compute_lpi's solver inside
// the band and both shifts of a pair give the same count. Then the edited matrix has no
// eigenvalue near +-tol that either computation could misplace, and the counts are the
// ones compute_lpi gives. Otherwise the answer is nullopt and the caller decomposes.
//
// Const use is thread-safe (each thread factors in its own workspace).
class SparseInertiaCounter {
 public:
  // Validates the edges as adjacency_matrix does (std::out_of_range for a node outside
  // 0..n-1); an edge listed twice keeps its last weight. The counter is unusable (every
  // count uncertain) when a weight or the tolerance is not finite, the tolerance is not
  // positive, or the band would not fit well inside it.
  SparseInertiaCounter(int n_nodes, const std::vector<WeightedEdge>& edges,
                       double zero_tolerance);

  int n_nodes() const { return n_nodes_; }
  double zero_tolerance() const { return zero_tolerance_; }
  bool usable() const { return usable_; }
  double band() const { return band_; }

  // Counts of the matrix with the given entries (node pairs, either order; u == v for a
  // diagonal entry) set to 0, or nullopt when they are not certain. Pairs the matrix
  // does not hold change nothing. std::invalid_argument for a pair given twice or a node
  // outside the graph.
  std::optional<LpiCounts> counts(const std::vector<std::pair<int, int>>& deleted = {}) const;

  // The same counts by replaying the pivot order of the intact matrix's factorization
  // (made on construction) on flat arrays, about half the cost of choosing pivots anew
  // on drug-sized graphs: the nodes whose pivots the deletions spoil are set aside and factored
  // last, as a small dense block. nullopt where that is not certain; counts() then
  // factors with pivots of its own.
  std::optional<LpiCounts> replayed_counts(const std::vector<std::pair<int, int>>& deleted) const;

  // The counts of the edited matrix's exact eigenvalues, by Sylvester's law alone: the
  // same factorizations, with the shift pairs narrowed step by step from the band
  // towards +-tol and no room kept for compute_lpi's solver. A pair whose counts agree,
  // each factorization's error within the pair's distance from +-tol, brackets no
  // eigenvalue there, so the count at +-tol itself is certain. nullopt only when an
  // eigenvalue lies within about the factorizations' own error of +-tol (or the counter
  // is unusable). These are the counts compute_lpi gives wherever its solver is right.
  std::optional<LpiCounts> exact_counts(const std::vector<std::pair<int, int>>& deleted = {}) const;

  struct Plan;  // the recorded pivot order (sparse_inertia.cpp)

  // Pivot signs of one factorization of (A with `deleted` set to 0) - shift I, by
  // Bunch-Kaufman's or rook pivoting, and the bound on its backward error in the
  // 2-norm; nullopt when a pivot is exactly zero or a weight is not finite. Deleted
  // entries as for counts.
  struct Factorization {
    int positive = 0, negative = 0;
    double error_bound = 0.0;
  };
  std::optional<Factorization> factor(double shift, const std::vector<std::pair<int, int>>& deleted,
                                      bool rook = false) const;

 private:
  // A pair of shifts on either side of +tol and of -tol, `band` away, and the largest
  // factorization error a count at them admits.
  struct Window {
    double band, allowed;
  };
  std::optional<LpiCounts> replay(const std::vector<std::pair<int, int>>& deleted,
                                  const Window& window) const;
  std::optional<LpiCounts> counts_with(const std::vector<std::pair<int, int>>& deleted,
                                       bool rook, const Window& window) const;
  // Replay, then Bunch-Kaufman's and rook pivots of their own, at one window.
  std::optional<LpiCounts> counts_in(const std::vector<std::pair<int, int>>& deleted,
                                     const Window& window) const;
  std::optional<Factorization> factor_one(double shift,
                                          const std::vector<std::pair<int, int>>& deleted,
                                          bool rook) const;

  int n_nodes_ = 0;
  double zero_tolerance_ = 0.0;
  bool finite_ = true;  // every weight is finite
  bool usable_ = false;
  double band_ = 0.0;            // half-width of the shift pairs round +-tol
  double allowed_error_ = 0.0;   // largest factorization error a certified count admits
  // The matrix by rows: off-diagonal entries of row i at [row_start_[i], row_start_[i+1]),
  // ascending column; diagonal entries apart.
  std::vector<int> row_start_, column_;
  std::vector<double> value_, diagonal_;
  std::shared_ptr<const Plan> plan_;  // null when the intact matrix did not factor
  // Replays counts() tried and found certain so far: it stops replaying a graph where
  // they rarely are (long chains), and factors with pivots of its own at once.
  struct ReplayTally;
  std::shared_ptr<ReplayTally> replay_tally_;
};

}  // namespace korvane::analysis
