#include "korvane/analysis/sparse_inertia.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include "korvane/analysis/inertia.hpp"  // check_deleted_entries

namespace korvane::analysis {

namespace {

constexpr double kUnitRoundoff = std::numeric_limits<double>::epsilon() / 2;

// Bunch-Kaufman's pivot threshold (1 + sqrt 17) / 8: it bounds the growth of the
// entries at every step by 2.57 and makes every 2 x 2 pivot indefinite.
const double kAlpha = (1.0 + std::sqrt(17.0)) / 8.0;

// Backward error of a block LDL^T factorization with 1 x 1 and 2 x 2 pivots:
// |E| <= p u (|A - s I| + |L| |D| |L^T|), p linear in the number of updates an entry
// takes (Higham, Accuracy and Stability of Numerical Algorithms, ch. 11): each update
// costs an entry about three roundings, and Bunch-Kaufman's 2 x 2 pivots are
// well-conditioned. We take p = 8 (k + 4) for a row that received k updates.
constexpr double kFactorErrorPerUpdate = 8.0;

// Error of compute_lpi's eigenvalues, per node and unit of u ||A||: its eigenvalues
// differ from LAPACK's by at most 0.1 n u ||A|| on orbital graphs of 600 to 2400 nodes;
// 4 n u ||A|| leaves a margin of forty.
constexpr double kSolverErrorPerNode = 4.0;

// Room in the band for the factorization's own error, in units of u ||A||, and slack in
// units of u tol that keeps the band positive for a graph without entries. The band
// then stays near 1e-11 for orbital graphs of a few thousand nodes, a hundredth of the
// default tolerance.
constexpr double kFactorRoom = 4096.0;
constexpr double kBandSlack = 1024.0;

// A matrix entry with its value at each of L shifts.
template <int L>
struct Entry {
  int column;
  std::array<double, L> value;
};

template <int L>
struct Neighbour {
  int node;
  std::array<double, L> to_p, to_q;  // entries joining it to the pivot nodes
  std::array<double, L> l_p, l_q;    // its multipliers
};

// One thread's factorization workspace, kept between calls so that rows keep their
// capacity.
template <int L>
struct Workspace {
  std::vector<std::vector<Entry<L>>> rows;  // active off-diagonal entries, both directions
  std::vector<std::array<double, L>> diagonal;
  std::vector<std::array<double, L>> row_norm, lld;  // row sums of |A - s I|, |L| |D| |L^T|
  std::vector<int> updates;
  std::vector<char> active, deleted_row;
  std::vector<int> slot;  // position of a node among the gathered neighbours, or -1
  std::vector<Neighbour<L>> gathered;
  std::vector<std::pair<int, int>> heap;  // (degree, node), min-heap with stale entries

  void reset(std::size_t n) {
    if (rows.size() < n) rows.resize(n);
    for (std::size_t i = 0; i < n; ++i) rows[i].clear();
    diagonal.assign(n, {});
    row_norm.assign(n, {});
    lld.assign(n, {});
    updates.assign(n, 0);
    active.assign(n, 1);
    deleted_row.assign(n, 0);
    slot.assign(n, -1);
    gathered.clear();
    heap.clear();
  }
};

template <int L>
Workspace<L>& workspace() {
  thread_local Workspace<L> ws;
  return ws;
}

template <int L>
void remove_entry(std::vector<Entry<L>>& row, int column) {
  for (auto& e : row)
    if (e.column == column) {
      e = row.back();
      row.pop_back();
      return;
    }
}

// Subtracts `delta` from entry (r, s), r != s, adding it when the pattern lacks it; both
// copies of the entry keep the same value.
template <int L>
void subtract_entry(Workspace<L>& ws, int r, int s, const std::array<double, L>& delta) {
  auto& row_r = ws.rows[static_cast<std::size_t>(r)];
  for (auto& e : row_r)
    if (e.column == s) {
      for (int k = 0; k < L; ++k) e.value[k] -= delta[k];
      for (auto& f : ws.rows[static_cast<std::size_t>(s)])
        if (f.column == r) {
          f.value = e.value;
          return;
        }
      return;
    }
  Entry<L> fill{s, {}};
  for (int k = 0; k < L; ++k) fill.value[k] = -delta[k];
  row_r.push_back(fill);
  fill.column = r;
  ws.rows[static_cast<std::size_t>(s)].push_back(fill);
}

// Largest |entry| of a row at one shift, and its column (the smallest on ties).
template <int L>
std::pair<int, double> largest_entry(const std::vector<Entry<L>>& row, int lane) {
  int at = -1;
  double largest = 0.0;
  for (const auto& e : row) {
    const double x = std::abs(e.value[lane]);
    if (x > largest || (x == largest && at >= 0 && e.column < at)) {
      largest = x;
      at = e.column;
    }
  }
  return {at, largest};
}

// The pivot for the column of node i at one shift: (p, -1) for a 1 x 1 pivot on p,
// (p, q) for a 2 x 2 one, (-1, -1) when the column is exactly zero. Bunch-Kaufman's
// tests look at column i and the column of its largest entry only, which keeps the
// elimination where minimum degree put it; its multipliers can grow, though, where a
// small entry meets a large one. Rook pivoting searches on from column to column until
// the largest entry of a column is also the largest of its row: every multiplier is
// then at most 1 / (1 - alpha), at the price of pivots away from the least degree.
template <int L>
std::pair<int, int> choose_pivot(const Workspace<L>& ws, int i, int lane, bool rook) {
  auto [r, omega_i] = largest_entry(ws.rows[static_cast<std::size_t>(i)], lane);
  const auto diagonal = [&](int node) {
    return std::abs(ws.diagonal[static_cast<std::size_t>(node)][lane]);
  };
  if (omega_i == 0) return {diagonal(i) == 0 ? -1 : i, -1};
  if (diagonal(i) >= kAlpha * omega_i) return {i, -1};
  while (true) {
    const auto [j, omega_r] = largest_entry(ws.rows[static_cast<std::size_t>(r)], lane);
    if (!rook) {
      if (diagonal(i) * omega_r >= kAlpha * omega_i * omega_i) return {i, -1};
      if (diagonal(r) >= kAlpha * omega_r) return {r, -1};
      return {i, r};
    }
    if (diagonal(r) >= kAlpha * omega_r) return {r, -1};
    if (omega_r == omega_i) return {i, r};  // |a_ir| is the largest of both columns
    // The search moves on to a column with a strictly larger entry, so it ends.
    i = r;
    r = j;
    omega_i = omega_r;
  }
}

// Factors A - shift_k I, without the deleted entries, at L shifts at once, with
// Bunch-Kaufman's or rook pivoting: one pass over the pattern, each step taking the
// pivot chosen at the first shift. False when a pivot is exactly zero, or a 2 x 2 pivot
// of the first shift is not a sound one at another (the shifts are then factored one
// by one).
template <int L>
bool factor_lanes(int n_nodes, const std::vector<int>& row_start,
                     const std::vector<int>& column, const std::vector<double>& value,
                     const std::vector<double>& diagonal, const std::array<double, L>& shifts,
                     const std::vector<std::pair<int, int>>& deleted, bool rook,
                     std::array<SparseInertiaCounter::Factorization, L>& out) {
  const auto n = static_cast<std::size_t>(n_nodes);
  Workspace<L>& ws = workspace<L>();
  ws.reset(n);
  for (const auto& [u, v] : deleted) {
    ws.deleted_row[static_cast<std::size_t>(u)] = 1;
    ws.deleted_row[static_cast<std::size_t>(v)] = 1;
  }
  const auto is_deleted = [&](int u, int v) {
    if (!ws.deleted_row[static_cast<std::size_t>(u)] || !ws.deleted_row[static_cast<std::size_t>(v)])
      return false;
    for (const auto& [a, b] : deleted)
      if ((a == u && b == v) || (a == v && b == u)) return true;
    return false;
  };

  // Load A - shift I without the deleted entries, with the row sums of its magnitude.
  for (std::size_t i = 0; i < n; ++i) {
    const int node = static_cast<int>(i);
    const double d = is_deleted(node, node) ? 0.0 : diagonal[i];
    double off_sum = 0.0;
    auto& row = ws.rows[i];
    for (int k = row_start[i]; k < row_start[i + 1]; ++k) {
      const int col = column[static_cast<std::size_t>(k)];
      if (is_deleted(node, col)) continue;
      Entry<L> e{col, {}};
      e.value.fill(value[static_cast<std::size_t>(k)]);
      row.push_back(e);
      off_sum += std::abs(value[static_cast<std::size_t>(k)]);
    }
    for (int k = 0; k < L; ++k) {
      ws.diagonal[i][k] = d - shifts[k];
      ws.row_norm[i][k] = off_sum + std::abs(ws.diagonal[i][k]);
    }
    ws.heap.emplace_back(static_cast<int>(row.size()), node);
  }
  const auto by_degree = std::greater<std::pair<int, int>>();
  std::make_heap(ws.heap.begin(), ws.heap.end(), by_degree);

  out = {};
  std::size_t eliminated = 0;
  while (eliminated < n) {
    std::pop_heap(ws.heap.begin(), ws.heap.end(), by_degree);
    const auto [degree, i] = ws.heap.back();
    ws.heap.pop_back();
    const auto ui = static_cast<std::size_t>(i);
    if (!ws.active[ui] || degree != static_cast<int>(ws.rows[ui].size())) continue;

    // The node of least degree offers its column; Bunch-Kaufman picks the pivot at the
    // first shift, and the others take the same. The error bound of each shift is
    // computed from its own factors, so it does not rest on the choice being theirs.
    const auto [p, q] = choose_pivot(ws, i, 0, rook);
    if (p < 0) return false;

    const auto up = static_cast<std::size_t>(p);
    ws.gathered.clear();
    for (const auto& e : ws.rows[up]) {
      if (e.column == q) continue;
      ws.slot[static_cast<std::size_t>(e.column)] = static_cast<int>(ws.gathered.size());
      ws.gathered.push_back({e.column, e.value, {}, {}, {}});
    }
    if (q >= 0) {
      for (const auto& e : ws.rows[static_cast<std::size_t>(q)]) {
        if (e.column == p) continue;
        const int at = ws.slot[static_cast<std::size_t>(e.column)];
        if (at >= 0) {
          ws.gathered[static_cast<std::size_t>(at)].to_q = e.value;
        } else {
          ws.slot[static_cast<std::size_t>(e.column)] = static_cast<int>(ws.gathered.size());
          ws.gathered.push_back({e.column, {}, e.value, {}, {}});
        }
      }
    }

    // Multipliers, pivot signs and this step's share of |L| |D| |L^T|.
    std::array<double, L> z_p{}, z_q{};
    if (q < 0) {
      for (int k = 0; k < L; ++k) {
        const double d = ws.diagonal[up][k];
        if (d == 0) return false;
        (d > 0 ? out[k].positive : out[k].negative)++;
        double y_p = 1.0;
        for (auto& g : ws.gathered) {
          g.l_p[k] = g.to_p[k] / d;
          y_p += std::abs(g.l_p[k]);
        }
        z_p[k] = std::abs(d) * y_p;
      }
    } else {
      const auto uq = static_cast<std::size_t>(q);
      std::array<double, L> b{};
      for (const auto& e : ws.rows[up])
        if (e.column == q) b = e.value;
      for (int k = 0; k < L; ++k) {
        const double a = ws.diagonal[up][k], c = ws.diagonal[uq][k];
        const double det = a * c - b[k] * b[k];
        // Bunch-Kaufman's tests give |a c| < alpha^2 b^2 at the shift that chose the
        // pivot: an indefinite, well-conditioned block. Another shift must meet the same.
        if (!(std::abs(a * c) < kAlpha * kAlpha * b[k] * b[k]))
          return false;
        ++out[k].positive;
        ++out[k].negative;
        double y_p = 1.0, y_q = 1.0;
        for (auto& g : ws.gathered) {
          g.l_p[k] = (g.to_p[k] * c - g.to_q[k] * b[k]) / det;
          g.l_q[k] = (g.to_q[k] * a - g.to_p[k] * b[k]) / det;
          y_p += std::abs(g.l_p[k]);
          y_q += std::abs(g.l_q[k]);
        }
        z_p[k] = std::abs(a) * y_p + std::abs(b[k]) * y_q;
        z_q[k] = std::abs(b[k]) * y_p + std::abs(c) * y_q;
        ws.lld[uq][k] += z_q[k];
      }
    }
    for (int k = 0; k < L; ++k) ws.lld[up][k] += z_p[k];

    // Schur complement on the neighbours.
    for (auto& g : ws.gathered) {
      const auto ug = static_cast<std::size_t>(g.node);
      ws.slot[ug] = -1;
      for (int k = 0; k < L; ++k)
        ws.lld[ug][k] += std::abs(g.l_p[k]) * z_p[k] + std::abs(g.l_q[k]) * z_q[k];
      ++ws.updates[ug];
      remove_entry(ws.rows[ug], p);
      if (q >= 0) remove_entry(ws.rows[ug], q);
    }
    std::array<double, L> delta;
    for (std::size_t a = 0; a < ws.gathered.size(); ++a) {
      const auto& ga = ws.gathered[a];
      auto& da = ws.diagonal[static_cast<std::size_t>(ga.node)];
      for (int k = 0; k < L; ++k) da[k] -= ga.l_p[k] * ga.to_p[k] + ga.l_q[k] * ga.to_q[k];
      for (std::size_t b = a + 1; b < ws.gathered.size(); ++b) {
        const auto& gb = ws.gathered[b];
        for (int k = 0; k < L; ++k) delta[k] = ga.l_p[k] * gb.to_p[k] + ga.l_q[k] * gb.to_q[k];
        subtract_entry<L>(ws, ga.node, gb.node, delta);
      }
    }
    ws.active[up] = 0;
    ws.rows[up].clear();
    ++eliminated;
    if (q >= 0) {
      ws.active[static_cast<std::size_t>(q)] = 0;
      ws.rows[static_cast<std::size_t>(q)].clear();
      ++eliminated;
    }
    // i may stay active (when r was the pivot): its degree changed too.
    for (const auto& g : ws.gathered) {
      ws.heap.emplace_back(static_cast<int>(ws.rows[static_cast<std::size_t>(g.node)].size()),
                           g.node);
      std::push_heap(ws.heap.begin(), ws.heap.end(), by_degree);
    }
  }

  // Row by row, |E_i.| <= p_i u (|A - s I|_i. + (|L| |D| |L^T|)_i.): a bound on the
  // infinity norm of E, hence on its 2-norm (E is symmetric).
  for (int k = 0; k < L; ++k) {
    double bound = 0.0;
    for (std::size_t i = 0; i < n; ++i)
      bound = std::max(bound, (ws.updates[i] + 4) * (ws.row_norm[i][k] + ws.lld[i][k]));
    out[k].error_bound = kFactorErrorPerUpdate * kUnitRoundoff * bound;
    if (!std::isfinite(out[k].error_bound)) return false;
  }
  return true;
}

}  // namespace

SparseInertiaCounter::SparseInertiaCounter(int n_nodes, const std::vector<WeightedEdge>& edges,
                                           double zero_tolerance)
    : n_nodes_(n_nodes), zero_tolerance_(zero_tolerance) {
  if (n_nodes < 0) throw std::invalid_argument("node count must not be negative");
  std::map<std::pair<int, int>, double> entries;
  for (const auto& e : edges) {
    if (e.u < 0 || e.v < 0 || e.u >= n_nodes || e.v >= n_nodes)
      throw std::out_of_range("edge (" + std::to_string(e.u) + ", " + std::to_string(e.v) +
                              ") names a node outside 0.." + std::to_string(n_nodes - 1));
    entries[std::minmax(e.u, e.v)] = e.weight;
  }
  const auto n = static_cast<std::size_t>(n_nodes);
  diagonal_.assign(n, 0.0);
  // The map's order fills every row in ascending column order.
  std::vector<std::vector<std::pair<int, double>>> rows(n);
  double norm = 0.0;
  std::vector<double> row_sums(n, 0.0);
  for (const auto& [key, w] : entries) {
    if (!std::isfinite(w)) {
      finite_ = false;
      continue;
    }
    if (w == 0) continue;
    const auto u = static_cast<std::size_t>(key.first), v = static_cast<std::size_t>(key.second);
    row_sums[u] += std::abs(w);
    if (u == v) {
      diagonal_[u] = w;
      continue;
    }
    row_sums[v] += std::abs(w);
    rows[u].push_back({key.second, w});
    rows[v].push_back({key.first, w});
  }
  for (double s : row_sums) norm = std::max(norm, s);
  row_start_.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    row_start_[i + 1] = row_start_[i] + static_cast<int>(rows[i].size());
    for (const auto& [col, w] : rows[i]) {
      column_.push_back(col);
      value_.push_back(w);
    }
  }
  if (!finite_ || !std::isfinite(zero_tolerance) || !(zero_tolerance > 0)) return;
  // compute_lpi's eigenvalues are within solver_error of exact ones of its matrix. A
  // count is certified only when no exact eigenvalue lies within twice that of +-tol,
  // whatever the factorization's error inside the rest of the band.
  const double solver_error = kSolverErrorPerNode * n_nodes * kUnitRoundoff * norm;
  band_ = 2.0 * solver_error + kFactorRoom * kUnitRoundoff * norm +
          kBandSlack * kUnitRoundoff * zero_tolerance;
  if (!(band_ <= zero_tolerance / 4)) return;
  // The shifts tol +- band are rounded once: their distance from tol may fall short of
  // the band by a rounding of tol + band.
  allowed_error_ = band_ - 2.0 * solver_error - 4.0 * kUnitRoundoff * (zero_tolerance + band_);
  usable_ = allowed_error_ > 0;
}

std::optional<SparseInertiaCounter::Factorization> SparseInertiaCounter::factor(
    double shift, const std::vector<std::pair<int, int>>& deleted, bool rook) const {
  check_deleted_entries(n_nodes_, deleted);
  return factor_one(shift, deleted, rook);
}

std::optional<SparseInertiaCounter::Factorization> SparseInertiaCounter::factor_one(
    double shift, const std::vector<std::pair<int, int>>& deleted, bool rook) const {
  if (!finite_) return std::nullopt;
  std::array<Factorization, 1> out;
  if (!factor_lanes<1>(n_nodes_, row_start_, column_, value_, diagonal_, {shift}, deleted, rook,
                       out))
    return std::nullopt;
  return out[0];
}

std::optional<LpiCounts> SparseInertiaCounter::counts(
    const std::vector<std::pair<int, int>>& deleted) const {
  check_deleted_entries(n_nodes_, deleted);
  if (!usable_) return std::nullopt;
  // Bunch-Kaufman's pivots first (they keep the fill least); where its multipliers grew
  // too much for a certain count, rook pivoting bounds them.
  if (auto c = counts_with(deleted, false)) return c;
  return counts_with(deleted, true);
}

std::optional<LpiCounts> SparseInertiaCounter::counts_with(
    const std::vector<std::pair<int, int>>& deleted, bool rook) const {
  const double tol = zero_tolerance_;
  const std::array<double, 4> shifts = {tol - band_, tol + band_, -tol - band_, -tol + band_};
  std::array<Factorization, 4> f;
  const bool all = factor_lanes<4>(n_nodes_, row_start_, column_, value_, diagonal_, shifts,
                                   deleted, rook, f);
  // A shift whose pivots, taken from the first shift, did not suit it is factored on
  // its own with pivots of its own (every shift, when the pass stopped early).
  for (std::size_t k = 0; k < 4; ++k) {
    if (all && f[k].error_bound <= allowed_error_) continue;
    const auto one = factor_one(shifts[k], deleted, rook);
    if (!one || !(one->error_bound <= allowed_error_)) return std::nullopt;
    f[k] = *one;
  }
  // Equal counts at both shifts of a pair: no eigenvalue within the band round the
  // tolerance, and none either factorization could have misplaced.
  if (f[0].positive != f[1].positive || f[2].negative != f[3].negative) return std::nullopt;
  const int plus = f[0].positive, minus = f[2].negative;
  return LpiCounts{plus, n_nodes_ - plus - minus, minus};
}

}  // namespace korvane::analysis
