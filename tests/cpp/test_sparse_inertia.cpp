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
#include "graphs.hpp"

using namespace korvane::analysis;

namespace {

using Pairs = std::vector<std::pair<int, int>>;

struct Tally {
  int tested = 0, uncertain = 0, replayed = 0;
};

// Every single deletion of the graph: certified counts equal compute_lpi's, and so do
// those of the replayed pivot order wherever it is certain on its own.
Tally expect_deletions_match(int n, const std::vector<WeightedEdge>& edges, double tol = 1e-9) {
  const SparseInertiaCounter counter(n, edges, tol);
  Tally tally;
  const auto check = [&](const Pairs& gone) {
    ++tally.tested;
    const auto want = direct_counts_without(n, edges, gone, tol);
    const auto where = ::testing::Message()
                       << "deleting " << (gone.empty() ? -1 : gone[0].first) << "-"
                       << (gone.empty() ? -1 : gone[0].second);
    if (const auto replayed = counter.replayed_counts(gone)) {
      ++tally.replayed;
      EXPECT_EQ(*replayed, want) << where << " (replayed)";
    }
    const auto got = counter.counts(gone);
    if (!got) {
      ++tally.uncertain;
      return;
    }
    EXPECT_EQ(*got, want) << where;
  };
  check({});
  for (const auto& e : edges) check({{e.u, e.v}});
  return tally;
}

}  // namespace

TEST(SparseInertia, SmallGraphsWithExactZeros) {
  // Star K1,3 (-sqrt3, 0, 0, sqrt3); path of five (+-sqrt3, +-1, 0); an isolated node; a
  // self-loop, a repeated edge (last weight kept) and a zero weight; no edges at all.
  const std::vector<WeightedEdge> star = {{0, 1, 1.0}, {0, 2, 1.0}, {0, 3, 1.0}};
  EXPECT_EQ(SparseInertiaCounter(4, star, 1e-9).counts(), (LpiCounts{1, 2, 1}));
  EXPECT_EQ(SparseInertiaCounter(4, star, 1e-9).counts({{0, 1}, {2, 0}, {0, 3}}),
            (LpiCounts{0, 4, 0}));
  EXPECT_EQ(expect_deletions_match(4, star).uncertain, 0);
  const std::vector<WeightedEdge> path = {{0, 1, 1.0}, {1, 2, 1.0}, {2, 3, 1.0}, {3, 4, 1.0}};
  EXPECT_EQ(SparseInertiaCounter(6, path, 1e-9).counts(), (LpiCounts{2, 2, 2}));
  EXPECT_EQ(expect_deletions_match(6, path).uncertain, 0);
  const std::vector<WeightedEdge> mixed = {{0, 0, 2.0}, {0, 1, 5.0}, {1, 0, 1.0},
                                           {1, 2, 1.0}, {2, 3, 0.0}, {3, 4, -1.0}};
  EXPECT_EQ(expect_deletions_match(5, mixed).uncertain, 0);
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
  const SparseInertiaCounter not_finite(3, {{0, 1, NAN}, {1, 2, 1.0}}, tol);
  EXPECT_FALSE(not_finite.counts().has_value());
  EXPECT_FALSE(not_finite.factor(0.5, {}).has_value());
  EXPECT_TRUE(SparseInertiaCounter(2, {{0, 1, 1.0}}, 0.0).factor(0.5, {}).has_value());
}

TEST(SparseInertia, AnEigenvalueJustBeyondMinusTolIsNeverGuessed) {
  // A triangle of weight w just above tol: eigenvalues 2w, far above +tol, and -w twice,
  // just beyond -tol (negative by definition, within the band of the shifts round -tol).
  // Only the pair of shifts round -tol can tell that the count there is not certain.
  const double tol = 1e-9, w = tol * (1 + 1e-6);
  const std::vector<WeightedEdge> triangle = {{0, 1, w}, {1, 2, w}, {0, 2, w}, {3, 4, 1.0}};
  const SparseInertiaCounter counter(5, triangle, tol);
  ASSERT_TRUE(counter.usable());
  EXPECT_FALSE(counter.counts().has_value());
  EXPECT_FALSE(counter.replayed_counts({}).has_value());
  // Without the triangle's edges nothing lies near either tolerance.
  EXPECT_EQ(counter.counts({{0, 1}, {1, 2}, {0, 2}}), (LpiCounts{1, 3, 1}));
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
  Tally all;
  for (int trial = 0; trial < 60; ++trial) {
    int n = 0;
    const auto edges = random_orbital_graph(rng, 3 + trial % 23, trial % 4, n, true);
    const Tally t = expect_deletions_match(n, edges);
    all.tested += t.tested;
    all.uncertain += t.uncertain;
    all.replayed += t.replayed;
  }
  // Random trees are full of exact zero eigenvalues; nearly all counts must be certain,
  // and most of them without choosing pivots anew.
  EXPECT_LE(all.uncertain * 50, all.tested);
  EXPECT_GE(all.replayed * 10, all.tested * 8) << all.replayed << " of " << all.tested;
}

TEST(SparseInertia, MoleculesAgreeWithEigenvalues) {
  for (const char* smiles :
       {"CN", "CC(=O)O", "c1ccccc1O", "C=CC#N", "OCC(N)C(=O)O", "FC(F)(F)c1ccc(Cl)cc1",
        "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCC", "c1ccc2cc3ccccc3cc2c1", "[O-][N+](=O)c1ccc(Br)cc1",
        "C1CC2CCC1C2", "OP(=O)(O)OCC1OC(n2cnc3c(N)ncnc32)C(O)C1O", "CS(=O)(=O)N", "[Na+].[Cl-]"}) {
    const auto m = korvane::vif::prepare_vif(smiles, {});
    ASSERT_TRUE(m) << smiles;
    const Tally t = expect_deletions_match(m->graph.n_nodes(), m->graph.edges);
    EXPECT_EQ(t.uncertain, 0) << smiles;
    EXPECT_GE(t.replayed * 10, t.tested * 9) << smiles << ": " << t.replayed << " of " << t.tested;
  }
}

TEST(SparseInertia, ThreadsShareOneCounter) {
  std::mt19937 rng(5);
  int n = 0;
  const auto edges = random_orbital_graph(rng, 40, 3, n, true);
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
