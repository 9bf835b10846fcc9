#include "korvane/analysis/inertia.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvane::analysis {

namespace {

constexpr double kUnitRoundoff = std::numeric_limits<double>::epsilon() / 2;

// Backward stability of Householder tridiagonalisation with implicit QR: the computed
// eigenvalues and eigenvectors are exact for A + E with an exactly orthogonal Q, where
// ||E||_2 <= p(n) u ||A||_2 and ||Q - Q_computed||_2 <= p(n) u. We take p(n) = 16 n, about
// fifty times what Eigen's solver reaches on orbital graphs of 500 to 1200 nodes
// (orthogonality 3e-14, residual 2e-14 at n = 956); the bound then still sits two orders
// below the default zero tolerance up to several thousand nodes.
constexpr double kSolverErrorPerNode = 16.0;

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

// The upper bound max_i sum_j |A_ij| on ||A||_2; an edge listed twice counts twice, which
// only loosens it.
double row_sum_bound(int n_nodes, const std::vector<WeightedEdge>& edges) {
  std::vector<double> rows(static_cast<std::size_t>(n_nodes), 0.0);
  for (const auto& e : edges) {
    rows[static_cast<std::size_t>(e.u)] += std::abs(e.weight);
    if (e.v != e.u) rows[static_cast<std::size_t>(e.v)] += std::abs(e.weight);
  }
  return rows.empty() ? 0.0 : *std::max_element(rows.begin(), rows.end());
}

struct Inertia {
  int plus = 0, minus = 0;
};

// Inertia of a small symmetric matrix (row-major r x r) known only to within `error` in
// the 2-norm; nullopt when an eigenvalue is too close to 0 to tell its sign.
std::optional<Inertia> certain_inertia(int r, const std::vector<double>& s, double error) {
  double frobenius = 0.0;
  for (double x : s) frobenius += x * x;
  frobenius = std::sqrt(frobenius);
  if (!std::isfinite(frobenius) || !std::isfinite(error)) return std::nullopt;
  std::vector<double> mu;
  if (r == 1) {
    mu = {s[0]};
  } else if (r == 2) {
    const double m = 0.5 * (s[0] + s[3]), h = 0.5 * (s[0] - s[3]);
    const double rad = std::hypot(h, s[1]);
    mu = {m - rad, m + rad};
  } else {
    mu = symmetric_eigenvalues(r, s);
  }
  // The computed eigenvalues are exact for a matrix within a few r u ||S|| of S.
  const double margin = error + kSolverErrorPerNode * r * kUnitRoundoff * frobenius;
  Inertia in;
  for (double x : mu) {
    if (!(std::abs(x) > margin)) return std::nullopt;
    (x > 0 ? in.plus : in.minus)++;
  }
  return in;
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
  for (const auto& e : edges)
    if (e.u < 0 || e.v < 0 || e.u >= n_nodes || e.v >= n_nodes)
      throw std::out_of_range("edge (" + std::to_string(e.u) + ", " + std::to_string(e.v) +
                              ") names a node outside the decomposed graph");
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
  const double solver_error = kSolverErrorPerNode * n_nodes * kUnitRoundoff * norm;
  c.vector_error = kSolverErrorPerNode * n_nodes * kUnitRoundoff;
  // Twice the sum of this solver's backward error and compute_lpi's (the same bound):
  // an eigenvalue of the edited matrix outside +-tol +- band lies on the same side of
  // +-tol in exact arithmetic and in compute_lpi's result.
  c.band = 4.0 * solver_error + 4.0 * kUnitRoundoff * zero_tolerance;
  if (!(c.band <= zero_tolerance / 4)) return c;
  c.shifts = {zero_tolerance - c.band, zero_tolerance + c.band, -zero_tolerance - c.band,
              -zero_tolerance + c.band};
  c.near_width = kNearFraction * norm;

  const auto& lambda = c.spectrum.eigenvalues;
  const auto gap = [&c](double x) {
    double g = std::numeric_limits<double>::infinity();
    for (double s : c.shifts) g = std::min(g, std::abs(x - s));
    return g;
  };
  for (std::size_t k = 0; k < n; ++k)
    if (gap(lambda[k]) < c.near_width) c.near.push_back(static_cast<int>(k));
  if (c.near.size() > kMaxNear) {
    std::sort(c.near.begin(), c.near.end(), [&](int a, int b) {
      return gap(lambda[static_cast<std::size_t>(a)]) < gap(lambda[static_cast<std::size_t>(b)]);
    });
    c.near.resize(kMaxNear);
    std::sort(c.near.begin(), c.near.end());
  }
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
      if (d == 0 || !std::isfinite(inv)) return c;
      c.inverse_gaps[4 * k + j] = inv;
      (d > 0 ? c.n_above[j] : c.n_below[j])++;
      c.max_inverse[j] = std::max(c.max_inverse[j], std::abs(inv));
    }
  }
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
  c.usable = true;
  return c;
}

void check_deleted_entries(int n_nodes, const std::vector<std::pair<int, int>>& deleted) {
  for (std::size_t i = 0; i < deleted.size(); ++i) {
    const auto [u, v] = deleted[i];
    if (u < 0 || v < 0 || u >= n_nodes || v >= n_nodes)
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
  const int n_nodes = c.n_nodes;
  check_deleted_entries(n_nodes, deleted);
  if (!c.usable) return std::nullopt;

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
  const std::size_t nc = cols.size(), k_near = c.near.size(), r = k_near + nc;
  const int n_iso = static_cast<int>(isolated.size());
  if (r == 0) {
    if (c.n_above[0] != c.n_above[1] || c.n_below[2] != c.n_below[3]) return std::nullopt;
    return LpiCounts{c.n_above[0], n_nodes - c.n_above[0] - c.n_below[2], c.n_below[2]};
  }

  // The node block of X^T N^-1 X: entries sum_k q_ak q_bk / (mu_k - s) at the four shifts.
  const auto n = static_cast<std::size_t>(n_nodes);
  const auto* vectors = c.spectrum.vectors.data();
  std::vector<std::array<double, 4>> g(nc * nc);
  for (std::size_t a = 0; a < nc; ++a) {
    const auto ca = static_cast<std::size_t>(cols[a]);
    for (std::size_t j = 0; j < 4; ++j) g[a * nc + a][j] = c.resolvent_diagonal[4 * ca + j];
    for (std::size_t b = 0; b < a; ++b) {
      const auto cb = static_cast<std::size_t>(cols[b]);
      std::array<double, 4> sum{};
      if (ca == cb) {
        for (std::size_t j = 0; j < 4; ++j) sum[j] = c.resolvent_diagonal[4 * ca + j];
      } else {
        const double* qa = vectors + ca * n;
        const double* qb = vectors + cb * n;
        const double* inv = c.inverse_gaps.data();
        for (std::size_t k = 0; k < n; ++k) {
          const double p = qa[k] * qb[k];
          sum[0] += p * inv[4 * k];
          sum[1] += p * inv[4 * k + 1];
          sum[2] += p * inv[4 * k + 2];
          sum[3] += p * inv[4 * k + 3];
        }
      }
      g[a * nc + b] = sum;
      g[b * nc + a] = sum;
    }
  }
  std::vector<double> cinv(nc * nc, 0.0);
  for (const auto& b : blocks) {
    if (b.diagonal) {
      cinv[b.first * nc + b.first] = b.inv_w;
    } else {
      cinv[b.first * nc + b.first + 1] = b.inv_w;
      cinv[(b.first + 1) * nc + b.first] = b.inv_w;
    }
  }

  const double gamma = gamma_bound(n_nodes + 4);
  const double eta = c.vector_error;
  std::array<int, 4> above{}, below{};
  std::vector<double> w(r * r);
  for (std::size_t j = 0; j < 4; ++j) {
    const double s = c.shifts[j];
    const double moved_gap = kMovedEigenvalue - s;
    double error2 = 0.0;
    // Near block: diag((lambda - s) / ((c - lambda)(c - s))), to a few roundings.
    for (std::size_t a = 0; a < k_near; ++a) {
      const double lambda = c.spectrum.eigenvalues[static_cast<std::size_t>(c.near[a])];
      for (std::size_t b = 0; b < k_near; ++b) w[a * r + b] = 0.0;
      const double x = (lambda - s) / ((kMovedEigenvalue - lambda) * moved_gap);
      w[a * r + a] = x;
      const double e = 8.0 * kUnitRoundoff * std::abs(x);
      error2 += e * e;
    }
    // Near-node blocks: -q_xk / (c - s); the eigenvector error moves each column of them
    // by at most eta / |c - s|.
    for (std::size_t a = 0; a < k_near; ++a) {
      const auto k = static_cast<std::size_t>(c.near[a]);
      for (std::size_t b = 0; b < nc; ++b) {
        const double x = -vectors[static_cast<std::size_t>(cols[b]) * n + k] / moved_gap;
        w[a * r + k_near + b] = x;
        w[(k_near + b) * r + a] = x;
        const double e = eta / std::abs(moved_gap) + 2.0 * kUnitRoundoff * std::abs(x);
        error2 += 2.0 * e * e;
      }
    }
    // Node block: C^-1 (0 on isolated nodes) - G. Rounding of the sum (|q_a q_b| / |d|
    // summed, bounded by Cauchy-Schwarz), the distance of the computed eigenvectors from
    // orthonormal ones, and the roundings of 1/w and of the subtraction; doubled for the
    // roundings of the bounds themselves.
    for (std::size_t a = 0; a < nc; ++a) {
      const auto ca = 4 * static_cast<std::size_t>(cols[a]) + j;
      for (std::size_t b = 0; b < nc; ++b) {
        const auto cb = 4 * static_cast<std::size_t>(cols[b]) + j;
        const double gab = g[a * nc + b][j];
        w[(k_near + a) * r + k_near + b] = cinv[a * nc + b] - gab;
        const double e =
            2.0 * (gamma * std::sqrt(c.abs_diagonal[ca] * c.abs_diagonal[cb]) +
                   eta * (std::sqrt(c.square_diagonal[ca]) + std::sqrt(c.square_diagonal[cb])) +
                   eta * eta * c.max_inverse[j] +
                   2.0 * kUnitRoundoff * (std::abs(cinv[a * nc + b]) + std::abs(gab)));
        error2 += e * e;
      }
    }
    const auto in = certain_inertia(static_cast<int>(r), w, std::sqrt(error2));
    if (!in) return std::nullopt;
    // In(C'^-1) = (k, 0, 0) + In(C^-1): the moved gaps c - lambda are positive.
    above[j] = c.n_above[j] + in->plus - static_cast<int>(k_near) - cinv_plus - n_iso;
    below[j] = c.n_below[j] + in->minus - cinv_minus - n_iso;
  }
  // Equal counts at both shifts of a pair: no eigenvalue of the edited matrix within
  // the band round +tol (resp. -tol). The isolated nodes add exact zeros.
  if (above[0] != above[1] || below[2] != below[3]) return std::nullopt;
  LpiCounts out{above[0], n_nodes - above[0] - below[2], below[2]};
  if (out.n_zero < n_iso || out.n_plus < 0 || out.n_minus < 0) return std::nullopt;
  return out;
}

}  // namespace korvane::analysis
