// The soft-bond test of every candidate edge: by one decomposition, by its update, or by
// sparse factorizations, as soft_edge_method chooses.
#include "korvane/analysis/soft_bonds.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>  // call_once
#include <optional>
#include <stdexcept>
#include <string>

#include "korvane/analysis/error_bounds.hpp"  // check_edges, check_edge_weights, ends_in_range
#include "korvane/analysis/inertia.hpp"  // make_deletion_counter, certified_counts
#include "korvane/analysis/sparse_inertia.hpp"
#include "korvane/common/interrupt.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/common/pair_key.hpp"

namespace korvane::analysis {

namespace {

// Below this many present candidates one decomposition with eigenvectors (three to
// five times the cost of one without) does not pay for itself.
constexpr int kMinUpdateCandidates = 6;

// From this many nodes on, the LPI's eigenvalues alone plus the sparse factorizations
// (replaying the intact matrix's pivot order) beat the decomposition with eigenvectors
// plus the rank-2 updates (measured on alkanes, polyglycines and NCI molecules of 60 to
// 260 nodes: at 60 the update path takes 0.7 times as long, at 100 they are even, at
// 150 to 250 the factorizations take 0.5 to 0.85 times as long).
constexpr int kMinFactorNodes = 100;

// Without the resolvent table (large graphs), a part this small is decomposed on its
// own rather than through the whole graph, whose entries then cost O(n) each.
constexpr int kMinPartNodesForWhole = 48;

// Up to this order, the whole graph's resolvent is tabulated once for its parts' tests.
constexpr int kMaxResolventTableNodes = 256;

// Parts whose boundary has more matrix entries than this are decomposed on their own:
// the update's cost grows with the square of the entries it deletes.
constexpr std::size_t kMaxBoundaryEntries = 12;

using Pair = std::pair<int, int>;

// Matrix entry of each listed node pair, as adjacency_matrix builds it: an edge listed
// twice keeps its last weight.
std::map<Pair, double> entry_weights(const std::vector<WeightedEdge>& edges) {
  std::map<Pair, double> w;
  for (const auto& e : edges) w[pair_key(e.u, e.v)] = e.weight;
  return w;
}

// True when the update may run: compute_lpi would accept the whole edge list, so the
// update raises no error the direct test would not.
bool edges_valid(int n_nodes, const std::vector<WeightedEdge>& edges) {
  if (n_nodes <= 0) return false;
  return std::all_of(edges.begin(), edges.end(), [n_nodes](const WeightedEdge& e) {
    return ends_in_range(n_nodes, e.u, e.v);
  });
}

// Counts of the graph without any listed copy of the edge u-v, by compute_lpi.
LpiCounts direct_counts(int n_nodes, const std::vector<WeightedEdge>& edges, int u, int v,
                        double zero_tolerance, std::uint64_t max_bytes,
                        std::vector<WeightedEdge>& edited) {
  edited.clear();
  std::copy_if(edges.begin(), edges.end(), std::back_inserter(edited),
               [u, v](const WeightedEdge& e) {
                 return !((e.u == u && e.v == v) || (e.u == v && e.v == u));
               });
  return compute_lpi(n_nodes, edited, zero_tolerance, max_bytes).counts;
}

SoftTest verdict(const LpiCounts& perturbed, const LpiCounts& baseline) {
  return perturbed == baseline ? SoftTest::Soft : SoftTest::Essential;
}

// The candidates' entries: nullopt for a pair the graph does not join.
std::vector<std::optional<double>> candidate_entries(const std::vector<WeightedEdge>& edges,
                                                     const std::vector<Pair>& candidates,
                                                     int& present) {
  const auto weights = entry_weights(edges);
  std::vector<std::optional<double>> out;
  out.reserve(candidates.size());
  present = 0;
  for (const auto& [u, v] : candidates) {
    const auto it = weights.find(pair_key(u, v));
    if (it == weights.end()) {
      out.emplace_back();
    } else {
      out.emplace_back(it->second);
      ++present;
    }
  }
  return out;
}

// Whether the exact counts of the intact matrix (found once, at the first candidate
// that asks) are the baseline: only then may a candidate's exact counts be compared
// with it. A baseline that compute_lpi's solver placed otherwise than the exact
// eigenvalues lie is compared with compute_lpi's counts, as the definition does.
class ExactBaseline {
 public:
  bool holds(const SparseInertiaCounter& sparse, const LpiCounts& baseline) {
    if (!known_) {
      const auto intact = sparse.exact_counts();
      holds_ = intact && *intact == baseline;
      known_ = true;
    }
    return holds_;
  }

 private:
  bool known_ = false, holds_ = false;
};

// The soft-bond test of `candidates` against `baseline`, or against the graph's own
// counts when `baseline` is null.
std::vector<SoftTest> run_test(int n_nodes, const std::vector<WeightedEdge>& edges,
                               const std::vector<Pair>& candidates, const LpiCounts* baseline,
                               double zero_tolerance, SoftEdgeMethod method,
                               SoftEdgeStats* stats, const DeletionCounter* given,
                               std::uint64_t max_bytes) {
  require_analysis_budget(n_nodes, max_bytes);
  // Checked first: deleting an edge past the last node would leave a valid graph whose
  // counts match the baseline, and such a candidate would be called soft.
  check_zero_tolerance(zero_tolerance);
  check_edges(n_nodes, edges);
  check_edge_weights(edges);
  SoftEdgeStats local;
  SoftEdgeStats& st = stats ? *stats : local;
  st = SoftEdgeStats{};
  int present = 0;
  const auto entries = candidate_entries(edges, candidates, present);
  st.tested = present;
  if (method == SoftEdgeMethod::Auto)
    method = given ? SoftEdgeMethod::Update : soft_edge_method(n_nodes, present);
  if (!edges_valid(n_nodes, edges)) method = SoftEdgeMethod::Direct;

  std::vector<SoftTest> out;
  out.reserve(candidates.size());
  std::vector<WeightedEdge> edited;
  edited.reserve(edges.size());
  if (method == SoftEdgeMethod::Direct) {
    if (!baseline) {
      st.baseline = compute_lpi(n_nodes, edges, zero_tolerance, max_bytes).counts;
      st.baseline_direct = true;
    } else {
      st.baseline = *baseline;
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      check_interrupt();  // each candidate costs an eigen-decomposition
      if (!entries[i]) {
        out.push_back(SoftTest::Absent);
        continue;
      }
      const auto [u, v] = candidates[i];
      out.push_back(verdict(direct_counts(n_nodes, edges, u, v, zero_tolerance, max_bytes, edited),
                            st.baseline));
      ++st.fallbacks;
    }
    return out;
  }

  // Update: the decomposition's counts first. Where they are not certain (or from the
  // start, for Factor), the sparse factorizations; where neither is, the direct
  // decomposition decides.
  std::optional<DeletionCounter> made;
  const DeletionCounter* counter = nullptr;
  std::optional<SparseInertiaCounter> sparse;
  if (method == SoftEdgeMethod::Update) {
    if (given && (given->n_nodes != n_nodes || given->zero_tolerance != zero_tolerance))
      throw std::invalid_argument("the deletion counter was made for another graph or tolerance");
    if (!given) made = make_deletion_counter(n_nodes, edges, zero_tolerance);
    counter = given ? given : &*made;
    st.decomposed = !given;
  } else {
    sparse.emplace(n_nodes, edges, zero_tolerance);
  }
  if (baseline) {
    st.baseline = *baseline;
  } else if (const auto own = counter ? certified_counts(*counter, {}) : sparse->counts()) {
    st.baseline = *own;
  } else {
    st.baseline = compute_lpi(n_nodes, edges, zero_tolerance, max_bytes).counts;
    st.baseline_direct = true;
  }
  ExactBaseline exact_baseline;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    check_interrupt();
    if (!entries[i]) {
      out.push_back(SoftTest::Absent);
      continue;
    }
    const auto [u, v] = candidates[i];
    std::optional<LpiCounts> counts;
    if (counter) counts = certified_counts(*counter, {{u, v}});
    if (!counts) {
      if (!sparse) sparse.emplace(n_nodes, edges, zero_tolerance);
      counts = sparse->counts({{u, v}});
      if (counts && counter) ++st.factored;
    }
    if (!counts && exact_baseline.holds(*sparse, st.baseline)) {
      counts = sparse->exact_counts({{u, v}});
      if (counts) ++st.exact;
    }
    if (!counts) {
      counts = direct_counts(n_nodes, edges, u, v, zero_tolerance, max_bytes, edited);
      ++st.fallbacks;
    }
    out.push_back(verdict(*counts, st.baseline));
  }
  return out;
}

}  // namespace

std::vector<SoftTest> detect_soft_edges(int n_nodes, const std::vector<WeightedEdge>& edges,
                                        const std::vector<Pair>& candidates,
                                        const LpiCounts& baseline, double zero_tolerance,
                                        SoftEdgeStats* stats, const DeletionCounter* counter,
                                        std::uint64_t max_bytes) {
  return run_test(n_nodes, edges, candidates, &baseline, zero_tolerance, SoftEdgeMethod::Auto,
                  stats, counter, max_bytes);
}

SoftEdgeMethod soft_edge_method(int n_nodes, int present_candidates) {
  if (present_candidates < kMinUpdateCandidates) return SoftEdgeMethod::Direct;
  return n_nodes >= kMinFactorNodes ? SoftEdgeMethod::Factor : SoftEdgeMethod::Update;
}

std::vector<SoftTest> detect_soft_edges_fast(int n_nodes, const std::vector<WeightedEdge>& edges,
                                             const std::vector<Pair>& candidates,
                                             const LpiCounts& baseline, double zero_tolerance,
                                             SoftEdgeStats* stats, SoftEdgeMethod method,
                                             std::uint64_t max_bytes) {
  return run_test(n_nodes, edges, candidates, &baseline, zero_tolerance, method, stats, nullptr,
                  max_bytes);
}

std::vector<SoftTest> detect_soft_edges_direct(int n_nodes, const std::vector<WeightedEdge>& edges,
                                               const std::vector<Pair>& candidates,
                                               const LpiCounts& baseline, double zero_tolerance,
                                               std::uint64_t max_bytes) {
  require_analysis_budget(n_nodes, max_bytes);
  check_zero_tolerance(zero_tolerance);
  check_edges(n_nodes, edges);
  check_edge_weights(edges);
  std::vector<SoftTest> out;
  out.reserve(candidates.size());
  std::vector<WeightedEdge> edited;
  edited.reserve(edges.size());
  for (const auto& [u, v] : candidates) {
    check_interrupt();  // each candidate costs an eigen-decomposition
    const auto same_pair = [u = u, v = v](const WeightedEdge& e) {
      return (e.u == u && e.v == v) || (e.u == v && e.v == u);
    };
    if (std::none_of(edges.begin(), edges.end(), same_pair)) {
      out.push_back(SoftTest::Absent);
      continue;
    }
    // Each candidate is tested against the intact graph: only its own edge is missing.
    out.push_back(
        verdict(direct_counts(n_nodes, edges, u, v, zero_tolerance, max_bytes, edited), baseline));
  }
  return out;
}

std::vector<SoftTest> detect_soft_edges_own_lpi(int n_nodes, const std::vector<WeightedEdge>& edges,
                                                const std::vector<Pair>& candidates,
                                                double zero_tolerance, SoftEdgeMethod method,
                                                SoftEdgeStats* stats, std::uint64_t max_bytes) {
  require_analysis_budget(n_nodes, max_bytes);
  check_zero_tolerance(zero_tolerance);
  if (candidates.empty()) {
    if (stats) *stats = SoftEdgeStats{};
    return {};
  }
  return run_test(n_nodes, edges, candidates, nullptr, zero_tolerance, method, stats, nullptr,
                  max_bytes);
}

struct SoftEdgeContext::Spectrum {
  bool valid = false;  // the edge list is one compute_lpi accepts
  std::map<Pair, double> entries;
  std::shared_ptr<const DeletionCounter> counter;
  // Made at the first part tested through the whole graph, for graphs small enough that
  // its four n x n matrices cost little next to summing the entries part by part.
  std::once_flag table_once;
  ResolventTable table;

  const ResolventTable* resolvent_table() {
    if (counter->n_nodes > kMaxResolventTableNodes) return nullptr;
    std::call_once(table_once, [this] { table = make_resolvent_table(*counter); });
    return &table;
  }
};

SoftEdgeContext::SoftEdgeContext(int n_nodes, std::vector<WeightedEdge> edges,
                                 double zero_tolerance, std::uint64_t max_bytes)
    : n_nodes_(n_nodes),
      edges_(std::move(edges)),
      zero_tolerance_(zero_tolerance),
      max_bytes_(max_bytes),
      spectrum_(std::make_unique<Spectrum>()) {
  require_analysis_budget(n_nodes_, max_bytes_);
  check_zero_tolerance(zero_tolerance_);
  spectrum_->valid = edges_valid(n_nodes_, edges_);
  if (!spectrum_->valid) return;
  spectrum_->entries = entry_weights(edges_);
  spectrum_->counter = std::make_shared<const DeletionCounter>(
      make_deletion_counter(n_nodes_, edges_, zero_tolerance_));
}

SoftEdgeContext::SoftEdgeContext(std::vector<WeightedEdge> edges,
                                 std::shared_ptr<const DeletionCounter> counter,
                                 std::uint64_t max_bytes)
    : n_nodes_(counter ? counter->n_nodes : 0),
      edges_(std::move(edges)),
      zero_tolerance_(counter ? counter->zero_tolerance : 0.0),
      max_bytes_(max_bytes),
      spectrum_(std::make_unique<Spectrum>()) {
  if (!counter) throw std::invalid_argument("a soft-edge context needs a deletion counter");
  spectrum_->valid = edges_valid(n_nodes_, edges_);
  if (!spectrum_->valid) return;
  spectrum_->entries = entry_weights(edges_);
  if (counter->usable && counter->entries != spectrum_->entries)
    throw std::invalid_argument("the deletion counter was made for another graph");
  spectrum_->counter = std::move(counter);
}

SoftEdgeContext::~SoftEdgeContext() = default;

std::vector<SoftTest> SoftEdgeContext::detect_in_part(const std::vector<int>& part_nodes,
                                                      const std::vector<Pair>& candidates,
                                                      SoftEdgeStats* stats) const {
  SoftEdgeStats local;
  SoftEdgeStats& st = stats ? *stats : local;
  st = SoftEdgeStats{};
  if (candidates.empty()) return {};
  if (!spectrum_->valid)
    throw std::invalid_argument("the whole graph of a soft-edge context has an edge outside it");
  // Local ids in node-id order, as the induced subgraph numbers them.
  std::vector<int> local_id(static_cast<std::size_t>(n_nodes_), -1);
  int m = 0;
  for (int node : part_nodes) {
    if (node < 0 || node >= n_nodes_)
      throw std::out_of_range("part node " + std::to_string(node) + " is outside the graph");
    if (local_id[static_cast<std::size_t>(node)] >= 0)
      throw std::invalid_argument("part node " + std::to_string(node) + " is listed twice");
    local_id[static_cast<std::size_t>(node)] = m++;
  }
  const auto inside = [&](int node) {
    return node >= 0 && node < n_nodes_ && local_id[static_cast<std::size_t>(node)] >= 0;
  };
  std::vector<WeightedEdge> sub;
  std::vector<Pair> boundary;
  for (const auto& e : edges_) {
    if (inside(e.u) && inside(e.v))
      sub.push_back({local_id[static_cast<std::size_t>(e.u)],
                     local_id[static_cast<std::size_t>(e.v)], e.weight});
  }
  for (const auto& [key, w] : spectrum_->entries)
    if (inside(key.first) != inside(key.second) && w != 0)
      boundary.push_back(key);

  std::vector<Pair> local_candidates;
  local_candidates.reserve(candidates.size());
  for (const auto& [u, v] : candidates)
    local_candidates.emplace_back(inside(u) ? local_id[static_cast<std::size_t>(u)] : -1,
                                  inside(v) ? local_id[static_cast<std::size_t>(v)] : -1);
  const auto on_its_own = [&] {
    return detect_soft_edges_own_lpi(m, sub, local_candidates, zero_tolerance_,
                                     SoftEdgeMethod::Auto, &st, max_bytes_);
  };
  if (boundary.size() > kMaxBoundaryEntries) return on_its_own();
  const ResolventTable* table = spectrum_->resolvent_table();
  if (table == nullptr && m < kMinPartNodesForWhole) return on_its_own();
  // The part's matrix plus the rest's is the whole matrix without its boundary entries.
  const SharedDeletionCounts cut(*spectrum_->counter, boundary, table);
  const auto& split = cut.shared_counts();
  if (!split) return on_its_own();

  std::vector<SoftTest> out;
  out.reserve(candidates.size());
  // For the candidates the update leaves uncertain: the part's own counts, from sparse
  // factorizations of the part or, where those are not certain either, from compute_lpi.
  std::optional<SparseInertiaCounter> sparse;
  std::optional<LpiCounts> part_baseline;
  ExactBaseline exact_baseline;
  std::vector<WeightedEdge> edited;
  st.decomposed = true;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    check_interrupt();
    const auto [u, v] = candidates[i];
    const auto it = spectrum_->entries.find(pair_key(u, v));
    if (!inside(u) || !inside(v) || it == spectrum_->entries.end()) {
      out.push_back(SoftTest::Absent);
      continue;
    }
    ++st.tested;
    if (const auto counts = cut.counts_with(u, v)) {
      out.push_back(verdict(*counts, *split));
      continue;
    }
    if (!sparse) {
      sparse.emplace(m, sub, zero_tolerance_);
      part_baseline = sparse->counts();
      if (!part_baseline) {
        part_baseline = compute_lpi(m, sub, zero_tolerance_, max_bytes_).counts;
        st.baseline_direct = true;
      }
    }
    const auto [lu, lv] = local_candidates[i];
    auto counts = sparse->counts({{lu, lv}});
    if (counts) ++st.factored;
    if (!counts && exact_baseline.holds(*sparse, *part_baseline)) {
      counts = sparse->exact_counts({{lu, lv}});
      if (counts) ++st.exact;
    }
    if (!counts) {
      ++st.fallbacks;
      counts = direct_counts(m, sub, lu, lv, zero_tolerance_, max_bytes_, edited);
    }
    out.push_back(verdict(*counts, *part_baseline));
  }
  if (part_baseline) st.baseline = *part_baseline;
  return out;
}

}  // namespace korvane::analysis
