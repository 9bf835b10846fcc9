// Numerics that the analysis's counts share: the unit round-off, the error factors of
// the dense eigen-solver, the checks that every edge names a node of the graph and has
// a finite weight, and the certification of counts taken at two shifts round +-tol.
#pragma once
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvane/analysis/lpi.hpp"  // WeightedEdge
#include "korvane/common/numeric.hpp"  // python_float_repr

namespace korvane::analysis {

inline constexpr double kUnitRoundoff = std::numeric_limits<double>::epsilon() / 2;

// Backward stability of Householder tridiagonalisation with implicit QR: the computed
// eigenvalues and eigenvectors are exact for A + E with an exactly orthogonal Q, where
// ||E||_2 <= p(n) u ||A||_2 and ||Q - Q_computed||_2 <= p(n) u. We take p(n) = 16 n, about
// fifty times what Eigen's solver reaches on orbital graphs of 500 to 1200 nodes
// (orthogonality 3e-14, residual 2e-14 at n = 956); the bound then still sits two orders
// below the default zero tolerance up to several thousand nodes.
inline constexpr double kSolverBackwardErrorPerNode = 16.0;

// Error of compute_lpi's eigenvalues, per node and unit of u ||A||: its eigenvalues
// differ from LAPACK's by at most 0.1 n u ||A|| on orbital graphs of 600 to 2400 nodes;
// 4 n u ||A|| leaves a margin of forty.
inline constexpr double kSolverEigenvalueErrorPerNode = 4.0;

// True when both ends u, v are nodes 0..n_nodes-1.
inline bool ends_in_range(int n_nodes, int u, int v) {
  return u >= 0 && v >= 0 && u < n_nodes && v < n_nodes;
}

// Throws std::invalid_argument for a negative node count and std::out_of_range for an
// edge that names a node outside 0..n_nodes-1.
inline void check_edges(int n_nodes, const std::vector<WeightedEdge>& edges) {
  if (n_nodes < 0) throw std::invalid_argument("node count must not be negative");
  for (const auto& e : edges)
    if (!ends_in_range(n_nodes, e.u, e.v))
      throw std::out_of_range("edge (" + std::to_string(e.u) + ", " + std::to_string(e.v) +
                              ") names a node outside 0.." + std::to_string(n_nodes - 1));
}

// Throws std::invalid_argument for a weight that is not a finite number: the dense solver
// cannot decompose such a matrix (the sparse counter only declines to count it).
inline void check_edge_weights(const std::vector<WeightedEdge>& edges) {
  for (const auto& e : edges)
    if (!std::isfinite(e.weight))
      throw std::invalid_argument("the weight of edge (" + std::to_string(e.u) + ", " +
                                  std::to_string(e.v) + ") must be a finite number, got " +
                                  python_float_repr(e.weight));
}

// The counts of a matrix of order n_nodes from how many of its eigenvalues lie above
// the shifts tol - band and tol + band (`above`) and below -tol - band and -tol + band
// (`below`). Returns nullopt unless both shifts of each pair give the same count: only
// then does no eigenvalue lie within the band round +tol (resp. -tol), where the count
// could have put it on the wrong side.
inline std::optional<LpiCounts> counts_if_shifts_agree(int n_nodes, std::array<int, 2> above,
                                                       std::array<int, 2> below) {
  if (above[0] != above[1] || below[0] != below[1]) return std::nullopt;
  return LpiCounts{above[0], n_nodes - above[0] - below[0], below[0]};
}

}  // namespace korvane::analysis
