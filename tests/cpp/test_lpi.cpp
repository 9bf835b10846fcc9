// The LPI of weighted graphs, and the soft-edge test against the intact graph.
#include <gtest/gtest.h>

#include "korvane/analysis/lpi.hpp"
#include "korvane/analysis/soft_bonds.hpp"

using namespace korvane::analysis;

namespace {

// Water's orbital graph: K4 on the oxygen (weight 1), two hydrogens on different
// oxygen nodes (weight 0.9).
std::vector<WeightedEdge> water_edges() {
  std::vector<WeightedEdge> e;
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b) e.push_back({a, b, 1.0});
  e.push_back({0, 4, 0.9});
  e.push_back({1, 5, 0.9});
  return e;
}

}  // namespace

TEST(LpiSignature, EmptyAndEdgelessGraphs) {
  const auto empty = compute_lpi(0, {});
  EXPECT_EQ(empty.counts, (LpiCounts{0, 0, 0}));
  EXPECT_TRUE(empty.eigenvalues.empty());
  const auto edgeless = compute_lpi(5, {});
  EXPECT_EQ(edgeless.counts, (LpiCounts{0, 5, 0}));
}

TEST(LpiSignature, SingleEdgeAndWaterSpectrum) {
  const auto one = compute_lpi(2, {{0, 1, 1.0}});
  EXPECT_EQ(one.counts, (LpiCounts{1, 0, 1}));
  EXPECT_NEAR(one.eigenvalues[0], -1.0, 1e-12);
  EXPECT_NEAR(one.eigenvalues[1], 1.0, 1e-12);

  const auto water = compute_lpi(6, water_edges());
  EXPECT_EQ(water.counts, (LpiCounts{3, 0, 3}));
  const double expected[] = {-1.53, -1.328, -1.0, 0.195, 0.53, 3.133};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(water.eigenvalues[i], expected[i], 6e-4);
  for (int i = 1; i < 6; ++i) EXPECT_LE(water.eigenvalues[i - 1], water.eigenvalues[i]);
}

TEST(LpiSignature, ToleranceBandIsInclusive) {
  const double tol = 1e-9;
  EXPECT_EQ(count_signs({tol, -tol, 0.0}, tol), (LpiCounts{0, 3, 0}));
  EXPECT_EQ(count_signs({1.0000001 * tol, -1.0000001 * tol}, tol), (LpiCounts{1, 0, 1}));
  // A 1x1 "graph" with a self-loop puts its weight on the diagonal.
  EXPECT_EQ(compute_lpi(1, {{0, 0, tol}}, tol).counts, (LpiCounts{0, 1, 0}));
  EXPECT_EQ(compute_lpi(1, {{0, 0, 2 * tol}}, tol).counts, (LpiCounts{1, 0, 0}));
}

TEST(LpiSignature, ScalingWeightsKeepsCountsAndNodeOrderDoesNotMatter) {
  auto e = water_edges();
  for (auto& x : e) x.weight *= 7.5;
  EXPECT_EQ(compute_lpi(6, e).counts, (LpiCounts{3, 0, 3}));
  // Relabel nodes in reverse.
  for (auto& x : e) {
    x.u = 5 - x.u;
    x.v = 5 - x.v;
  }
  EXPECT_EQ(compute_lpi(6, e).counts, (LpiCounts{3, 0, 3}));
}

TEST(LpiSignature, RejectsEdgesOutsideTheGraph) {
  EXPECT_THROW(compute_lpi(2, {{0, 2, 1.0}}), std::out_of_range);
  EXPECT_THROW(compute_lpi(-1, {}), std::invalid_argument);
}

TEST(LpiSignature, DisconnectedGraphsAreSolvedPartByPart) {
  // Water on nodes 1..6, a pi pair (0, 8), a lone node with a self-loop (7), a lone
  // node without one (9), an edge listed twice (its last weight counts) and a
  // zero-weight edge that joins 10 and 11 without coupling them.
  std::vector<WeightedEdge> e;
  for (const auto& w : water_edges()) e.push_back({w.u + 1, w.v + 1, w.weight});
  e.push_back({0, 8, 0.5});
  e.push_back({8, 0, 0.9});
  e.push_back({7, 7, -0.25});
  e.push_back({10, 11, 0.0});
  const int n = 12;
  const auto d = decompose_adjacency(n, e);
  const auto lpi = compute_lpi(n, e);
  // compute_lpi solves the whole matrix with LAPACK, the decomposition each part with
  // Eigen: the same spectrum, to rounding.
  ASSERT_EQ(lpi.eigenvalues.size(), d.eigenvalues.size());
  for (int k = 0; k < n; ++k) EXPECT_NEAR(lpi.eigenvalues[k], d.eigenvalues[k], 1e-14);
  EXPECT_EQ(lpi.counts, (LpiCounts{4, 3, 5}));
  const auto a = adjacency_matrix(n, e);
  const auto whole = symmetric_eigenvalues(n, a);
  ASSERT_EQ(d.eigenvalues.size(), whole.size());
  for (int k = 0; k < n; ++k) {
    EXPECT_NEAR(d.eigenvalues[k], whole[k], 1e-14);
    if (k > 0) {
      EXPECT_LE(d.eigenvalues[k - 1], d.eigenvalues[k]);
    }
  }
  // Orthonormal eigenvectors with A q = lambda q, component k of node i at [i * n + k].
  for (int k = 0; k < n; ++k) {
    for (int l = 0; l < n; ++l) {
      double dot = 0;
      for (int i = 0; i < n; ++i) dot += d.vectors[i * n + k] * d.vectors[i * n + l];
      EXPECT_NEAR(dot, k == l ? 1.0 : 0.0, 1e-14);
    }
    for (int i = 0; i < n; ++i) {
      double aq = 0;
      for (int j = 0; j < n; ++j) aq += a[i * n + j] * d.vectors[j * n + k];
      EXPECT_NEAR(aq, d.eigenvalues[k] * d.vectors[i * n + k], 1e-14);
    }
  }
  EXPECT_THROW(decompose_adjacency(n, {{0, 12, 1.0}}), std::out_of_range);
}

TEST(SoftEdges, EachCandidateAgainstTheIntactGraph) {
  // Path a-b-c has eigenvalues -sqrt2, 0, sqrt2; with either edge deleted, -1, 0, 1:
  // the same counts, so both edges are soft.
  const std::vector<WeightedEdge> path = {{0, 1, 1.0}, {1, 2, 1.0}};
  const auto base = compute_lpi(3, path).counts;
  EXPECT_EQ(base, (LpiCounts{1, 1, 1}));
  const auto r = detect_soft_edges(3, path, {{0, 1}, {2, 1}, {0, 2}}, base);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0], SoftTest::Soft);
  EXPECT_EQ(r[1], SoftTest::Soft);  // orientation of the pair does not matter
  EXPECT_EQ(r[2], SoftTest::Absent);
}

TEST(SoftEdges, MovingOnePositiveAndOneNegativeIntoZeroIsEssential) {
  // A single edge {1,0,1}: removing it gives {0,2,0}, a change of all three counts.
  const std::vector<WeightedEdge> e = {{0, 1, 1.0}};
  const auto r = detect_soft_edges(2, e, {{0, 1}}, compute_lpi(2, e).counts);
  EXPECT_EQ(r[0], SoftTest::Essential);
  EXPECT_TRUE(detect_soft_edges(2, e, {}, {}).empty());
}
