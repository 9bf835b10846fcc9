// Certified LPI counts after edge deletions from one eigendecomposition of the intact
// matrix (the low-rank update and its Schur complement), and the counter that chooses it.
#include "korvane/analysis/inertia.hpp"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "korvane/analysis/error_bounds.hpp"

namespace korvane::analysis {

namespace {

// Eigenvalues closer than this fraction of ||A|| to a shift go to the near set, at most
// kMaxNear of them (the nearest); the others' gaps bound the amplification of errors.
constexpr double kNearFraction = 0.005;
constexpr std::size_t kMaxNear = 48;

// Where the near eigenvalues are moved: away from every shift and from them.
constexpr double kMovedEigenvalue = 1.0;

// Rounding bound gamma_m = m u / (1 - m u) of a sum of m products (Higham, ch. 3).
double gamma_bound(int m) {
  const double mu = m * kUnitRoundoff;
  return mu / (1.0 - mu);
}

struct Inertia {
  int plus = 0, minus = 0;
};

// Inertia of a small symmetric matrix (row-major r x r) known only to within `error` in
// the 2-norm; nullopt when an eigenvalue is too close to 0 to tell its sign.
// `eigenvalues`, when given for r > 2, are those symmetric_eigenvalues would compute.
std::optional<Inertia> certain_inertia(int r, const std::vector<double>& s, double error,
                                       const double* eigenvalues = nullptr) {
  double frobenius = 0.0;
  for (double x : s) frobenius += x * x;
  frobenius = std::sqrt(frobenius);
  if (!std::isfinite(frobenius) || !std::isfinite(error)) return std::nullopt;
  thread_local std::vector<double> mu;  // reused: this runs once per tested edit
  if (r == 1) {
    mu.assign(1, s[0]);
  } else if (r == 2) {
    const double m = 0.5 * (s[0] + s[3]), h = 0.5 * (s[0] - s[3]);
    const double rad = std::hypot(h, s[1]);
    mu.assign({m - rad, m + rad});
  } else if (eigenvalues != nullptr) {
    mu.assign(eigenvalues, eigenvalues + r);
  } else {
    mu = symmetric_eigenvalues(r, s);
  }
  // The computed eigenvalues are exact for a matrix within a few r u ||S|| of S.
  const double margin = error + kSolverBackwardErrorPerNode * r * kUnitRoundoff * frobenius;
  Inertia in;
  for (double x : mu) {
    if (!(std::abs(x) > margin)) return std::nullopt;
    (x > 0 ? in.plus : in.minus)++;
  }
  return in;
}

// Sum_k q_ak q_bk / (mu_k - s) at the four shifts: the resolvent entry of nodes a, b.
std::array<double, 4> resolvent_entry(const DeletionCounter& c, std::size_t a, std::size_t b) {
  std::array<double, 4> sum{};
  if (a == b) {
    for (std::size_t j = 0; j < 4; ++j) sum[j] = c.resolvent_diagonal[4 * a + j];
    return sum;
  }
  const auto n = static_cast<std::size_t>(c.n_nodes);
  const double* qa = c.spectrum.vectors.data() + a * n;
  const double* qb = c.spectrum.vectors.data() + b * n;
  const double* inv = c.inverse_gaps.data();
  for (std::size_t k = 0; k < n; ++k) {
    const double p = qa[k] * qb[k];
    sum[0] += p * inv[4 * k];
    sum[1] += p * inv[4 * k + 1];
    sum[2] += p * inv[4 * k + 2];
    sum[3] += p * inv[4 * k + 3];
  }
  return sum;
}

// Error bound of a node-block entry cinv - g of W at shift j (nodes a, b): rounding of
// the sum (|q_a q_b| / |d| summed, bounded by Cauchy-Schwarz), the distance of the
// computed eigenvectors from orthonormal ones, and the roundings of 1/w and of the
// subtraction; doubled for the roundings of the bounds themselves.
double node_entry_error(const DeletionCounter& c, std::size_t j, std::size_t a, std::size_t b,
                        double cinv, double g) {
  const double gamma = gamma_bound(c.n_nodes + 4);
  const double eta = c.vector_error;
  const auto ca = 4 * a + j, cb = 4 * b + j;
  return 2.0 * (gamma * (c.abs_root[ca] * c.abs_root[cb]) +
                eta * (c.square_root[ca] + c.square_root[cb]) +
                eta * eta * c.max_inverse[j] + 2.0 * kUnitRoundoff * (std::abs(cinv) + std::abs(g)));
}

// Near-node entry -q_xk / (c - s) of W and its error: the eigenvector error moves each
// column of the block by at most eta / |c - s|.
double near_node_entry(const DeletionCounter& c, std::size_t node, std::size_t k,
                       double moved_gap, double& error) {
  const auto n = static_cast<std::size_t>(c.n_nodes);
  const double x = -c.spectrum.vectors[node * n + k] / moved_gap;
  error = c.vector_error / std::abs(moved_gap) + 2.0 * kUnitRoundoff * std::abs(x);
  return x;
}

// The node columns of X for a set of deleted entries, C^-1 on them, and the inertia
// that C^-1 and the isolated nodes take out of the count.
struct DeletionColumns {
  std::vector<int> cols;
  std::vector<double> cinv;  // cols x cols, row-major
  int cinv_plus = 0, cinv_minus = 0, n_iso = 0;
  std::vector<int> touched;  // the nodes of the nonzero deleted entries
};

DeletionColumns deletion_columns(const DeletionCounter& c,
                                 const std::vector<std::pair<int, int>>& deleted) {
  // The nonzero entries deleted, and the nodes left with no entry at all.
  struct Deleted {
    int u, v;
    double weight;
  };
  std::vector<Deleted> nonzero;
  std::vector<std::pair<int, int>> touched;  // (node, deleted entries in its row)
  const auto touch = [&touched](int node) {
    for (auto& t : touched)
      if (t.first == node) return void(++t.second);
    touched.emplace_back(node, 1);
  };
  for (const auto& [u, v] : deleted) {
    const auto it = c.entries.find(std::minmax(u, v));
    if (it == c.entries.end() || it->second == 0) continue;
    nonzero.push_back({it->first.first, it->first.second, it->second});
    touch(it->first.first);
    if (it->first.second != it->first.first) touch(it->first.second);
  }
  std::vector<int> isolated;
  for (const auto& [node, count] : touched)
    if (count == c.row_entries[static_cast<std::size_t>(node)]) isolated.push_back(node);
  const auto is_isolated = [&isolated](int node) {
    return std::find(isolated.begin(), isolated.end(), node) != isolated.end();
  };

  // Node columns of X: both ends of each deleted entry not gone with an isolated row (a
  // node may repeat), then the isolated nodes. C^-1 is block diagonal, exact up to one
  // rounding of 1/w, and its inertia is counted block by block.
  std::vector<int> cols;
  struct CinvBlock {
    std::size_t first;
    bool diagonal;
    double inv_w;
  };
  std::vector<CinvBlock> blocks;
  int cinv_plus = 0, cinv_minus = 0;
  for (const auto& d : nonzero) {
    if (is_isolated(d.u) || is_isolated(d.v)) continue;
    blocks.push_back({cols.size(), d.u == d.v, 1.0 / d.weight});
    cols.push_back(d.u);
    if (d.u == d.v) {
      (d.weight > 0 ? cinv_plus : cinv_minus)++;
    } else {
      cols.push_back(d.v);
      ++cinv_plus;
      ++cinv_minus;
    }
  }
  cols.insert(cols.end(), isolated.begin(), isolated.end());
  const std::size_t nc = cols.size();
  DeletionColumns out;
  out.cinv.assign(nc * nc, 0.0);
  for (const auto& b : blocks) {
    if (b.diagonal) {
      out.cinv[b.first * nc + b.first] = b.inv_w;
    } else {
      out.cinv[b.first * nc + b.first + 1] = b.inv_w;
      out.cinv[(b.first + 1) * nc + b.first] = b.inv_w;
    }
  }
  out.cols = std::move(cols);
  out.cinv_plus = cinv_plus;
  out.cinv_minus = cinv_minus;
  out.n_iso = static_cast<int>(isolated.size());
  for (const auto& t : touched) out.touched.push_back(t.first);
  return out;
}

// W at shift j (row-major r x r, r = near + columns) from the resolvent entries g of
// the columns; returns the Frobenius bound of its error.
double build_w(const DeletionCounter& c, std::size_t j, const std::vector<int>& cols,
               const std::vector<double>& cinv, const std::vector<std::array<double, 4>>& g,
               std::vector<double>& w) {
  const std::size_t nc = cols.size(), k_near = c.near.size(), r = k_near + nc;
  w.assign(r * r, 0.0);
  const double s = c.shifts[j];
  const double moved_gap = kMovedEigenvalue - s;
  double error2 = 0.0;
  // Near block: diag((lambda - s) / ((c - lambda)(c - s))), to a few roundings.
  for (std::size_t a = 0; a < k_near; ++a) {
    const double lambda = c.spectrum.eigenvalues[static_cast<std::size_t>(c.near[a])];
    const double x = (lambda - s) / ((kMovedEigenvalue - lambda) * moved_gap);
    w[a * r + a] = x;
    const double e = 8.0 * kUnitRoundoff * std::abs(x);
    error2 += e * e;
  }
  for (std::size_t a = 0; a < k_near; ++a) {
    const auto k = static_cast<std::size_t>(c.near[a]);
    for (std::size_t b = 0; b < nc; ++b) {
      double e = 0.0;
      const double x = near_node_entry(c, static_cast<std::size_t>(cols[b]), k, moved_gap, e);
      w[a * r + k_near + b] = x;
      w[(k_near + b) * r + a] = x;
      error2 += 2.0 * e * e;
    }
  }
  // Node block: C^-1 (0 on isolated nodes) - G.
  for (std::size_t a = 0; a < nc; ++a) {
    for (std::size_t b = 0; b < nc; ++b) {
      const double gab = g[a * nc + b][j];
      w[(k_near + a) * r + k_near + b] = cinv[a * nc + b] - gab;
      const double e = node_entry_error(c, j, static_cast<std::size_t>(cols[a]),
                                        static_cast<std::size_t>(cols[b]), cinv[a * nc + b], gab);
      error2 += e * e;
    }
  }
  return error2;
}

// The resolvent entry of nodes a, b: from the table when there is one.
std::array<double, 4> resolvent(const DeletionCounter& c, const ResolventTable* table,
                                std::size_t a, std::size_t b) {
  if (table == nullptr || a == b) return resolvent_entry(c, a, b);
  const double* e = table->entries.data() + 4 * (a * static_cast<std::size_t>(c.n_nodes) + b);
  return {e[0], e[1], e[2], e[3]};
}

// The resolvent entries of every pair of columns.
std::vector<std::array<double, 4>> column_resolvents(const DeletionCounter& c,
                                                     const std::vector<int>& cols,
                                                     const ResolventTable* table = nullptr) {
  const std::size_t nc = cols.size();
  std::vector<std::array<double, 4>> g(nc * nc);
  for (std::size_t a = 0; a < nc; ++a) {
    const auto ca = static_cast<std::size_t>(cols[a]);
    for (std::size_t b = 0; b <= a; ++b) {
      const auto sum = resolvent(c, table, ca, static_cast<std::size_t>(cols[b]));
      g[a * nc + b] = sum;
      g[b * nc + a] = sum;
    }
  }
  return g;
}

// The counts from the inertia of W at the four shifts, or nullopt.
std::optional<LpiCounts> counts_from_inertia(const DeletionCounter& c,
                                             const std::array<std::optional<Inertia>, 4>& in,
                                             int cinv_plus, int cinv_minus, int n_iso) {
  std::array<int, 4> above{}, below{};
  const int k_near = static_cast<int>(c.near.size());
  for (std::size_t j = 0; j < 4; ++j) {
    if (!in[j]) return std::nullopt;
    // In(C'^-1) = (k, 0, 0) + In(C^-1): the moved gaps c - lambda are positive.
    above[j] = c.n_above[j] + in[j]->plus - k_near - cinv_plus - n_iso;
    below[j] = c.n_below[j] + in[j]->minus - cinv_minus - n_iso;
  }
  // The isolated nodes add exact zeros.
  const auto out =
      counts_if_shifts_agree(c.n_nodes, {above[0], above[1]}, {below[2], below[3]});
  if (!out || out->n_zero < n_iso || out->n_plus < 0 || out->n_minus < 0) return std::nullopt;
  return out;
}

// The near set of c's shifts: the indices of the eigenvalues within near_width of a
// shift, in ascending order, at most kMaxNear of them (the nearest).
std::vector<int> near_eigenvalues(const DeletionCounter& c) {
  const auto& lambda = c.spectrum.eigenvalues;
  const auto gap = [&c](double x) {
    double g = std::numeric_limits<double>::infinity();
    for (double s : c.shifts) g = std::min(g, std::abs(x - s));
    return g;
  };
  std::vector<int> near;
  for (std::size_t k = 0; k < lambda.size(); ++k)
    if (gap(lambda[k]) < c.near_width) near.push_back(static_cast<int>(k));
  if (near.size() > kMaxNear) {
    std::sort(near.begin(), near.end(), [&](int a, int b) {
      return gap(lambda[static_cast<std::size_t>(a)]) < gap(lambda[static_cast<std::size_t>(b)]);
    });
    near.resize(kMaxNear);
    std::sort(near.begin(), near.end());
  }
  return near;
}

// Sets the inverse gaps of B's eigenvalues (the near ones moved) to the four shifts,
// how many lie above and below each, and the largest inverse gap. False when a gap is
// exactly zero or its inverse not finite.
bool set_inverse_gaps(DeletionCounter& c) {
  const auto& lambda = c.spectrum.eigenvalues;
  const std::size_t n = lambda.size();
  std::vector<char> is_near(n, 0);
  for (int k : c.near) is_near[static_cast<std::size_t>(k)] = 1;
  c.inverse_gaps.resize(4 * n);
  for (std::size_t k = 0; k < n; ++k) {
    const double mu = is_near[k] ? kMovedEigenvalue : lambda[k];
    for (std::size_t j = 0; j < 4; ++j) {
      // The sign of a floating-point difference is exact, and it is 0 only for equal
      // operands.
      const double d = mu - c.shifts[j];
      const double inv = 1.0 / d;
      if (d == 0 || !std::isfinite(inv)) return false;
      c.inverse_gaps[4 * k + j] = inv;
      (d > 0 ? c.n_above[j] : c.n_below[j])++;
      c.max_inverse[j] = std::max(c.max_inverse[j], std::abs(inv));
    }
  }
  return true;
}

// Sets the per-node sums over the resolvent's diagonal that every entry of W and its
// error bound take, and their square roots.
void set_resolvent_diagonals(DeletionCounter& c) {
  const std::size_t n = c.spectrum.eigenvalues.size();
  c.resolvent_diagonal.assign(4 * n, 0.0);
  c.abs_diagonal.assign(4 * n, 0.0);
  c.square_diagonal.assign(4 * n, 0.0);
  for (std::size_t x = 0; x < n; ++x) {
    const double* q = c.spectrum.vectors.data() + x * n;
    double g[4] = {0, 0, 0, 0}, a[4] = {0, 0, 0, 0}, sq[4] = {0, 0, 0, 0};
    for (std::size_t k = 0; k < n; ++k) {
      const double p = q[k] * q[k];
      for (std::size_t j = 0; j < 4; ++j) {
        const double inv = c.inverse_gaps[4 * k + j];
        g[j] += p * inv;
        a[j] += p * std::abs(inv);
        sq[j] += p * inv * inv;
      }
    }
    for (std::size_t j = 0; j < 4; ++j) {
      c.resolvent_diagonal[4 * x + j] = g[j];
      c.abs_diagonal[4 * x + j] = a[j];
      c.square_diagonal[4 * x + j] = sq[j];
    }
  }
  c.abs_root.resize(4 * n);
  c.square_root.resize(4 * n);
  for (std::size_t i = 0; i < 4 * n; ++i) {
    c.abs_root[i] = std::sqrt(c.abs_diagonal[i]);
    c.square_root[i] = std::sqrt(c.square_diagonal[i]);
  }
}

}  // namespace

DeletionCounter make_deletion_counter(int n_nodes, const std::vector<WeightedEdge>& edges,
                                      double zero_tolerance) {
  return make_deletion_counter(decompose_adjacency(n_nodes, edges), edges,  // validates them
                               zero_tolerance);
}

DeletionCounter make_deletion_counter(SpectralDecomposition spectrum,
                                      const std::vector<WeightedEdge>& edges,
                                      double zero_tolerance) {
  DeletionCounter c;
  const int n_nodes = spectrum.n_nodes;
  const auto n = static_cast<std::size_t>(std::max(0, n_nodes));
  if (spectrum.eigenvalues.size() != n || spectrum.vectors.size() != n * n)
    throw std::invalid_argument("the decomposition does not hold n eigenpairs of order n");
  check_edges(n_nodes, edges);
  c.n_nodes = n_nodes;
  c.zero_tolerance = zero_tolerance;
  c.spectrum = std::move(spectrum);
  if (n_nodes <= 0 || !std::isfinite(zero_tolerance) || !(zero_tolerance > 0)) return c;
  for (const auto& e : edges)
    if (!std::isfinite(e.weight)) return c;
  for (const auto& e : edges) c.entries[std::minmax(e.u, e.v)] = e.weight;
  c.row_entries.assign(static_cast<std::size_t>(n_nodes), 0);
  for (const auto& [key, w] : c.entries) {
    if (w == 0) continue;
    ++c.row_entries[static_cast<std::size_t>(key.first)];
    if (key.second != key.first) ++c.row_entries[static_cast<std::size_t>(key.second)];
  }

  const double norm = row_sum_bound(n_nodes, edges);
  const double solver_error = kSolverBackwardErrorPerNode * n_nodes * kUnitRoundoff * norm;
  c.vector_error = kSolverBackwardErrorPerNode * n_nodes * kUnitRoundoff;
  // Twice the sum of this solver's backward error and compute_lpi's (the same bound):
  // an eigenvalue of the edited matrix outside +-tol +- band lies on the same side of
  // +-tol in exact arithmetic and in compute_lpi's result.
  c.band = 4.0 * solver_error + 4.0 * kUnitRoundoff * zero_tolerance;
  if (!(c.band <= zero_tolerance / 4)) return c;
  c.shifts = {zero_tolerance - c.band, zero_tolerance + c.band, -zero_tolerance - c.band,
              -zero_tolerance + c.band};
  c.near_width = kNearFraction * norm;

  c.near = near_eigenvalues(c);
  if (!set_inverse_gaps(c)) return c;
  set_resolvent_diagonals(c);
  c.usable = true;
  return c;
}

void check_deleted_entries(int n_nodes, const std::vector<std::pair<int, int>>& deleted) {
  for (std::size_t i = 0; i < deleted.size(); ++i) {
    const auto [u, v] = deleted[i];
    if (!ends_in_range(n_nodes, u, v))
      throw std::invalid_argument("deleted entry (" + std::to_string(u) + ", " +
                                  std::to_string(v) + ") names a node outside the graph");
    const auto key = std::minmax(u, v);
    for (std::size_t k = 0; k < i; ++k)
      if (std::minmax(deleted[k].first, deleted[k].second) == key)
        throw std::invalid_argument("matrix entry (" + std::to_string(u) + ", " +
                                    std::to_string(v) + ") is deleted twice");
  }
}

std::optional<LpiCounts> certified_counts(const DeletionCounter& c,
                                          const std::vector<std::pair<int, int>>& deleted) {
  check_deleted_entries(c.n_nodes, deleted);
  if (!c.usable) return std::nullopt;
  const DeletionColumns d = deletion_columns(c, deleted);
  const std::size_t r = c.near.size() + d.cols.size();
  if (r == 0) {
    return counts_if_shifts_agree(c.n_nodes, {c.n_above[0], c.n_above[1]},
                                  {c.n_below[2], c.n_below[3]});
  }
  // The node block of X^T N^-1 X: entries sum_k q_ak q_bk / (mu_k - s) at the four shifts.
  const auto g = column_resolvents(c, d.cols);
  std::array<std::optional<Inertia>, 4> in;
  std::vector<double> w;
  for (std::size_t j = 0; j < 4; ++j) {
    const double error2 = build_w(c, j, d.cols, d.cinv, g, w);
    in[j] = certain_inertia(static_cast<int>(r), w, std::sqrt(error2));
    if (!in[j]) return std::nullopt;
  }
  return counts_from_inertia(c, in, d.cinv_plus, d.cinv_minus, d.n_iso);
}

namespace {

// Eigenvalues of P at least this fraction of its largest magnitude are eliminated; the
// others stay in the Schur complement, so that the congruence stays well conditioned.
constexpr double kEliminatedFraction = 0.05;

// P, the block of W of the near set and the shared columns, at one shift.
struct ReducedShift {
  std::vector<double> theta;    // eigenvalues of P
  std::vector<double> vectors;  // p x p row-major, column k the eigenvector of theta[k]
  double error2 = 0.0;          // squared Frobenius bound of the error of P
  double delta = 0.0;           // backward error of P's eigendecomposition
  double eta = 0.0;             // distance of its eigenvectors from orthonormal ones
  double theta_min = std::numeric_limits<double>::infinity();  // smallest eliminated
  std::vector<char> eliminated;
  Inertia eliminated_inertia;
};

// Decomposes P (p x p row-major, p > 0) into sh with its error bounds, and marks the
// eigenvalues to eliminate. False when the solver fails or P is not finite.
bool decompose_block(std::size_t p, const std::vector<double>& w, ReducedShift& sh) {
  // The same solver, and storage, as symmetric_eigenvalues uses for this order, so
  // that its eigenvalues are the ones certified_counts sees.
  const Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>
      pm(w.data(), static_cast<Eigen::Index>(p), static_cast<Eigen::Index>(p));
  const auto take = [&](const auto& solver) {
    if (solver.info() != Eigen::Success) return false;
    const auto& theta = solver.eigenvalues();
    sh.theta.assign(theta.data(), theta.data() + p);
    sh.vectors.resize(p * p);
    const auto& v = solver.eigenvectors();
    for (std::size_t a = 0; a < p; ++a)
      for (std::size_t k = 0; k < p; ++k)
        sh.vectors[a * p + k] = v(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(k));
    return true;
  };
  bool solved;
  if (p <= static_cast<std::size_t>(kSmallOrder)) {
    using Small =
        Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kSmallOrder, kSmallOrder>;
    solved = take(Eigen::SelfAdjointEigenSolver<Small>(Small(pm), Eigen::ComputeEigenvectors));
  } else {
    solved = take(Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(pm, Eigen::ComputeEigenvectors));
  }
  if (!solved) return false;
  double frobenius = 0.0;
  for (double x : w) frobenius += x * x;
  frobenius = std::sqrt(frobenius);
  if (!std::isfinite(frobenius) || !std::isfinite(sh.error2)) return false;
  sh.delta = kSolverBackwardErrorPerNode * static_cast<double>(p) * kUnitRoundoff * frobenius;
  sh.eta = kSolverBackwardErrorPerNode * static_cast<double>(p) * kUnitRoundoff;
  double largest = 0.0;
  for (double t : sh.theta) largest = std::max(largest, std::abs(t));
  for (std::size_t k = 0; k < p; ++k) {
    const double t = sh.theta[k];
    if (!(std::abs(t) >= kEliminatedFraction * largest) || t == 0) continue;
    sh.eliminated[k] = 1;
    sh.theta_min = std::min(sh.theta_min, std::abs(t));
    (t > 0 ? sh.eliminated_inertia.plus : sh.eliminated_inertia.minus)++;
  }
  return true;
}

// Buffers of one thread for the edits SharedDeletionCounts tests, reused from test to
// test: their sizes repeat.
struct EntryScratch {
  std::vector<int> cols;                     // the further entry's columns
  std::vector<double> cinv;                  // their block of C^-1, row-major
  std::vector<double> bmat, dmat, y, m;      // B, D, V^T B, and the reduced matrix M
  std::vector<std::array<double, 4>> g_cross, g_own;  // resolvents to P's and own columns
  std::vector<std::size_t> kept;             // eigenvalues of P that stay
};

// The inertia counts of C'^-1 and the isolated nodes, with a further entry's share.
struct EntryColumns {
  int cinv_plus = 0, cinv_minus = 0, n_iso = 0;
};

// The columns of the further deleted entry (u, v) of weight w into s.cols and s.cinv:
// both ends, or the ends it leaves without any entry.
EntryColumns entry_columns(const DeletionCounter& c, int u, int v, double weight,
                           const DeletionColumns& shared, EntryScratch& s) {
  EntryColumns out{shared.cinv_plus, shared.cinv_minus, shared.n_iso};
  s.cols.clear();
  const bool iso_u = c.row_entries[static_cast<std::size_t>(u)] == 1;
  const bool iso_v = c.row_entries[static_cast<std::size_t>(v)] == 1;
  if (!iso_u && !iso_v) {
    s.cols.assign({u, v});
    const double inv_w = 1.0 / weight;
    s.cinv.assign({0.0, inv_w, inv_w, 0.0});
    ++out.cinv_plus;
    ++out.cinv_minus;
  } else {
    if (iso_u) s.cols.push_back(u);
    if (iso_v) s.cols.push_back(v);
    s.cinv.assign(s.cols.size() * s.cols.size(), 0.0);
    out.n_iso += static_cast<int>(s.cols.size());
  }
  return out;
}

// The resolvent entries of the further entry's columns against the shared columns
// (g_cross) and among themselves (g_own, symmetric).
void entry_resolvents(const DeletionCounter& c, const ResolventTable* table,
                      const std::vector<int>& shared_cols, EntryScratch& s) {
  const std::size_t kc = s.cols.size(), nf = shared_cols.size();
  s.g_cross.resize(kc * nf);
  s.g_own.resize(kc * kc);
  for (std::size_t b = 0; b < kc; ++b) {
    const auto cb = static_cast<std::size_t>(s.cols[b]);
    for (std::size_t a = 0; a < nf; ++a)
      s.g_cross[b * nf + a] = resolvent(c, table, cb, static_cast<std::size_t>(shared_cols[a]));
    for (std::size_t a = 0; a <= b; ++a) {
      s.g_own[b * kc + a] = resolvent(c, table, cb, static_cast<std::size_t>(s.cols[a]));
      s.g_own[a * kc + b] = s.g_own[b * kc + a];
    }
  }
}

// B (the entry's columns against P's rows: near set, then shared columns) and D (among
// themselves) of W at shift j into s.bmat and s.dmat, with their squared Frobenius
// norms. Returns the bound on the error of the whole of [[P, B], [B^T, D]], the errors
// as in W, B's twice for its mirror image.
double entry_blocks(const DeletionCounter& c, std::size_t j, const ReducedShift& sh,
                    const std::vector<int>& shared_cols, EntryScratch& s, double& norm_b2,
                    double& norm_d2) {
  const std::size_t kc = s.cols.size(), nf = shared_cols.size(), k_near = c.near.size();
  const std::size_t p = k_near + nf;
  s.bmat.resize(p * kc);
  s.dmat.resize(kc * kc);
  const double moved_gap = kMovedEigenvalue - c.shifts[j];
  double error2 = sh.error2;
  for (std::size_t b = 0; b < kc; ++b) {
    const auto cb = static_cast<std::size_t>(s.cols[b]);
    for (std::size_t a = 0; a < k_near; ++a) {
      double e = 0.0;
      const double x = near_node_entry(c, cb, static_cast<std::size_t>(c.near[a]), moved_gap, e);
      s.bmat[a * kc + b] = x;
      error2 += 2.0 * e * e;
    }
    for (std::size_t a = 0; a < nf; ++a) {
      const double gab = s.g_cross[b * nf + a][j];
      s.bmat[(k_near + a) * kc + b] = 0.0 - gab;
      const double e =
          node_entry_error(c, j, static_cast<std::size_t>(shared_cols[a]), cb, 0.0, gab);
      error2 += 2.0 * e * e;
    }
    for (std::size_t a = 0; a < kc; ++a) {
      const double gab = s.g_own[b * kc + a][j];
      s.dmat[b * kc + a] = s.cinv[b * kc + a] - gab;
      const double e = node_entry_error(c, j, cb, static_cast<std::size_t>(s.cols[a]),
                                        s.cinv[b * kc + a], gab);
      error2 += e * e;
    }
  }
  norm_b2 = 0.0;
  norm_d2 = 0.0;
  for (double x : s.bmat) norm_b2 += x * x;
  for (double x : s.dmat) norm_d2 += x * x;
  return std::sqrt(error2);
}

// The inertia of [[P, B], [B^T, D]] (known within `error`) at one shift: P's eliminated
// eigenvalues by a congruence, then the certain inertia of what is left,
// M = [[Theta_s, Y_s], [Y_s^T, D - Y_b^T Theta_b^-1 Y_b]] with Y = V^T B. Nullopt when
// that is not certain.
std::optional<Inertia> reduced_inertia(const ReducedShift& sh, EntryScratch& s, double error,
                                       double norm_b2, double norm_d2) {
  const std::size_t kc = s.cols.size(), p = sh.eliminated.size();
  // Y = V^T B; with exact V (within eta of the computed one) and the rounding of the
  // products, ||Y - Y_computed||_F <= dy.
  s.y.resize(p * kc);
  for (std::size_t k = 0; k < p; ++k)
    for (std::size_t b = 0; b < kc; ++b) {
      double sum = 0.0;
      for (std::size_t a = 0; a < p; ++a) sum += sh.vectors[a * p + k] * s.bmat[a * kc + b];
      s.y[k * kc + b] = sum;
    }
  const double norm_b = std::sqrt(norm_b2);
  const double dy = (sh.eta + gamma_bound(static_cast<int>(p)) *
                                  std::sqrt(static_cast<double>(p)) * (1.0 + sh.eta)) *
                    norm_b;
  double norm_yb2 = 0.0;
  s.kept.clear();
  for (std::size_t k = 0; k < p; ++k) {
    if (!sh.eliminated[k]) {
      s.kept.push_back(k);
      continue;
    }
    for (std::size_t b = 0; b < kc; ++b) norm_yb2 += s.y[k * kc + b] * s.y[k * kc + b];
  }
  const double norm_yb = std::sqrt(norm_yb2);
  // The congruence that eliminates Theta_b has ||L^-1|| <= 1 + ||Theta_b^-1 Y_b||.
  const double conj = 1.0 + (norm_yb + dy) / sh.theta_min;
  const double moved_error = conj * conj * (error + sh.delta);
  if (!(moved_error < sh.theta_min)) return std::nullopt;

  const std::size_t ks = s.kept.size(), r = ks + kc;
  s.m.assign(r * r, 0.0);
  for (std::size_t a = 0; a < ks; ++a) {
    s.m[a * r + a] = sh.theta[s.kept[a]];
    for (std::size_t b = 0; b < kc; ++b) {
      s.m[a * r + ks + b] = s.y[s.kept[a] * kc + b];
      s.m[(ks + b) * r + a] = s.y[s.kept[a] * kc + b];
    }
  }
  for (std::size_t a = 0; a < kc; ++a)
    for (std::size_t b = 0; b < kc; ++b) {
      double sum = 0.0;
      for (std::size_t k = 0; k < p; ++k)
        if (sh.eliminated[k]) sum += s.y[k * kc + a] / sh.theta[k] * s.y[k * kc + b];
      s.m[(ks + a) * r + ks + b] = s.dmat[a * kc + b] - sum;
    }
  const double m_error =
      2.0 * dy + dy * (2.0 * norm_yb + dy) / sh.theta_min +
      2.0 * gamma_bound(static_cast<int>(p) + 3) * (norm_yb2 / sh.theta_min + std::sqrt(norm_d2));
  const auto rest = certain_inertia(static_cast<int>(r), s.m, moved_error + m_error);
  if (!rest) return std::nullopt;
  return Inertia{sh.eliminated_inertia.plus + rest->plus,
                 sh.eliminated_inertia.minus + rest->minus};
}

}  // namespace

struct SharedDeletionCounts::Reduction {
  DeletionColumns shared;     // the shared entries' columns (after the near set in P)
  std::vector<char> touched;  // per node: has a shared nonzero entry
  std::array<ReducedShift, 4> shifts;
};

ResolventTable make_resolvent_table(const DeletionCounter& c) {
  ResolventTable t;
  if (!c.usable) return t;
  const Eigen::Index n = c.n_nodes;
  const auto un = static_cast<std::size_t>(n);
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const Eigen::Map<const RowMajor> q(c.spectrum.vectors.data(), n, n);
  t.n_nodes = c.n_nodes;
  t.entries.resize(4 * un * un);
  Eigen::VectorXd inv(n);
  RowMajor r(n, n);
  for (std::size_t j = 0; j < 4; ++j) {
    for (Eigen::Index k = 0; k < n; ++k) inv[k] = c.inverse_gaps[4 * static_cast<std::size_t>(k) + j];
    r.noalias() = (q * inv.asDiagonal()) * q.transpose();
    for (std::size_t a = 0; a < un; ++a)
      for (std::size_t b = 0; b < un; ++b)
        t.entries[4 * (a * un + b) + j] = r(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b));
  }
  return t;
}

SharedDeletionCounts::SharedDeletionCounts(const DeletionCounter& counter,
                                           std::vector<std::pair<int, int>> shared,
                                           const ResolventTable* table)
    : counter_(counter),
      table_(table != nullptr && table->n_nodes == counter.n_nodes && counter.usable ? table
                                                                                     : nullptr),
      shared_(std::move(shared)) {
  check_deleted_entries(counter_.n_nodes, shared_);
  if (!counter_.usable) return;  // shared_counts_ stays nullopt, as certified_counts gives
  auto red = std::make_unique<Reduction>();
  red->shared = deletion_columns(counter_, shared_);
  red->touched.assign(static_cast<std::size_t>(counter_.n_nodes), 0);
  for (int node : red->shared.touched) red->touched[static_cast<std::size_t>(node)] = 1;
  const std::size_t p = counter_.near.size() + red->shared.cols.size();
  const auto g = column_resolvents(counter_, red->shared.cols, table_);
  std::vector<double> w;
  std::array<std::optional<Inertia>, 4> shared_inertia;
  bool decomposed = true;
  for (std::size_t j = 0; j < 4; ++j) {
    auto& sh = red->shifts[j];
    sh.error2 = build_w(counter_, j, red->shared.cols, red->shared.cinv, g, w);
    sh.eliminated.assign(p, 0);
    if (p == 0) continue;
    if (!decompose_block(p, w, sh)) {
      decomposed = false;
      break;
    }
    // The counts of the shared deletion alone, as certified_counts finds them: the
    // solver gives the same eigenvalues with or without eigenvectors.
    shared_inertia[j] =
        certain_inertia(static_cast<int>(p), w, std::sqrt(sh.error2), sh.theta.data());
  }
  if (!decomposed) {
    shared_counts_ = certified_counts(counter_, shared_);
    return;
  }
  if (p == 0) {
    shared_counts_ = certified_counts(counter_, shared_);  // no matrix to decompose
  } else {
    shared_counts_ = counts_from_inertia(counter_, shared_inertia, red->shared.cinv_plus,
                                         red->shared.cinv_minus, red->shared.n_iso);
  }
  reduction_ = std::move(red);
}

SharedDeletionCounts::~SharedDeletionCounts() = default;

std::optional<LpiCounts> SharedDeletionCounts::fallback(int u, int v) const {
  auto deleted = shared_;
  deleted.emplace_back(u, v);
  return certified_counts(counter_, deleted);
}

std::optional<LpiCounts> SharedDeletionCounts::counts_with(int u, int v, bool* reduced) const {
  if (reduced) *reduced = false;
  const DeletionCounter& c = counter_;
  if (!reduction_ || u == v || !ends_in_range(c.n_nodes, u, v)) return fallback(u, v);
  const Reduction& red = *reduction_;
  const auto it = c.entries.find(std::minmax(u, v));
  if (it == c.entries.end() || it->second == 0 || red.touched[static_cast<std::size_t>(u)] ||
      red.touched[static_cast<std::size_t>(v)])
    return fallback(u, v);
  for (const auto& [a, b] : shared_)  // the entry deleted twice: certified_counts throws
    if (std::pair<int, int>(std::minmax(a, b)) == it->first) return fallback(u, v);

  thread_local EntryScratch scratch;
  const EntryColumns added = entry_columns(c, u, v, it->second, red.shared, scratch);
  entry_resolvents(c, table_, red.shared.cols, scratch);
  std::array<std::optional<Inertia>, 4> in;
  for (std::size_t j = 0; j < 4; ++j) {
    const auto& sh = red.shifts[j];
    double norm_b2 = 0.0, norm_d2 = 0.0;
    const double error = entry_blocks(c, j, sh, red.shared.cols, scratch, norm_b2, norm_d2);
    in[j] = reduced_inertia(sh, scratch, error, norm_b2, norm_d2);
    if (!in[j]) return fallback(u, v);
  }
  const auto out = counts_from_inertia(c, in, added.cinv_plus, added.cinv_minus, added.n_iso);
  if (!out) return fallback(u, v);
  if (reduced) *reduced = true;
  return out;
}

}  // namespace korvane::analysis
