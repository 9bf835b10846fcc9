// The LPI of a weighted graph: its adjacency matrix, the eigenvalues part by part, and
// the signs counted against the zero tolerance.
#include "korvane/analysis/lpi.hpp"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "korvane/analysis/error_bounds.hpp"
#include "korvane/common/helper_threads.hpp"
#include "korvane/common/numeric.hpp"  // python_float_repr

// LAPACK's symmetric eigen-solver (divide and conquer), from the system's LAPACK, the
// library NumPy's linalg is linked with. The trailing lengths are those of the two
// character arguments, which gfortran passes after the others.
extern "C" void dsyevd_(const char* jobz, const char* uplo, const int* n, double* a,
                        const int* lda, double* w, double* work, const int* lwork, int* iwork,
                        const int* liwork, int* info, std::size_t jobz_len,
                        std::size_t uplo_len);

namespace korvane::analysis {
namespace {

// From this order on, a dense solve takes long enough (tens of milliseconds for the
// eigenvalues, a tenth of a second with eigenvectors) to run where Ctrl-C can leave it.
constexpr int kInterruptibleSolveNodes = 300;

thread_local ToleranceWatch* t_watch = nullptr;  // the innermost watch of this thread

// The connected components of a graph whose edges are valid: an edge of any weight
// joins its nodes. Each component lists its nodes ascending; the components come in
// the order of their smallest nodes.
struct Components {
  std::vector<std::vector<int>> nodes;
  std::vector<int> of;     // component of each node
  std::vector<int> local;  // position of each node in its component
};

Components connected_components(int n_nodes, const std::vector<WeightedEdge>& edges) {
  const auto n = static_cast<std::size_t>(n_nodes);
  std::vector<int> parent(n);
  for (std::size_t i = 0; i < n; ++i) parent[i] = static_cast<int>(i);
  const auto root = [&parent](int x) {
    while (parent[static_cast<std::size_t>(x)] != x) {
      auto& p = parent[static_cast<std::size_t>(x)];
      p = parent[static_cast<std::size_t>(p)];  // path halving
      x = p;
    }
    return x;
  };
  for (const auto& e : edges) {
    const int a = root(e.u), b = root(e.v);
    if (a != b) parent[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
  }
  Components c;
  c.of.assign(n, -1);
  c.local.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto r = static_cast<std::size_t>(root(static_cast<int>(i)));
    if (c.of[r] < 0) {  // the root is the smallest node of its component
      c.of[r] = static_cast<int>(c.nodes.size());
      c.nodes.emplace_back();
    }
    c.of[i] = c.of[r];
    auto& members = c.nodes[static_cast<std::size_t>(c.of[i])];
    c.local[i] = static_cast<int>(members.size());
    members.push_back(static_cast<int>(i));
  }
  return c;
}

// The dense row-major matrices of the components, in their local numbering; an edge
// listed twice keeps its last weight, as in adjacency_matrix.
std::vector<std::vector<double>> component_matrices(const Components& c,
                                                    const std::vector<WeightedEdge>& edges) {
  std::vector<std::vector<double>> out(c.nodes.size());
  for (std::size_t k = 0; k < out.size(); ++k)
    out[k].assign(c.nodes[k].size() * c.nodes[k].size(), 0.0);
  for (const auto& e : edges) {
    const auto k = static_cast<std::size_t>(c.of[static_cast<std::size_t>(e.u)]);
    const auto s = c.nodes[k].size();
    const auto i = static_cast<std::size_t>(c.local[static_cast<std::size_t>(e.u)]);
    const auto j = static_cast<std::size_t>(c.local[static_cast<std::size_t>(e.v)]);
    out[k][i * s + j] = e.weight;
    out[k][j * s + i] = e.weight;
  }
  return out;
}

using RowMajorMap =
    Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;

// Eigenvalues (ascending) and, when asked, eigenvectors of one dense symmetric matrix;
// the matrix is freed before the eigenvectors are copied out, node-major.
SpectralDecomposition solve_dense(int n, std::vector<double> a, bool vectors) {
  SpectralDecomposition d;
  d.n_nodes = n;
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver;
  {
    const RowMajorMap m(a.data(), n, n);
    solver.compute(m, vectors ? Eigen::ComputeEigenvectors : Eigen::EigenvaluesOnly);
    std::vector<double>().swap(a);
  }
  if (solver.info() != Eigen::Success)
    throw std::runtime_error("the symmetric eigen-solver did not converge");
  const auto& ev = solver.eigenvalues();
  d.eigenvalues.assign(ev.data(), ev.data() + ev.size());
  if (vectors) {
    // Eigen stores the eigenvectors column by column; the transpose in that storage
    // order is the node-major layout.
    d.vectors.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
    Eigen::Map<Eigen::MatrixXd>(d.vectors.data(), n, n) = solver.eigenvectors().transpose();
  }
  return d;
}

// The spectrum of a graph with valid edges. Its matrix is block diagonal over the
// connected components (the pi bonds of an orbital graph are components of two nodes),
// so each component is solved on its own, at a fraction of the cubic cost; the union
// of their eigenpairs, sorted by eigenvalue, is the spectrum of the whole matrix, and
// the error of each solve is bounded by its order, below the whole matrix's. A
// connected graph is solved as one matrix.
SpectralDecomposition solve_graph(int n_nodes, const std::vector<WeightedEdge>& edges,
                                  bool vectors) {
  const Components c = connected_components(n_nodes, edges);
  if (c.nodes.size() == 1) return solve_dense(n_nodes, adjacency_matrix(n_nodes, edges), vectors);
  auto matrices = component_matrices(c, edges);
  struct Pair {
    double value;
    int component, index;
  };
  std::vector<Pair> order;
  order.reserve(static_cast<std::size_t>(n_nodes));
  std::vector<SpectralDecomposition> parts(c.nodes.size());
  for (std::size_t k = 0; k < parts.size(); ++k) {
    const int s = static_cast<int>(c.nodes[k].size());
    if (s == 1) {  // a lone node: its diagonal entry, with the unit vector
      parts[k].n_nodes = 1;
      parts[k].eigenvalues = {matrices[k][0]};
      if (vectors) parts[k].vectors = {1.0};
    } else {
      parts[k] = solve_dense(s, std::move(matrices[k]), vectors);
    }
    for (int i = 0; i < s; ++i)
      order.push_back({parts[k].eigenvalues[static_cast<std::size_t>(i)], static_cast<int>(k), i});
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const Pair& a, const Pair& b) { return a.value < b.value; });
  SpectralDecomposition d;
  d.n_nodes = n_nodes;
  d.eigenvalues.reserve(order.size());
  for (const auto& p : order) d.eigenvalues.push_back(p.value);
  if (vectors) {
    const auto n = static_cast<std::size_t>(n_nodes);
    d.vectors.assign(n * n, 0.0);
    for (std::size_t col = 0; col < order.size(); ++col) {
      const auto k = static_cast<std::size_t>(order[col].component);
      const auto& members = c.nodes[k];
      const auto s = members.size();
      const auto idx = static_cast<std::size_t>(order[col].index);
      for (std::size_t i = 0; i < s; ++i)
        d.vectors[static_cast<std::size_t>(members[i]) * n + col] = parts[k].vectors[i * s + idx];
    }
  }
  return d;
}

// Ascending eigenvalues of a dense symmetric matrix (n x n, symmetric, so its row-major
// and column-major storage agree), as numpy.linalg.eigvalsh computes them: dsyevd with
// values only from the lower triangle, its workspace sized by LAPACK's own query. The
// same library on the same matrix and workspace gives the same bits.
std::vector<double> lapack_eigenvalues(int n, std::vector<double> a) {
  const char jobz = 'N', uplo = 'L';
  const int lda = std::max(n, 1);
  std::vector<double> w(static_cast<std::size_t>(n));
  int info = 0, lwork = -1, liwork = -1, iwork_size = 0;
  double work_size = 0.0;
  dsyevd_(&jobz, &uplo, &n, a.data(), &lda, w.data(), &work_size, &lwork, &iwork_size, &liwork,
          &info, 1, 1);
  if (info != 0) throw std::runtime_error("LAPACK's workspace query for dsyevd failed");
  lwork = static_cast<int>(work_size);
  liwork = iwork_size;
  std::vector<double> work(static_cast<std::size_t>(std::max(lwork, 1)));
  std::vector<int> iwork(static_cast<std::size_t>(std::max(liwork, 1)));
  dsyevd_(&jobz, &uplo, &n, a.data(), &lda, w.data(), work.data(), &lwork, iwork.data(), &liwork,
          &info, 1, 1);
  if (info != 0) throw std::runtime_error("the symmetric eigen-solver did not converge");
  return w;
}

}  // namespace

void check_zero_tolerance(double zero_tolerance) {
  if (!(std::isfinite(zero_tolerance) && zero_tolerance >= 0.0))
    throw std::invalid_argument("tol must be a finite number >= 0, got " +
                                python_float_repr(zero_tolerance));
}

std::vector<double> adjacency_matrix(int n_nodes, const std::vector<WeightedEdge>& edges) {
  check_edges(n_nodes, edges);
  check_edge_weights(edges);
  const auto n = static_cast<std::size_t>(n_nodes);
  std::vector<double> a(n * n, 0.0);
  for (const auto& e : edges) {
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
                         double zero_tolerance, std::uint64_t max_bytes) {
  require_analysis_budget(n_nodes, max_bytes);
  check_zero_tolerance(zero_tolerance);
  LpiSignature sig;
  if (n_nodes == 0) return sig;
  check_edges(n_nodes, edges);
  check_edge_weights(edges);
  // The eigen-solver calls of the library live in this file; this one takes the
  // eigenvalues only (ascending) of the whole matrix from LAPACK, so that they are
  // NumPy's eigvalsh of the same matrix to the bit. The system's reference LAPACK and
  // BLAS are single-threaded, so the result does not vary from run to run.
  auto solve = [n_nodes, edges] {
    return lapack_eigenvalues(n_nodes, adjacency_matrix(n_nodes, edges));
  };
  sig.eigenvalues =
      n_nodes >= kInterruptibleSolveNodes ? run_interruptible(std::move(solve)) : solve();
  sig.counts = count_signs(sig.eigenvalues, zero_tolerance);
  if (t_watch != nullptr && !counts_clear_of_tolerance(sig.eigenvalues, edges, zero_tolerance))
    for (ToleranceWatch* w = t_watch; w != nullptr; w = w->outer_) ++w->unclear_;
  return sig;
}

double row_sum_bound(int n_nodes, const std::vector<WeightedEdge>& edges) {
  std::vector<double> rows(static_cast<std::size_t>(n_nodes), 0.0);
  for (const auto& e : edges) {
    rows[static_cast<std::size_t>(e.u)] += std::abs(e.weight);
    if (e.v != e.u) rows[static_cast<std::size_t>(e.v)] += std::abs(e.weight);
  }
  return rows.empty() ? 0.0 : *std::max_element(rows.begin(), rows.end());
}

bool counts_clear_of_tolerance(const std::vector<double>& eigenvalues,
                               const std::vector<WeightedEdge>& edges, double zero_tolerance) {
  const auto n = static_cast<int>(eigenvalues.size());
  for (const auto& e : edges)
    if (!ends_in_range(n, e.u, e.v)) return false;
  const double norm = row_sum_bound(n, edges);
  const double margin = 2.0 * kSolverBackwardErrorPerNode *
                        static_cast<double>(eigenvalues.size()) * kUnitRoundoff * norm;
  if (!std::isfinite(margin) || !std::isfinite(zero_tolerance)) return false;
  for (double lam : eigenvalues)
    if (!(std::abs(lam - zero_tolerance) > margin && std::abs(lam + zero_tolerance) > margin))
      return false;
  return true;
}

ToleranceWatch::ToleranceWatch() : outer_(t_watch) { t_watch = this; }

ToleranceWatch::~ToleranceWatch() { t_watch = outer_; }

SpectralDecomposition decompose_adjacency(int n_nodes, const std::vector<WeightedEdge>& edges) {
  check_edges(n_nodes, edges);
  check_edge_weights(edges);
  if (n_nodes == 0) return {};
  auto solve = [n_nodes, edges] { return solve_graph(n_nodes, edges, true); };
  return n_nodes >= kInterruptibleSolveNodes ? run_interruptible(std::move(solve)) : solve();
}

std::vector<double> symmetric_eigenvalues(int n, const std::vector<double>& matrix) {
  if (n < 0 || matrix.size() != static_cast<std::size_t>(n) * static_cast<std::size_t>(n))
    throw std::invalid_argument("a symmetric matrix of order n needs n * n entries");
  if (n == 0) return {};
  const RowMajorMap m(matrix.data(), n, n);
  const auto values = [](const auto& solver) {
    if (solver.info() != Eigen::Success)
      throw std::runtime_error("the symmetric eigen-solver did not converge");
    const auto& ev = solver.eigenvalues();
    return std::vector<double>(ev.data(), ev.data() + ev.size());
  };
  if (n <= kSmallOrder) {  // on the stack: the many small matrices of certified counting
    using Small = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kSmallOrder, kSmallOrder>;
    return values(Eigen::SelfAdjointEigenSolver<Small>(Small(m), Eigen::EigenvaluesOnly));
  }
  return values(Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(m, Eigen::EigenvaluesOnly));
}

}  // namespace korvane::analysis
