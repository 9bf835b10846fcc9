// The node directions round an atom and the shortest turn between two directions.
#include <gtest/gtest.h>

#include <cmath>

#include "korvane/common/numeric.hpp"
#include "korvane/layout/angular_slots.hpp"

using namespace korvane;
using namespace korvane::layout;

TEST(AngularSlots, FillsWidestGapsOneAtATime) {
  EXPECT_EQ(spread_node_angles(1, {2.0, 3.0}), std::vector<double>{0.0});
  const auto even = spread_node_angles(4, {});
  ASSERT_EQ(even.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(even[i], i * kPi / 2);

  const auto two = spread_node_angles(2, {-kPi / 2});
  EXPECT_DOUBLE_EQ(two[0], -kPi / 2);  // targets are kept unreduced
  EXPECT_NEAR(two[1], kPi / 2, 1e-15);

  // Both gaps are pi: the first (0 -> pi) wins, then the wrap-around gap.
  const auto four = spread_node_angles(4, {0.0, kPi});
  EXPECT_DOUBLE_EQ(four[2], kPi / 2);
  EXPECT_DOUBLE_EQ(four[3], 3 * kPi / 2);

  EXPECT_EQ(spread_node_angles(3, {0.3, 1.0, 2.0, 4.0}), (std::vector<double>{0.3, 1.0, 2.0}));
  EXPECT_EQ(spread_node_angles(3, {0.0, 0.0}), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(AngularSlots, AngleDiffIsTheShortestTurn) {
  EXPECT_NEAR(angle_diff(0.1, -0.1), 0.2, 1e-15);
  EXPECT_NEAR(angle_diff(0.0, kTwoPi), 0.0, 1e-15);
  EXPECT_NEAR(angle_diff(0.0, kPi), kPi, 1e-15);
  EXPECT_NEAR(angle_diff(3.0, -3.0), kTwoPi - 6.0, 1e-12);
}
