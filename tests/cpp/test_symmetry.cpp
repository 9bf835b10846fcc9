// Symmetry refinement: classes, radial equalisation, alignment and mirroring.
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>

#include "korvane/common/molecule.hpp"
#include "korvane/layout/symmetry.hpp"

using namespace korvane;
using namespace korvane::layout;

namespace {

double dist(const Point& a, const Point& b) { return std::hypot(a[0] - b[0], a[1] - b[1]); }

Point centroid_of(const Coords& c, const std::vector<int>& members) {
  Point s{0.0, 0.0};
  for (int m : members) s = {s[0] + c[m][0], s[1] + c[m][1]};
  return {s[0] / members.size(), s[1] / members.size()};
}

}  // namespace

TEST(SymmetryClasses, EquivalentAtomsShareARank) {
  const auto benzene = prepare_molecule("c1ccccc1");
  const auto ranks = symmetry_classes(*benzene);
  ASSERT_EQ(ranks.size(), 12u);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(ranks[i], ranks[0]);
  for (int i = 7; i < 12; ++i) EXPECT_EQ(ranks[i], ranks[6]);
  EXPECT_NE(ranks[0], ranks[6]);
  const RankGroups groups = group_by_rank(ranks);  // radial equalisation's two sets of six
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0], (std::vector<int>{0, 1, 2, 3, 4, 5}));

  // Isotopes count: deuterium is not equivalent to the other three hydrogens.
  const auto rl = symmetry_classes(*prepare_molecule("[2H]C([H])([H])[H]"));
  EXPECT_NE(rl[0], rl[2]);
  EXPECT_EQ(rl[2], rl[3]);
}

TEST(SymmetryClasses, UnrankableMoleculeGetsOneClassPerAtom) {
  // Parsed without sanitising and without valences: RDKit's ranking refuses it.
  std::unique_ptr<RDKit::RWMol> raw(RDKit::SmilesToMol("CCC", 0, /*sanitize=*/false));
  ASSERT_TRUE(raw);
  EXPECT_EQ(symmetry_classes(*raw), (std::vector<int>{0, 1, 2}));
}

TEST(SymmetryClasses, GroupsInOrderOfFirstOccurrence) {
  EXPECT_EQ(group_by_rank({5, 2, 5, 0, 2}), (RankGroups{{0, 2}, {1, 4}, {3}}));
  EXPECT_TRUE(group_by_rank({}).empty());
}

TEST(RadialEqualize, MovesMembersToTheirMeanDistanceAlongTheirDirection) {
  Coords c = {{1.0, 0.0}, {0.0, 3.0}, {-2.0, 0.0}, {7.0, 7.0}, {0.0, -1.0}};
  const std::vector<int> cls = {0, 1, 2, 4};
  const Point centre = centroid_of(c, cls);
  double mean = 0.0;
  for (int m : cls) mean += dist(c[m], centre) / cls.size();
  const Coords before = c;

  radial_equalize(c, {{0, 1, 2, 4}, {3}});
  for (int m : cls) {
    EXPECT_NEAR(dist(c[m], centre), mean, 1e-12);
    // Same direction from the centroid as before.
    const double cross = (before[m][0] - centre[0]) * (c[m][1] - centre[1]) -
                         (before[m][1] - centre[1]) * (c[m][0] - centre[0]);
    const double dot = (before[m][0] - centre[0]) * (c[m][0] - centre[0]) +
                       (before[m][1] - centre[1]) * (c[m][1] - centre[1]);
    EXPECT_NEAR(cross, 0.0, 1e-12);
    EXPECT_GT(dot, 0.0);
  }
  EXPECT_EQ(c[3], before[3]);  // a one-member class is left alone
}

TEST(RadialEqualize, MembersOnTheCentroidStayPut) {
  // The middle atom sits on the centroid of its class and keeps its place; the
  // others move to the mean distance 2/3.
  Coords line = {{-1.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
  radial_equalize(line, {{0, 1, 2}});
  EXPECT_EQ(line[1], (Point{0.0, 0.0}));
  EXPECT_NEAR(line[0][0], -2.0 / 3.0, 1e-15);
  EXPECT_NEAR(line[2][0], 2.0 / 3.0, 1e-15);

  Coords same = {{2.0, 3.0}, {2.0, 3.0}, {2.0, 3.0}};
  radial_equalize(same, {{0, 1, 2}});
  EXPECT_EQ(same, (Coords{{2.0, 3.0}, {2.0, 3.0}, {2.0, 3.0}}));

  Coords two = {{0.0, 0.0}, {1.0, 1.0}};
  EXPECT_THROW(radial_equalize(two, {{0, 2}}), std::out_of_range);
}

TEST(PcaAlign, OneAndTwoRows) {
  Coords one = {{3.0, -4.0}};
  const Coords aligned = pca_align(one);
  EXPECT_EQ(one, (Coords{{0.0, 0.0}}));  // the argument is centred too
  EXPECT_EQ(aligned, one);

  Coords two = {{1.0, 1.0}, {3.0, 5.0}};
  const Coords a2 = pca_align(two);
  EXPECT_EQ(two, (Coords{{-1.0, -2.0}, {1.0, 2.0}}));
  EXPECT_NEAR(a2[0][1], 0.0, 1e-14);
  EXPECT_NEAR(a2[1][1], 0.0, 1e-14);
  EXPECT_NEAR(a2[0][0], -a2[1][0], 1e-14);
  EXPECT_NEAR(std::fabs(a2[0][0]), std::sqrt(5.0), 1e-14);

  Coords none;
  EXPECT_TRUE(pca_align(none).empty());
}

TEST(PcaAlign, ProperRotationOntoThePrincipalAxes) {
  Coords c = {{0.3, 1.1}, {2.0, 2.2}, {-1.7, -0.4}, {4.1, 3.0}, {-0.5, 0.9}, {1.2, -0.8}};
  Coords centred = c;
  const Coords r = pca_align(centred);
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  for (const Point& p : r) {
    sx += p[0];
    sy += p[1];
    sxx += p[0] * p[0];
    syy += p[1] * p[1];
    sxy += p[0] * p[1];
  }
  EXPECT_NEAR(sx, 0.0, 1e-12);
  EXPECT_NEAR(sy, 0.0, 1e-12);
  EXPECT_NEAR(sxy, 0.0, 1e-12);  // decorrelated
  EXPECT_GT(sxx, syy);           // largest spread along x
  // Distances and orientation are kept: a rotation, never a reflection.
  for (std::size_t i = 1; i < c.size(); ++i) {
    EXPECT_NEAR(dist(r[i], r[0]), dist(c[i], c[0]), 1e-12);
    const double before = (c[i][0] - c[0][0]) * (c[(i + 1) % c.size()][1] - c[0][1]) -
                          (c[i][1] - c[0][1]) * (c[(i + 1) % c.size()][0] - c[0][0]);
    const double after = (r[i][0] - r[0][0]) * (r[(i + 1) % r.size()][1] - r[0][1]) -
                         (r[i][1] - r[0][1]) * (r[(i + 1) % r.size()][0] - r[0][0]);
    EXPECT_NEAR(before, after, 1e-12);
  }
}

TEST(EnforceMirror, PairsEquivalentAtomsAcrossTheAxis) {
  Coords c = {{1.0, 0.8}, {1.2, -0.6}};
  enforce_mirror(c, {3, 3}, 1);
  EXPECT_NEAR(c[0][0], 1.1, 1e-15);
  EXPECT_NEAR(c[0][1], 0.7, 1e-15);
  EXPECT_NEAR(c[1][0], 1.1, 1e-15);
  EXPECT_NEAR(c[1][1], -0.7, 1e-15);

  // Axis 0: the x values are mirrored, y shared.
  Coords v = {{-0.6, 1.2}, {0.8, 1.0}};
  enforce_mirror(v, {1, 1}, 0);
  EXPECT_NEAR(v[0][0], -0.7, 1e-15);
  EXPECT_NEAR(v[1][0], 0.7, 1e-15);
  EXPECT_NEAR(v[0][1], 1.1, 1e-15);
  EXPECT_EQ(v[0][1], v[1][1]);
}

TEST(EnforceMirror, SnapsOnlyBelowEps) {
  Coords c = {{2.0, 0.049}, {5.0, 0.05}, {5.0, -0.3}, {9.0, -0.049}};
  enforce_mirror(c, {0, 1, 1, 0}, 1);
  EXPECT_EQ(c[0][1], 0.0);
  EXPECT_EQ(c[3][1], 0.0);  // snapped, so not paired with atom 0 either
  EXPECT_EQ(c[0][0], 2.0);
  EXPECT_EQ(c[3][0], 9.0);
  // 0.05 is not snapped: atom 1 pairs with atom 2 instead.
  EXPECT_NEAR(c[1][1], 0.175, 1e-15);
  EXPECT_NEAR(c[2][1], -0.175, 1e-15);
}

TEST(EnforceMirror, SameSideSurplusAndOtherRanksStayUnpaired) {
  // Three equivalent atoms above the axis, two below: in index order each takes
  // its closest mirror image, and the surplus atom 2 keeps its place although
  // atom 1 (same rank, same side) is near.
  Coords c = {{-1.0, 1.0}, {1.0, 1.0}, {3.0, 0.5}, {2.0, -1.0}, {-1.0, -1.2}, {-1.0, -1.0}};
  const Coords before = c;
  enforce_mirror(c, {7, 7, 7, 7, 7, 8}, 1);
  EXPECT_NEAR(c[0][1], 1.1, 1e-15);  // with atom 4 (mismatch 0.2, not atom 3's 3.0)
  EXPECT_NEAR(c[4][1], -1.1, 1e-15);
  EXPECT_EQ(c[0][0], -1.0);
  EXPECT_EQ(c[4][0], -1.0);
  EXPECT_NEAR(c[1][0], 1.5, 1e-15);  // then atom 1 with atom 3
  EXPECT_NEAR(c[3][0], 1.5, 1e-15);
  EXPECT_EQ(c[1][1], 1.0);
  EXPECT_EQ(c[3][1], -1.0);
  EXPECT_EQ(c[2], before[2]);
  EXPECT_EQ(c[5], before[5]);  // its only opposite neighbour has another rank
}

TEST(EnforceMirror, FirstUnmatchedAtomTakesTheLowestIndexOnTies) {
  // Atom 0 finds atoms 1 and 2 equally good; it takes atom 1, leaving atom 2 alone.
  Coords d = {{0.0, 1.0}, {0.4, -1.0}, {-0.4, -1.0}};
  enforce_mirror(d, {0, 0, 0}, 1);
  EXPECT_NEAR(d[0][0], 0.2, 1e-15);
  EXPECT_NEAR(d[1][0], 0.2, 1e-15);
  EXPECT_EQ(d[2], (Point{-0.4, -1.0}));

  Coords e = {{0.0, 1.0}};
  EXPECT_THROW(enforce_mirror(e, {0}, 2), std::invalid_argument);
  EXPECT_THROW(enforce_mirror(e, {0, 1}, 1), std::invalid_argument);
}
