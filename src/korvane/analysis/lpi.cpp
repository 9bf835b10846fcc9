#include "korvane/analysis/lpi.hpp"

#include <Eigen/Eigenvalues>
#include <stdexcept>
#include <string>
#include <utility>

#include "korvane/common/interrupt.hpp"

namespace korvane::analysis {
namespace {

// From this order on, a dense solve takes long enough (tens of milliseconds for the
// eigenvalues, a tenth of a second with eigenvectors) to run where Ctrl-C can leave it.
constexpr int kInterruptibleSolveNodes = 300;

}  // namespace

std::vector<double> adjacency_matrix(int n_nodes, const std::vector<WeightedEdge>& edges) {
  if (n_nodes < 0) throw std::invalid_argument("node count must not be negative");
  const auto n = static_cast<std::size_t>(n_nodes);
  std::vector<double> a(n * n, 0.0);
  for (const auto& e : edges) {
    if (e.u < 0 || e.v < 0 || e.u >= n_nodes || e.v >= n_nodes)
      throw std::out_of_range("edge (" + std::to_string(e.u) + ", " + std::to_string(e.v) +
                              ") names a node outside 0.." + std::to_string(n_nodes - 1));
    a[static_cast<std::size_t>(e.u) * n + static_cast<std::size_t>(e.v)] = e.weight;
    a[static_cast<std::size_t>(e.v) * n + static_cast<std::size_t>(e.u)] = e.weight;
  }
  return a;
}

LpiCounts count_signs(const std::vector<double>& eigenvalues, double zero_tolerance) {
  LpiCounts c;
  for (double lam : eigenvalues) {
    if (lam > zero_tolerance)
      ++c.n_plus;
    else if (lam < -zero_tolerance)
      ++c.n_minus;
    else
      ++c.n_zero;  // |lam| <= tol (NaN would land here too; the matrix is finite)
  }
  return c;
}

LpiSignature compute_lpi(int n_nodes, const std::vector<WeightedEdge>& edges,
                         double zero_tolerance) {
  LpiSignature sig;
  if (n_nodes == 0) return sig;
  // The eigen-solver calls of the library live in this file; this one takes the
  // eigenvalues only (ascending), from symmetric_eigenvalues. Eigen's self-adjoint solver
  // is deterministic for a given input and build, unlike a threaded BLAS whose reduction
  // order can vary.
  auto solve = [n_nodes, a = adjacency_matrix(n_nodes, edges)] {
    return symmetric_eigenvalues(n_nodes, a);
  };
  sig.eigenvalues =
      n_nodes >= kInterruptibleSolveNodes ? run_interruptible(std::move(solve)) : solve();
  sig.counts = count_signs(sig.eigenvalues, zero_tolerance);
  return sig;
}

SpectralDecomposition decompose_adjacency(int n_nodes, const std::vector<WeightedEdge>& edges) {
  SpectralDecomposition d;
  d.n_nodes = n_nodes;
  if (n_nodes == 0) {
    if (!edges.empty()) adjacency_matrix(n_nodes, edges);  // reports the stray edge
    return d;
  }
  auto solve = [n_nodes, d, a = adjacency_matrix(n_nodes, edges)]() mutable {
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver;
    {
      Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>> m(
          a.data(), n_nodes, n_nodes);
      solver.compute(m, Eigen::ComputeEigenvectors);
      std::vector<double>().swap(a);  // freed before the eigenvectors are copied
    }
    if (solver.info() != Eigen::Success)
      throw std::runtime_error("the symmetric eigen-solver did not converge");
    const auto& ev = solver.eigenvalues();
    d.eigenvalues.assign(ev.data(), ev.data() + ev.size());
    // Eigen stores the eigenvectors column by column; the transpose in that storage
    // order is the node-major layout.
    const auto n = static_cast<std::size_t>(n_nodes);
    d.vectors.resize(n * n);
    Eigen::Map<Eigen::MatrixXd>(d.vectors.data(), n_nodes, n_nodes) =
        solver.eigenvectors().transpose();
    return std::move(d);
  };
  return n_nodes >= kInterruptibleSolveNodes ? run_interruptible(std::move(solve)) : solve();
}

std::vector<double> symmetric_eigenvalues(int n, const std::vector<double>& matrix) {
  if (n < 0 || matrix.size() != static_cast<std::size_t>(n) * static_cast<std::size_t>(n))
    throw std::invalid_argument("a symmetric matrix of order n needs n * n entries");
  if (n == 0) return {};
  Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>> m(
      matrix.data(), n, n);
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(m, Eigen::EigenvaluesOnly);
  if (solver.info() != Eigen::Success)
    throw std::runtime_error("the symmetric eigen-solver did not converge");
  const auto& ev = solver.eigenvalues();
  return {ev.data(), ev.data() + ev.size()};
}

}  // namespace korvane::analysis
