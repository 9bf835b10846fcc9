#include <gtest/gtest.h>

#include <cmath>

#include "korvane/common/numeric.hpp"
#include "korvane/layout/angular_slots.hpp"
#include "korvane/layout/node_placement.hpp"

using namespace korvane;
using namespace korvane::layout;

TEST(AngularSlots, FillsWidestGapsOneAtATime) {
  EXPECT_EQ(yerlestir_dugumler(1, {2.0, 3.0}), std::vector<double>{0.0});
  const auto even = yerlestir_dugumler(4, {});
  ASSERT_EQ(even.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(even[i], i * kPi / 2);

  const auto two = yerlestir_dugumler(2, {-kPi / 2});
  EXPECT_DOUBLE_EQ(two[0], -kPi / 2);  // targets are kept unreduced
  EXPECT_NEAR(two[1], kPi / 2, 1e-15);

  // Both gaps are pi: the first (0 -> pi) wins, then the wrap-around gap.
  const auto four = yerlestir_dugumler(4, {0.0, kPi});
  EXPECT_DOUBLE_EQ(four[2], kPi / 2);
  EXPECT_DOUBLE_EQ(four[3], 3 * kPi / 2);

  EXPECT_EQ(yerlestir_dugumler(3, {0.3, 1.0, 2.0, 4.0}), (std::vector<double>{0.3, 1.0, 2.0}));
  EXPECT_EQ(yerlestir_dugumler(3, {0.0, 0.0}), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(AngularSlots, AngleDiffIsTheShortestTurn) {
  EXPECT_NEAR(angle_diff(0.1, -0.1), 0.2, 1e-15);
  EXPECT_NEAR(angle_diff(0.0, kTwoPi), 0.0, 1e-15);
  EXPECT_NEAR(angle_diff(0.0, kPi), kPi, 1e-15);
  EXPECT_NEAR(angle_diff(3.0, -3.0), kTwoPi - 6.0, 1e-12);
}

namespace {

AtomNodeAngles angles_from(int first, std::vector<double> a) { return {first, std::move(a)}; }

}  // namespace

TEST(BondSlots, GreedyMatchingClosestFirstThenSharing) {
  // Four targets, two nodes at 0 and pi/2: the two closest pairs are matched, the
  // other two targets share their nearest node.
  const auto na = angles_from(10, {0.0, kPi / 2});
  const std::vector<BondTarget> targets = {
      {1, 0, 0.1}, {2, 0, kPi / 2 - 0.05}, {3, 0, -0.3}, {4, 0, kPi}};
  BondSlots slots;
  greedy_assign(targets, {10, 11}, na, slots);
  EXPECT_EQ((slots.at({1, 0})), 10);
  EXPECT_EQ((slots.at({2, 0})), 11);
  EXPECT_EQ((slots.at({3, 0})), 10);
  EXPECT_EQ((slots.at({4, 0})), 11);  // pi is pi/2 from node 11, pi from node 10
}

TEST(BondSlots, TiesGoToTheEarlierTargetThenTheEarlierNode) {
  // Two nodes equally far from both targets: the first target takes the first node.
  const auto na = angles_from(0, {1.0, -1.0});
  BondSlots slots;
  greedy_assign({{7, 0, 0.0}, {8, 0, 0.0}}, {0, 1}, na, slots);
  EXPECT_EQ((slots.at({7, 0})), 0);
  EXPECT_EQ((slots.at({8, 0})), 1);
  BondSlots surplus;
  // The surplus target at 0 is as far from the node at 1.0 as from the one at -1.0:
  // the first node wins.
  greedy_assign({{7, 0, -1.0}, {8, 0, 1.0}, {9, 0, 0.0}}, {0, 1}, na, surplus);
  EXPECT_EQ((surplus.at({7, 0})), 1);
  EXPECT_EQ((surplus.at({8, 0})), 0);
  EXPECT_EQ((surplus.at({9, 0})), 0);
}

TEST(BondSlots, SigmaAndPiUnitsOfADoubleBond) {
  // An ethylene-like carbon at the origin: the other carbon to the right (double
  // bond), two hydrogens up-left and down-left. Nodes 0-2 sigma, 3 pi.
  const Coords coords = {{0, 0}, {1.5, 0}, {-0.75, 1.3}, {-0.75, -1.3}};
  const std::vector<NeighbourBond> nbrs = {{1, 2}, {2, 1}, {3, 1}};
  const auto a = atom_node_angles(coords, 0, nbrs, 4);
  ASSERT_EQ(a.size(), 4u);
  EXPECT_NEAR(a[0], -0.175, 1e-12);
  EXPECT_NEAR(a[1], 0.175, 1e-12);
  const AtomNodeAngles na{0, a};
  const auto slots = assign_bond_slots(coords, 0, nbrs, {0, 1, 2}, {3}, na);
  EXPECT_EQ((slots.at({1, 0})), 0);  // sigma node nearest base - 0.175
  EXPECT_EQ((slots.at({1, 1})), 3);  // the only pi node
  EXPECT_EQ(slots.size(), 4u);
}

TEST(BondSlots, CoincidentNeighbourGetsNoSlot) {
  const Coords coords = {{0, 0}, {0, 0}};
  const auto a = atom_node_angles(coords, 0, {{1, 1}}, 4);
  EXPECT_DOUBLE_EQ(a[1], kPi / 2);  // no target: evenly spread from 0
  const auto slots = assign_bond_slots(coords, 0, {{1, 1}}, {0, 1, 2, 3}, {}, {0, a});
  EXPECT_TRUE(slots.empty());
}
