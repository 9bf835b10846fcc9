// The bond-slot assignment: which node of an atom carries which bond unit.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "korvane/analysis/bond_slots.hpp"
#include "korvane/common/numeric.hpp"
#include "korvane/layout/node_placement.hpp"

using namespace korvane;
using namespace korvane::analysis;
using korvane::layout::AtomNodeAngles;
using korvane::layout::atom_node_angles;
using korvane::layout::Coords;
using korvane::layout::NeighbourBond;

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
