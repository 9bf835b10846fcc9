// Certified LPI counts by sparse LDL^T factorizations of the shifted matrix, and their
// replay with a few edges deleted.
#include "korvane/analysis/sparse_inertia.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "korvane/analysis/inertia.hpp"  // check_deleted_entries

#include "korvane/analysis/error_bounds.hpp"

namespace korvane::analysis {

namespace {

// Bunch-Kaufman's pivot threshold (1 + sqrt 17) / 8: it bounds the growth of the
// entries at every step by 2.57 and makes every 2 x 2 pivot indefinite.
const double kAlpha = (1.0 + std::sqrt(17.0)) / 8.0;

// Backward error of a block LDL^T factorization with 1 x 1 and 2 x 2 pivots:
// |E| <= p u (|A - s I| + |L| |D| |L^T|), p linear in the number of updates an entry
// takes (Higham, Accuracy and Stability of Numerical Algorithms, ch. 11): each update
// costs an entry about three roundings, and Bunch-Kaufman's 2 x 2 pivots are
// well-conditioned. We take p = 8 (k + 4) for a row that received k updates.
constexpr double kFactorErrorPerUpdate = 8.0;

// Room in the band for the factorization's own error, in units of u ||A||, and slack in
// units of u tol that keeps the band positive for a graph without entries. The band
// then stays near 1e-11 for orbital graphs of a few thousand nodes, a hundredth of the
// default tolerance.
constexpr double kFactorRoom = 4096.0;
constexpr double kBandSlack = 1024.0;

// Windows exact_counts tries, each half as wide as the one before: the last is about a
// two-thousandth of the band, below the least error a factorization reports (tens of
// u ||A||).
constexpr int kExactWindows = 12;

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

// Bunch-Kaufman's choice for a column i whose diagonal d_i is small against its largest
// entry omega_i, found in column r (d_r its diagonal, omega_r its largest other entry).
enum class BkChoice { OnI, OnR, Block };
BkChoice bunch_kaufman(double d_i, double omega_i, double d_r, double omega_r) {
  if (d_i * omega_r >= kAlpha * omega_i * omega_i) return BkChoice::OnI;
  if (d_r >= kAlpha * omega_r) return BkChoice::OnR;
  return BkChoice::Block;
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
      switch (bunch_kaufman(diagonal(i), omega_i, diagonal(r), omega_r)) {
        case BkChoice::OnI: return {i, -1};
        case BkChoice::OnR: return {r, -1};
        case BkChoice::Block: return {i, r};
      }
    }
    if (diagonal(r) >= kAlpha * omega_r) return {r, -1};
    if (omega_r == omega_i) return {i, r};  // |a_ir| is the largest of both columns
    // The search moves on to a column with a strictly larger entry, so it ends.
    i = r;
    r = j;
    omega_i = omega_r;
  }
}

// The entries a factorization leaves out. Rows holding one are flagged (in a
// workspace's vector, sized anew here), so that most lookups cost one test.
class DeletedEntries {
 public:
  DeletedEntries(std::size_t n, const std::vector<std::pair<int, int>>& deleted,
                 std::vector<char>& flags)
      : deleted_(deleted), flags_(flags) {
    flags_.assign(n, 0);
    for (const auto& [u, v] : deleted) {
      flags_[static_cast<std::size_t>(u)] = 1;
      flags_[static_cast<std::size_t>(v)] = 1;
    }
  }
  bool in_row(int u) const { return flags_[static_cast<std::size_t>(u)] != 0; }
  bool operator()(int u, int v) const {
    if (!in_row(u) || !in_row(v)) return false;
    for (const auto& [a, b] : deleted_)
      if ((a == u && b == v) || (a == v && b == u)) return true;
    return false;
  }

 private:
  const std::vector<std::pair<int, int>>& deleted_;
  std::vector<char>& flags_;
};

// One pivot block at shift k: its signs, the neighbours' multipliers, and this step's
// share of |L| |D| |L^T| in the rows of the block and of its neighbours. False for a
// zero 1 x 1 pivot, or a 2 x 2 one that is not indefinite and well-conditioned:
// Bunch-Kaufman's tests give |a c| < alpha^2 b^2 at the shift that chose the pivot, and
// another shift must meet the same.
template <int L, class Neighbours>
bool pivot_lane(Neighbours& joined, std::vector<std::array<double, L>>& lld, int k, int p, int q,
                double a, double b, double c, SparseInertiaCounter::Factorization& f) {
  if (q < 0) {
    if (a == 0) return false;
    (a > 0 ? f.positive : f.negative)++;
    double y_p = 1.0;
    for (auto& g : joined) {
      g.l_p[k] = g.to_p[k] / a;
      g.l_q[k] = 0.0;
      y_p += std::abs(g.l_p[k]);
    }
    const double z_p = std::abs(a) * y_p;
    lld[static_cast<std::size_t>(p)][k] += z_p;
    for (auto& g : joined) lld[static_cast<std::size_t>(g.node)][k] += std::abs(g.l_p[k]) * z_p;
    return true;
  }
  if (!(std::abs(a * c) < kAlpha * kAlpha * b * b)) return false;
  const double det = a * c - b * b;
  ++f.positive;
  ++f.negative;
  double y_p = 1.0, y_q = 1.0;
  for (auto& g : joined) {
    g.l_p[k] = (g.to_p[k] * c - g.to_q[k] * b) / det;
    g.l_q[k] = (g.to_q[k] * a - g.to_p[k] * b) / det;
    y_p += std::abs(g.l_p[k]);
    y_q += std::abs(g.l_q[k]);
  }
  const double z_p = std::abs(a) * y_p + std::abs(b) * y_q;
  const double z_q = std::abs(b) * y_p + std::abs(c) * y_q;
  lld[static_cast<std::size_t>(p)][k] += z_p;
  lld[static_cast<std::size_t>(q)][k] += z_q;
  for (auto& g : joined)
    lld[static_cast<std::size_t>(g.node)][k] += std::abs(g.l_p[k]) * z_p + std::abs(g.l_q[k]) * z_q;
  return true;
}

// One elimination step as it happened: the pivot block (q = -1 for a 1 x 1 pivot) and
// the nodes then joined to it, in the order they were gathered.
struct RecordedStep {
  int p, q;
  std::vector<int> neighbours;
};

// Loads A - shift_k I without the deleted entries into a reset workspace, with the row
// sums of its magnitude, and queues every node by its degree.
template <int L>
void load_shifted(Workspace<L>& ws, std::size_t n, const std::vector<int>& row_start,
                  const std::vector<int>& column, const std::vector<double>& value,
                  const std::vector<double>& diagonal, const std::array<double, L>& shifts,
                  const DeletedEntries& is_deleted) {
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
}

// Gathers the active nodes joined to the pivot block (p, q) with the entries joining
// them to p and q, p's neighbours first; their positions go to `slot`.
template <int L>
void gather_neighbours(Workspace<L>& ws, int p, int q) {
  ws.gathered.clear();
  for (const auto& e : ws.rows[static_cast<std::size_t>(p)]) {
    if (e.column == q) continue;
    ws.slot[static_cast<std::size_t>(e.column)] = static_cast<int>(ws.gathered.size());
    ws.gathered.push_back({e.column, e.value, {}, {}, {}});
  }
  if (q < 0) return;
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

// Eliminates the pivot block (p, q) whose multipliers are set: the Schur complement on
// its neighbours, which are queued again by their new degrees. Returns the number of
// nodes eliminated (1 or 2).
template <int L, class Order>
std::size_t eliminate_block(Workspace<L>& ws, int p, int q, const Order& by_degree) {
  for (auto& g : ws.gathered) {
    const auto ug = static_cast<std::size_t>(g.node);
    ws.slot[ug] = -1;
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
  std::size_t eliminated = 0;
  for (int node : {p, q}) {
    if (node < 0) continue;
    ws.active[static_cast<std::size_t>(node)] = 0;
    ws.rows[static_cast<std::size_t>(node)].clear();
    ++eliminated;
  }
  // i may stay active (when r was the pivot): its degree changed too.
  for (const auto& g : ws.gathered) {
    ws.heap.emplace_back(static_cast<int>(ws.rows[static_cast<std::size_t>(g.node)].size()),
                         g.node);
    std::push_heap(ws.heap.begin(), ws.heap.end(), by_degree);
  }
  return eliminated;
}

// Row by row, |E_i.| <= p_i u (|A - s I|_i. + (|L| |D| |L^T|)_i.): a bound on the
// infinity norm of E, hence on its 2-norm (E is symmetric). False when one is not finite.
template <int L>
bool set_error_bounds(const Workspace<L>& ws, std::size_t n,
                      std::array<SparseInertiaCounter::Factorization, L>& out) {
  for (int k = 0; k < L; ++k) {
    double bound = 0.0;
    for (std::size_t i = 0; i < n; ++i)
      bound = std::max(bound, (ws.updates[i] + 4) * (ws.row_norm[i][k] + ws.lld[i][k]));
    out[k].error_bound = kFactorErrorPerUpdate * kUnitRoundoff * bound;
    if (!std::isfinite(out[k].error_bound)) return false;
  }
  return true;
}

// Factors A - shift_k I, without the deleted entries, at L shifts at once, with
// Bunch-Kaufman's or rook pivoting: one pass over the pattern, each step taking the
// pivot chosen at the first shift. False when a pivot is exactly zero, or a 2 x 2 pivot
// of the first shift is not a sound one at another (the shifts are then factored one
// by one). With `record`, the steps are written there.
template <int L>
bool factor_lanes(int n_nodes, const std::vector<int>& row_start,
                     const std::vector<int>& column, const std::vector<double>& value,
                     const std::vector<double>& diagonal, const std::array<double, L>& shifts,
                     const std::vector<std::pair<int, int>>& deleted, bool rook,
                     std::array<SparseInertiaCounter::Factorization, L>& out,
                     std::vector<RecordedStep>* record = nullptr) {
  const auto n = static_cast<std::size_t>(n_nodes);
  Workspace<L>& ws = workspace<L>();
  ws.reset(n);
  const DeletedEntries is_deleted(n, deleted, ws.deleted_row);
  load_shifted<L>(ws, n, row_start, column, value, diagonal, shifts, is_deleted);
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
    gather_neighbours<L>(ws, p, q);
    if (record) {
      record->push_back({p, q, {}});
      for (const auto& g : ws.gathered) record->back().neighbours.push_back(g.node);
    }

    // Multipliers, pivot signs and this step's share of |L| |D| |L^T|, shift by shift.
    const auto up = static_cast<std::size_t>(p);
    std::array<double, L> off{};  // the entry joining a 2 x 2 block
    if (q >= 0)
      for (const auto& e : ws.rows[up])
        if (e.column == q) off = e.value;
    for (int k = 0; k < L; ++k) {
      const double c = q >= 0 ? ws.diagonal[static_cast<std::size_t>(q)][k] : 0.0;
      if (!pivot_lane<L>(ws.gathered, ws.lld, k, p, q, ws.diagonal[up][k], off[k], c, out[k]))
        return false;
    }
    eliminated += eliminate_block<L>(ws, p, q, by_degree);
  }
  return set_error_bounds<L>(ws, n, out);
}

}  // namespace

// The pivot order of one factorization of the intact matrix, and the entry ids of its
// filled pattern: every step's pivot block, and its neighbours and their pairs.
struct SparseInertiaCounter::Plan {
  struct Step {
    int p, q;         // the pivot block (q = -1 for a 1 x 1 pivot)
    int pq;           // entry id of (p, q), or -1
    int first, last;  // the block's neighbours: neighbour[first .. last)
    int pairs;        // entry ids of neighbour pairs a < b, from pair_entry[pairs] on
  };
  std::vector<Step> steps;
  std::vector<int> neighbour, to_p, to_q;  // node, and entry ids joining it to p and q (-1)
  std::vector<int> pair_entry;
  std::vector<double> entry_value;  // intact value of each entry id (0 for fill)
  std::vector<double> off_sum;      // per node, the sum of |A_ij| over its row
  std::map<std::pair<int, int>, int> entry_id;  // smaller node first
};

namespace {

using Plan = SparseInertiaCounter::Plan;
using Lanes = std::array<double, 4>;

// Nodes set aside from the replay at most; beyond, counts() chooses pivots anew.
constexpr std::size_t kMaxBorder = 16;

// A replayed pivot entry must be at least this fraction of the largest other entry of
// its column: Bunch-Kaufman's first test. (A tenth of it lets more replays through on
// long alkane chains, C200 247 of 601 against 68, but fewer on short ones, C30 203 of
// 272 against 239, where the multipliers then grow past the error bound.)
const double kSoundPivot = kAlpha;

std::shared_ptr<const Plan> make_plan(int n_nodes, const std::vector<int>& row_start,
                                      const std::vector<int>& column,
                                      const std::vector<double>& value,
                                      const std::vector<RecordedStep>& recorded) {
  auto plan = std::make_shared<Plan>();
  const auto n = static_cast<std::size_t>(n_nodes);
  std::vector<char> eliminated(n, 0);
  const auto id = [&plan](int a, int b) {
    const auto [it, fresh] =
        plan->entry_id.emplace(std::minmax(a, b), static_cast<int>(plan->entry_value.size()));
    if (fresh) plan->entry_value.push_back(0.0);
    return it->second;
  };
  for (const auto& r : recorded) {
    Plan::Step step{r.p, r.q, r.q >= 0 ? id(r.p, r.q) : -1,
                    static_cast<int>(plan->neighbour.size()), 0,
                    static_cast<int>(plan->pair_entry.size())};
    for (int g : r.neighbours) {
      plan->neighbour.push_back(g);
      plan->to_p.push_back(id(r.p, g));
      plan->to_q.push_back(r.q >= 0 ? id(r.q, g) : -1);
    }
    step.last = static_cast<int>(plan->neighbour.size());
    for (std::size_t a = 0; a < r.neighbours.size(); ++a)
      for (std::size_t b = a + 1; b < r.neighbours.size(); ++b)
        plan->pair_entry.push_back(id(r.neighbours[a], r.neighbours[b]));
    eliminated[static_cast<std::size_t>(r.p)] = 1;
    if (r.q >= 0) eliminated[static_cast<std::size_t>(r.q)] = 1;
    plan->steps.push_back(step);
  }
  plan->off_sum.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!eliminated[i]) return nullptr;
    for (int k = row_start[i]; k < row_start[i + 1]; ++k) {
      const int col = column[static_cast<std::size_t>(k)];
      plan->off_sum[i] += std::abs(value[static_cast<std::size_t>(k)]);
      // Every entry of the matrix is met by the step that eliminates either end first.
      const auto it = plan->entry_id.find(std::minmax(static_cast<int>(i), col));
      if (it == plan->entry_id.end()) return nullptr;
      plan->entry_value[static_cast<std::size_t>(it->second)] = value[static_cast<std::size_t>(k)];
    }
  }
  return plan;
}

// One thread's replay workspace, kept between calls.
struct ReplayWorkspace {
  std::vector<Lanes> value, diagonal, row_norm, lld;
  std::vector<int> updates;
  std::vector<int> slot;                 // node -> its place among the set-aside nodes, or -1
  std::vector<int> aside;                // the set-aside nodes
  std::vector<std::vector<Lanes>> rows;  // their rows, dense over all nodes
  std::vector<char> deleted_row;
  // One step's neighbours that take part: node, local index (-1 for a set-aside one),
  // entries to the pivot block and multipliers.
  struct Joined {
    int node, local;
    Lanes to_p, to_q, l_p, l_q;
  };
  std::vector<Joined> joined;
};

ReplayWorkspace& replay_workspace() {
  thread_local ReplayWorkspace ws;
  return ws;
}

// Bunch-Kaufman on the dense block of the set-aside nodes, one lane: signs, and the
// error contributions to their rows. False for an exactly zero pivot.
bool factor_aside(ReplayWorkspace& ws, int k, SparseInertiaCounter::Factorization& f,
                  std::vector<int>& updates) {
  const std::size_t m = ws.aside.size();
  std::vector<double> s(m * m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j)
      s[i * m + j] = i == j ? ws.diagonal[static_cast<std::size_t>(ws.aside[i])][k]
                            : ws.rows[i][static_cast<std::size_t>(ws.aside[j])][k];
  std::vector<char> active(m, 1);
  const auto largest = [&](std::size_t i) {
    std::size_t at = m;
    double x = 0.0;
    for (std::size_t j = 0; j < m; ++j)
      if (active[j] && j != i && std::abs(s[i * m + j]) > x) {
        x = std::abs(s[i * m + j]);
        at = j;
      }
    return std::pair<std::size_t, double>{at, x};
  };
  for (std::size_t left = m; left > 0;) {
    std::size_t i = 0;
    while (!active[i]) ++i;
    const auto [r, omega_i] = largest(i);
    std::size_t p = i, q = m;
    if (omega_i != 0 && std::abs(s[i * m + i]) < kAlpha * omega_i) {
      switch (bunch_kaufman(std::abs(s[i * m + i]), omega_i, std::abs(s[r * m + r]),
                            largest(r).second)) {
        case BkChoice::OnI: break;
        case BkChoice::OnR: p = r; break;
        case BkChoice::Block: q = r; break;
      }
    }
    ws.joined.clear();
    for (std::size_t j = 0; j < m; ++j) {
      if (!active[j] || j == p || j == q) continue;
      ReplayWorkspace::Joined g{ws.aside[j], static_cast<int>(j), {}, {}, {}, {}};
      g.to_p[k] = s[p * m + j];
      if (q < m) g.to_q[k] = s[q * m + j];
      if (g.to_p[k] != 0 || g.to_q[k] != 0) ws.joined.push_back(g);
    }
    const double a = s[p * m + p];
    const double b = q < m ? s[p * m + q] : 0.0, c = q < m ? s[q * m + q] : 0.0;
    if (!pivot_lane<4>(ws.joined, ws.lld, k, ws.aside[p], q < m ? ws.aside[q] : -1, a, b, c, f))
      return false;
    for (std::size_t x = 0; x < ws.joined.size(); ++x) {
      const auto& ga = ws.joined[x];
      const auto ua = static_cast<std::size_t>(ga.local);
      ++updates[ua];
      for (std::size_t y = x; y < ws.joined.size(); ++y) {
        const auto& gb = ws.joined[y];
        const auto ub = static_cast<std::size_t>(gb.local);
        const double delta = ga.l_p[k] * gb.to_p[k] + ga.l_q[k] * gb.to_q[k];
        s[ua * m + ub] -= delta;
        if (ub != ua) s[ub * m + ua] = s[ua * m + ub];
      }
    }
    active[p] = 0;
    --left;
    if (q < m) {
      active[q] = 0;
      --left;
    }
  }
  return true;
}

// The intact matrix in compressed rows, as the counter holds it.
struct MatrixRows {
  const std::vector<int>& row_start;
  const std::vector<int>& column;
  const std::vector<double>& value;
  const std::vector<double>& diagonal;
};

// Loads A - shift I without the deleted entries into the plan's entries, with the row
// sums of its magnitude, and empties the set-aside block.
void load_replay(ReplayWorkspace& ws, const Plan& plan, const MatrixRows& a, const Lanes& shifts,
                 const std::vector<std::pair<int, int>>& deleted,
                 const DeletedEntries& is_deleted) {
  const std::size_t n = a.diagonal.size();
  ws.value.resize(plan.entry_value.size());
  for (std::size_t e = 0; e < plan.entry_value.size(); ++e) ws.value[e].fill(plan.entry_value[e]);
  for (const auto& [u, v] : deleted) {
    if (u == v) continue;
    const auto it = plan.entry_id.find(std::minmax(u, v));
    if (it != plan.entry_id.end()) ws.value[static_cast<std::size_t>(it->second)].fill(0.0);
  }
  ws.diagonal.resize(n);
  ws.row_norm.resize(n);
  ws.lld.assign(n, Lanes{});
  ws.updates.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const int node = static_cast<int>(i);
    const double d = is_deleted(node, node) ? 0.0 : a.diagonal[i];
    double off_sum = plan.off_sum[i];
    if (is_deleted.in_row(node)) {
      off_sum = 0.0;
      for (int k = a.row_start[i]; k < a.row_start[i + 1]; ++k)
        if (!is_deleted(node, a.column[static_cast<std::size_t>(k)]))
          off_sum += std::abs(a.value[static_cast<std::size_t>(k)]);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      ws.diagonal[i][k] = d - shifts[k];
      ws.row_norm[i][k] = off_sum + std::abs(ws.diagonal[i][k]);
    }
  }
  ws.slot.assign(n, -1);
  ws.aside.clear();
}

// Gathers the nodes a step joins: the plan's neighbours not set aside, then the
// set-aside nodes whose rows reach the pivot block. Returns how many are the plan's.
std::size_t join_step(ReplayWorkspace& ws, const Plan& plan, const Plan::Step& st) {
  const auto up = static_cast<std::size_t>(st.p);
  const auto uq = static_cast<std::size_t>(std::max(st.q, 0));
  ws.joined.clear();
  for (int x = st.first; x < st.last; ++x) {
    const int g = plan.neighbour[static_cast<std::size_t>(x)];
    if (ws.slot[static_cast<std::size_t>(g)] >= 0) continue;
    ReplayWorkspace::Joined j{g, x - st.first,
                              ws.value[static_cast<std::size_t>(plan.to_p[static_cast<std::size_t>(x)])],
                              {}, {}, {}};
    if (st.q >= 0) j.to_q = ws.value[static_cast<std::size_t>(plan.to_q[static_cast<std::size_t>(x)])];
    ws.joined.push_back(j);
  }
  const std::size_t n_static = ws.joined.size();
  for (std::size_t a = 0; a < ws.aside.size(); ++a) {
    const Lanes& tp = ws.rows[a][up];
    const Lanes tq = st.q >= 0 ? ws.rows[a][uq] : Lanes{};
    bool any = false;
    for (std::size_t k = 0; k < 4; ++k) any = any || tp[k] != 0 || tq[k] != 0;
    if (any) ws.joined.push_back({ws.aside[a], -1 - static_cast<int>(a), tp, tq, {}, {}});
  }
  return n_static;
}

// a, b, c of the step's pivot block [[a, b], [b, c]] at lane k (b = c = 0 for 1 x 1).
std::array<double, 3> block_at(const ReplayWorkspace& ws, const Plan::Step& st, std::size_t k) {
  const auto up = static_cast<std::size_t>(st.p);
  if (st.q < 0) return {ws.diagonal[up][k], 0.0, 0.0};
  return {ws.diagonal[up][k], ws.value[static_cast<std::size_t>(st.pq)][k],
          ws.diagonal[static_cast<std::size_t>(st.q)][k]};
}

// The block must still be a sound pivot at every lane: nonzero, 2 x 2 blocks indefinite
// and well-conditioned as Bunch-Kaufman's are, and its pivot entry (a for 1 x 1, b for
// 2 x 2) not small against the rest of p's column, which keeps the multipliers from
// growing much (the error bound has the last word).
bool sound_block(const ReplayWorkspace& ws, const Plan::Step& st) {
  for (std::size_t k = 0; k < 4; ++k) {
    const auto [a, b, c] = block_at(ws, st, k);
    double omega = 0.0;
    for (const auto& g : ws.joined) omega = std::max(omega, std::abs(g.to_p[k]));
    const bool sound = std::abs(st.q >= 0 ? b : a) >= kSoundPivot * omega &&
                       (st.q >= 0 ? std::abs(a * c) < kAlpha * kAlpha * b * b : a != 0);
    if (!sound) return false;
  }
  return true;
}

// Sets aside a block the deletions have spoilt: its rows, as they are now, join the
// dense block factored last. False when the set-aside block would grow past kMaxBorder.
bool set_aside(ReplayWorkspace& ws, const Plan::Step& st, std::size_t n) {
  if (ws.aside.size() + (st.q >= 0 ? 2 : 1) > kMaxBorder) return false;
  for (int node : {st.p, st.q}) {
    if (node < 0) continue;
    const auto first_new = ws.aside.size();
    ws.slot[static_cast<std::size_t>(node)] = static_cast<int>(first_new);
    ws.aside.push_back(node);
    if (ws.rows.size() < ws.aside.size()) ws.rows.resize(ws.aside.size());
    auto& row = ws.rows[first_new];
    row.assign(n, Lanes{});
    for (const auto& g : ws.joined)
      row[static_cast<std::size_t>(g.node)] = node == st.p ? g.to_p : g.to_q;
  }
  if (st.q >= 0) {
    const auto up = static_cast<std::size_t>(st.p), uq = static_cast<std::size_t>(st.q);
    const Lanes& b = ws.value[static_cast<std::size_t>(st.pq)];
    ws.rows[static_cast<std::size_t>(ws.slot[up])][uq] = b;
    ws.rows[static_cast<std::size_t>(ws.slot[uq])][up] = b;
  }
  // The set-aside neighbours hold the same entries in their own rows already.
  return true;
}

// Schur complement of a replayed step: pairs of the plan's neighbours by their entry
// ids, everything touching a set-aside node in its dense row.
void replay_schur(ReplayWorkspace& ws, const Plan& plan, const Plan::Step& st,
                  std::size_t n_static) {
  const auto g_all = static_cast<std::size_t>(st.last - st.first);
  for (std::size_t x = 0; x < ws.joined.size(); ++x) {
    const auto& ga = ws.joined[x];
    const auto ua = static_cast<std::size_t>(ga.node);
    ++ws.updates[ua];
    for (std::size_t k = 0; k < 4; ++k)
      ws.diagonal[ua][k] -= ga.l_p[k] * ga.to_p[k] + ga.l_q[k] * ga.to_q[k];
    for (std::size_t y = x + 1; y < ws.joined.size(); ++y) {
      const auto& gb = ws.joined[y];
      Lanes delta;
      for (std::size_t k = 0; k < 4; ++k)
        delta[k] = ga.l_p[k] * gb.to_p[k] + ga.l_q[k] * gb.to_q[k];
      if (y < n_static) {
        const auto ia = static_cast<std::size_t>(ga.local), ib = static_cast<std::size_t>(gb.local);
        const std::size_t pair =
            static_cast<std::size_t>(st.pairs) + ia * g_all - ia * (ia + 1) / 2 + (ib - ia - 1);
        auto& v = ws.value[static_cast<std::size_t>(plan.pair_entry[pair])];
        for (std::size_t k = 0; k < 4; ++k) v[k] -= delta[k];
        continue;
      }
      // gb is set aside (the set-aside nodes come last); so is ga when x >= n_static.
      auto& in_b = ws.rows[static_cast<std::size_t>(-1 - gb.local)][ua];
      for (std::size_t k = 0; k < 4; ++k) in_b[k] -= delta[k];
      if (x >= n_static)
        ws.rows[static_cast<std::size_t>(-1 - ga.local)][static_cast<std::size_t>(gb.node)] = in_b;
    }
  }
}

// Whether the row bound of a node the last step touched, (updates + 4) (|A - s I| +
// |L| |D| |L^T|) row sums, already exceeds what `allowed` admits at some lane. Updates
// and |L| |D| |L^T| only grow, so the replay's bound would too: it stops here instead
// of at the end. (A set-aside node stays joined to every later pivot of a long chain,
// one update each: C400's replays mostly failed on it after the last step.)
bool bound_passed(const ReplayWorkspace& ws, double allowed) {
  const double limit = allowed / (kFactorErrorPerUpdate * kUnitRoundoff);
  for (const auto& g : ws.joined) {
    const auto i = static_cast<std::size_t>(g.node);
    for (std::size_t k = 0; k < 4; ++k)
      if ((ws.updates[i] + 4) * (ws.row_norm[i][k] + ws.lld[i][k]) > limit) return true;
  }
  return false;
}

}  // namespace

// A failed replay costs about a third of the factorization that follows it (less when
// its error bound stops it early): below one certain replay in four, the replay is left
// out, once this many have been tried. Drug-sized graphs replay most deletions, C200's
// chain 247 of 601, C400's 68 of 1201.
constexpr int kReplayTrials = 32;
constexpr int kReplayShare = 4;

struct SparseInertiaCounter::ReplayTally {
  std::atomic<int> tried{0}, certain{0};
  bool worth_trying() const {
    const int t = tried.load(std::memory_order_relaxed);
    return t < kReplayTrials || certain.load(std::memory_order_relaxed) * kReplayShare >= t;
  }
  void record(bool was_certain) {
    tried.fetch_add(1, std::memory_order_relaxed);
    if (was_certain) certain.fetch_add(1, std::memory_order_relaxed);
  }
};

SparseInertiaCounter::SparseInertiaCounter(int n_nodes, const std::vector<WeightedEdge>& edges,
                                           double zero_tolerance)
    : n_nodes_(n_nodes),
      zero_tolerance_(zero_tolerance),
      replay_tally_(std::make_shared<ReplayTally>()) {
  check_edges(n_nodes, edges);
  std::map<std::pair<int, int>, double> entries;
  for (const auto& e : edges) entries[std::minmax(e.u, e.v)] = e.weight;
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
  const double solver_error = kSolverEigenvalueErrorPerNode * n_nodes * kUnitRoundoff * norm;
  band_ = 2.0 * solver_error + kFactorRoom * kUnitRoundoff * norm +
          kBandSlack * kUnitRoundoff * zero_tolerance;
  if (!(band_ <= zero_tolerance / 4)) return;
  // The shifts tol +- band are rounded once: their distance from tol may fall short of
  // the band by a rounding of tol + band.
  allowed_error_ = band_ - 2.0 * solver_error - 4.0 * kUnitRoundoff * (zero_tolerance + band_);
  usable_ = allowed_error_ > 0;
  if (!usable_) return;
  std::vector<RecordedStep> recorded;
  std::array<Factorization, 1> intact;
  if (factor_lanes<1>(n_nodes_, row_start_, column_, value_, diagonal_, {zero_tolerance - band_},
                      {}, false, intact, &recorded))
    plan_ = make_plan(n_nodes_, row_start_, column_, value_, recorded);
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
  return counts_in(deleted, {band_, allowed_error_});
}

std::optional<LpiCounts> SparseInertiaCounter::counts_in(
    const std::vector<std::pair<int, int>>& deleted, const Window& window) const {
  // The replay first, while it pays; then Bunch-Kaufman's pivots (they keep the fill
  // least); where its multipliers grew too much for a certain count, rook pivoting
  // bounds them.
  std::optional<LpiCounts> c;
  if (replay_tally_->worth_trying()) {
    c = replay(deleted, window);
    replay_tally_->record(c.has_value());
  }
  if (!c) c = counts_with(deleted, false, window);
  if (!c) c = counts_with(deleted, true, window);
  return c;
}

std::optional<LpiCounts> SparseInertiaCounter::exact_counts(
    const std::vector<std::pair<int, int>>& deleted) const {
  check_deleted_entries(n_nodes_, deleted);
  if (!usable_) return std::nullopt;
  // A window decides when it is wider than the factorizations' errors and narrower than
  // the distance of the nearest eigenvalue from +-tol. Halving each time finds such a
  // window wherever that distance is at least twice the errors: an eighth stepped over
  // an eigenvalue 5e-13 from tol with errors of 1e-13 (1118 nodes). Every window is
  // tried: an error met in a wider one does not bound a narrower one's, whose stricter
  // limit sends a shift that the shared pivots of a pass suit badly to be factored on
  // its own (an error of 1e-11 in the pass, 1e-13 alone, for an eigenvalue 8e-12 from
  // tol at 4800 nodes).
  double band = band_;
  for (int step = 0; step < kExactWindows; ++step, band /= 2) {
    // Only the shifts' own rounding separates them from +-tol by less than the band.
    const double allowed = band - 4.0 * kUnitRoundoff * (zero_tolerance_ + band);
    if (!(allowed > 0)) return std::nullopt;
    if (auto c = counts_in(deleted, {band, allowed})) return c;
  }
  return std::nullopt;
}

std::optional<LpiCounts> SparseInertiaCounter::replayed_counts(
    const std::vector<std::pair<int, int>>& deleted) const {
  check_deleted_entries(n_nodes_, deleted);
  if (!usable_) return std::nullopt;
  return replay(deleted, {band_, allowed_error_});
}

std::optional<LpiCounts> SparseInertiaCounter::replay(
    const std::vector<std::pair<int, int>>& deleted, const Window& window) const {
  if (!plan_) return std::nullopt;
  const Plan& plan = *plan_;
  const auto n = static_cast<std::size_t>(n_nodes_);
  const double tol = zero_tolerance_, band = window.band;
  const Lanes shifts = {tol - band, tol + band, -tol - band, -tol + band};
  ReplayWorkspace& ws = replay_workspace();
  const DeletedEntries is_deleted(n, deleted, ws.deleted_row);
  load_replay(ws, plan, {row_start_, column_, value_, diagonal_}, shifts, deleted, is_deleted);

  std::array<Factorization, 4> lanes{};
  for (const auto& st : plan.steps) {
    const std::size_t n_static = join_step(ws, plan, st);
    if (!sound_block(ws, st)) {
      if (!set_aside(ws, st, n)) return std::nullopt;
      continue;
    }
    for (std::size_t k = 0; k < 4; ++k) {  // sound, so none fails
      const auto [a, b, c] = block_at(ws, st, k);
      pivot_lane<4>(ws.joined, ws.lld, static_cast<int>(k), st.p, st.q, a, b, c, lanes[k]);
    }
    replay_schur(ws, plan, st, n_static);
    if (bound_passed(ws, window.allowed)) return std::nullopt;
  }

  // The set-aside block last, each lane with pivots of its own; then the bound of every
  // row, |E_i.| <= p_i u (|A - s I|_i. + (|L| |D| |L^T|)_i.).
  std::vector<int> aside_updates;
  for (std::size_t k = 0; k < 4; ++k) {
    aside_updates.assign(ws.aside.size(), 0);
    if (!factor_aside(ws, static_cast<int>(k), lanes[k], aside_updates)) return std::nullopt;
    double bound = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const int slot = ws.slot[i];
      const int updates =
          ws.updates[i] + (slot >= 0 ? aside_updates[static_cast<std::size_t>(slot)] : 0);
      bound = std::max(bound, (updates + 4) * (ws.row_norm[i][k] + ws.lld[i][k]));
    }
    lanes[k].error_bound = kFactorErrorPerUpdate * kUnitRoundoff * bound;
    if (!(lanes[k].error_bound <= window.allowed)) return std::nullopt;
  }
  return counts_if_shifts_agree(n_nodes_, {lanes[0].positive, lanes[1].positive},
                                {lanes[2].negative, lanes[3].negative});
}

std::optional<LpiCounts> SparseInertiaCounter::counts_with(
    const std::vector<std::pair<int, int>>& deleted, bool rook, const Window& window) const {
  const double tol = zero_tolerance_, band = window.band;
  const std::array<double, 4> shifts = {tol - band, tol + band, -tol - band, -tol + band};
  std::array<Factorization, 4> f;
  const bool all = factor_lanes<4>(n_nodes_, row_start_, column_, value_, diagonal_, shifts,
                                   deleted, rook, f);
  // A shift whose pivots, taken from the first shift, did not suit it is factored on
  // its own with pivots of its own (every shift, when the pass stopped early).
  for (std::size_t k = 0; k < 4; ++k) {
    if (all && f[k].error_bound <= window.allowed) continue;
    const auto one = factor_one(shifts[k], deleted, rook);
    if (!one || !(one->error_bound <= window.allowed)) return std::nullopt;
    f[k] = *one;
  }
  return counts_if_shifts_agree(n_nodes_, {f[0].positive, f[1].positive},
                                {f[2].negative, f[3].negative});
}

}  // namespace korvane::analysis
