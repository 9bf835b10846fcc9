// Counts by sparse LDL^T factorization against the eigenvalues of compute_lpi.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"
#include "korvane/analysis/sparse_inertia.hpp"
#include "korvane/vif/vif_run.hpp"

using namespace korvane::analysis;

namespace {

using Pairs = std::vector<std::pair<int, int>>;

LpiCounts direct_counts_without(int n, const std::vector<WeightedEdge>& edges, const Pairs& gone,
                                double tol = 1e-9) {
  std::vector<WeightedEdge> kept;
  for (const auto& e : edges) {
    bool drop = false;
    for (const auto& [u, v] : gone) drop |= (e.u == u && e.v == v) || (e.u == v && e.v == u);
    if (!drop) kept.push_back(e);
  }
  return compute_lpi(n, kept, tol).counts;
}

// Every single deletion of the graph: certified counts equal compute_lpi's. Returns how
// many were not certain.
int expect_deletions_match(int n, const std::vector<WeightedEdge>& edges, double tol = 1e-9) {
  const SparseInertiaCounter counter(n, edges, tol);
  int uncertain = 0;
  const auto check = [&](const Pairs& gone) {
    const auto got = counter.counts(gone);
    if (!got) {
      ++uncertain;
      return;
    }
    EXPECT_EQ(*got, direct_counts_without(n, edges, gone, tol))
        << "deleting " << (gone.empty() ? -1 : gone[0].first) << "-"
        << (gone.empty() ? -1 : gone[0].second);
  };
  check({});
  for (const auto& e : edges) check({{e.u, e.v}});
  return uncertain;
}

// Orbital-like random graph: cliques of 1, 4 or 9 nodes joined into a tree by bond
// edges of weight 0.9, plus `rings` extra bonds.
std::vector<WeightedEdge> random_orbital_graph(std::mt19937& rng, int atoms, int rings,
                                               int& n_nodes) {
  std::vector<std::vector<int>> nodes_of;
  std::vector<WeightedEdge> edges;
  n_nodes = 0;
  for (int a = 0; a < atoms; ++a) {
    const int kind = static_cast<int>(rng() % 7);
    const int size = kind < 2 ? 1 : (kind == 6 ? 9 : 4);
    std::vector<int> nodes;
    for (int i = 0; i < size; ++i) nodes.push_back(n_nodes++);
    for (int i = 0; i < size; ++i)
      for (int j = i + 1; j < size; ++j) edges.push_back({nodes[i], nodes[j], 1.0});
    nodes_of.push_back(nodes);
  }
  const auto pick = [&](int a) { return nodes_of[a][rng() % nodes_of[a].size()]; };
  for (int a = 1; a < atoms; ++a) edges.push_back({pick(a), pick(static_cast<int>(rng() % a)), 0.9});
  for (int r = 0; r < rings; ++r) {
    const int a = static_cast<int>(rng() % atoms), b = static_cast<int>(rng() % atoms);
    if (a != b) edges.push_back({pick(a), pick(b), 0.9});
  }
  return edges;
}

}  // namespace

TEST(SparseInertia, SmallGraphsWithExactZeros) {
  // Star K1,3 (-sqrt3, 0, 0, sqrt3); path of five (+-sqrt3, +-1, 0); an isolated node; a
  // self-loop, a repeated edge (last weight kept) and a zero weight; no edges at all.
  const std::vector<WeightedEdge> star = {{0, 1, 1.0}, {0, 2, 1.0}, {0, 3, 1.0}};
  EXPECT_EQ(SparseInertiaCounter(4, star, 1e-9).counts(), (LpiCounts{1, 2, 1}));
  EXPECT_EQ(SparseInertiaCounter(4, star, 1e-9).counts({{0, 1}, {2, 0}, {0, 3}}),
            (LpiCounts{0, 4, 0}));
  EXPECT_EQ(expect_deletions_match(4, star), 0);
  const std::vector<WeightedEdge> path = {{0, 1, 1.0}, {1, 2, 1.0}, {2, 3, 1.0}, {3, 4, 1.0}};
  EXPECT_EQ(SparseInertiaCounter(6, path, 1e-9).counts(), (LpiCounts{2, 2, 2}));
  EXPECT_EQ(expect_deletions_match(6, path), 0);
  const std::vector<WeightedEdge> mixed = {{0, 0, 2.0}, {0, 1, 5.0}, {1, 0, 1.0},
                                           {1, 2, 1.0}, {2, 3, 0.0}, {3, 4, -1.0}};
  EXPECT_EQ(expect_deletions_match(5, mixed), 0);
  EXPECT_EQ(SparseInertiaCounter(3, {}, 1e-9).counts(), (LpiCounts{0, 3, 0}));
  EXPECT_EQ(SparseInertiaCounter(0, {}, 1e-9).counts(), (LpiCounts{0, 0, 0}));
}

TEST(SparseInertia, EigenvalueAtTheToleranceIsNeverGuessed) {
  const double tol = 1e-9;
  // Nodes 0-1 joined by weight tol beside a path: eigenvalues exactly +-tol, counted as
  // zero by definition; the factorization cannot tell and must say so.
  const std::vector<WeightedEdge> at = {{0, 1, tol}, {2, 3, 1.0}};
  EXPECT_FALSE(SparseInertiaCounter(4, at, tol).counts().has_value());
  EXPECT_EQ(SparseInertiaCounter(4, at, tol).counts({{0, 1}}), (LpiCounts{1, 2, 1}));
  const std::vector<WeightedEdge> near = {{0, 1, tol * (1 + 1e-6)}, {2, 3, 1.0}};
  EXPECT_FALSE(SparseInertiaCounter(4, near, tol).counts().has_value());
  // Half a tolerance either side is far outside the band.
  EXPECT_EQ(SparseInertiaCounter(3, {{0, 1, 1.5 * tol}, {1, 2, 1.0}}, tol).counts({{1, 2}}),
            (LpiCounts{1, 1, 1}));
  EXPECT_EQ(SparseInertiaCounter(3, {{0, 1, 0.5 * tol}, {1, 2, 1.0}}, tol).counts({{1, 2}}),
            (LpiCounts{0, 3, 0}));
  // No room for a band, or no finite matrix: never certain.
  EXPECT_FALSE(SparseInertiaCounter(2, {{0, 1, 1.0}}, 0.0).usable());
  EXPECT_FALSE(SparseInertiaCounter(2, {{0, 1, NAN}}, tol).counts().has_value());
}

TEST(SparseInertia, BadInput) {
  EXPECT_THROW(SparseInertiaCounter(2, {{0, 2, 1.0}}, 1e-9), std::out_of_range);
  EXPECT_THROW(SparseInertiaCounter(-1, {}, 1e-9), std::invalid_argument);
  const SparseInertiaCounter c(3, {{0, 1, 1.0}, {1, 2, 1.0}}, 1e-9);
  EXPECT_THROW(c.counts({{0, 1}, {1, 0}}), std::invalid_argument);
  EXPECT_THROW(c.counts({{0, 3}}), std::invalid_argument);
  EXPECT_EQ(c.counts({{0, 2}}), c.counts());  // not an entry: nothing changes
}

TEST(SparseInertia, RandomOrbitalGraphsAgreeWithEigenvalues) {
  std::mt19937 rng(2024);
  int uncertain = 0, tested = 0;
  for (int trial = 0; trial < 60; ++trial) {
    int n = 0;
    const auto edges = random_orbital_graph(rng, 3 + trial % 23, trial % 4, n);
    uncertain += expect_deletions_match(n, edges);
    tested += static_cast<int>(edges.size()) + 1;
  }
  // Random trees are full of exact zero eigenvalues; nearly all counts must be certain.
  EXPECT_LE(uncertain * 50, tested);
}

TEST(SparseInertia, MoleculesAgreeWithEigenvalues) {
  for (const char* smiles :
       {"CN", "CC(=O)O", "c1ccccc1O", "C=CC#N", "OCC(N)C(=O)O", "FC(F)(F)c1ccc(Cl)cc1",
        "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCC", "c1ccc2cc3ccccc3cc2c1", "[O-][N+](=O)c1ccc(Br)cc1",
        "C1CC2CCC1C2", "OP(=O)(O)OCC1OC(n2cnc3c(N)ncnc32)C(O)C1O", "CS(=O)(=O)N", "[Na+].[Cl-]"}) {
    const auto m = korvane::vif::prepare_vif(smiles, {});
    ASSERT_TRUE(m) << smiles;
    EXPECT_EQ(expect_deletions_match(m->graph.n_nodes(), m->graph.edges), 0) << smiles;
  }
}

TEST(SparseInertia, ThreadsShareOneCounter) {
  std::mt19937 rng(5);
  int n = 0;
  const auto edges = random_orbital_graph(rng, 40, 3, n);
  const SparseInertiaCounter counter(n, edges, 1e-9);
  std::vector<std::optional<LpiCounts>> serial;
  for (const auto& e : edges) serial.push_back(counter.counts({{e.u, e.v}}));
  std::vector<std::vector<std::optional<LpiCounts>>> threaded(2);
  std::vector<std::thread> pool;
  for (auto& out : threaded)
    pool.emplace_back([&] {
      for (const auto& e : edges) out.push_back(counter.counts({{e.u, e.v}}));
    });
  for (auto& t : pool) t.join();
  for (const auto& out : threaded) EXPECT_EQ(out, serial);
}
