// Numeric conventions and the element table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "korvane/common/elements.hpp"
#include "korvane/common/numeric.hpp"

using namespace korvane;

TEST(Numeric, RoundsHalvesToEven) {
  EXPECT_EQ(round_half_even(0.5), 0.0);
  EXPECT_EQ(round_half_even(1.5), 2.0);
  EXPECT_EQ(round_half_even(2.5), 2.0);
  EXPECT_EQ(round_half_even(3.5), 4.0);
  EXPECT_EQ(round_half_even(-2.5), -2.0);
  // NumPy's three-decimal rounding scales first: 0.0005 * 1000 is exactly 0.5 -> 0.
  EXPECT_EQ(round_decimals(0.0005, 3), 0.0);
  EXPECT_EQ(round_decimals(-1.3275, 3), -1.328);
  EXPECT_TRUE(std::signbit(round_decimals(-1e-12, 3)));  // negative zero survives
}

TEST(Numeric, FlooredModuloTakesTheDivisorsSign) {
  EXPECT_NEAR(floored_mod(-0.5, kTwoPi), kTwoPi - 0.5, 1e-15);
  EXPECT_EQ(floored_mod(kTwoPi, kTwoPi), 0.0);
  EXPECT_NEAR(floored_mod(7.0, 3.0), 1.0, 1e-15);
  EXPECT_NEAR(floored_mod(-7.0, 3.0), 2.0, 1e-15);
  EXPECT_NEAR(floored_mod(7.0, -3.0), -2.0, 1e-15);
  EXPECT_GE(reduce_angle(-1e-18), 0.0);
}

TEST(Numeric, FloatReprMatchesPython) {
  EXPECT_EQ(python_float_repr(0.195), "0.195");
  EXPECT_EQ(python_float_repr(-1.0), "-1.0");
  EXPECT_EQ(python_float_repr(-0.0), "-0.0");
  EXPECT_EQ(python_float_repr(3.133), "3.133");
  EXPECT_EQ(python_float_repr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(python_float_repr(1e16), "1e+16");
  EXPECT_EQ(python_float_repr(1e15), "1000000000000000.0");
  EXPECT_EQ(python_float_repr(0.0001), "0.0001");
  EXPECT_EQ(python_float_repr(0.00001), "1e-05");
  EXPECT_EQ(python_float_repr(-1.5e-7), "-1.5e-07");
  EXPECT_EQ(python_float_repr(123456789.125), "123456789.125");
  EXPECT_EQ(python_float_repr(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_fixed(18.015, 2), "18.02");  // 18.015 is stored just above the half
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");    // an exact half goes to even
  EXPECT_EQ(format_fixed(-0.001, 2), "-0.00");
}

TEST(Elements, PeriodsOfTheWholeTable) {
  EXPECT_EQ(element_period("H"), 1);
  EXPECT_EQ(element_period("He"), 1);
  EXPECT_EQ(element_period("Li"), 2);
  EXPECT_EQ(element_period("C"), 2);
  EXPECT_EQ(element_period("Ne"), 2);
  EXPECT_EQ(element_period("Na"), 3);
  EXPECT_EQ(element_period("Cl"), 3);
  EXPECT_EQ(element_period("K"), 4);
  EXPECT_EQ(element_period("Br"), 4);
  EXPECT_EQ(element_period("I"), 5);
  EXPECT_EQ(element_period("Lu"), 6);
  EXPECT_EQ(element_period("Rn"), 6);
  EXPECT_EQ(element_period("Fr"), 7);
  EXPECT_EQ(element_period("Og"), 7);
  EXPECT_EQ(atomic_number_of("Og"), 118);
}

TEST(Elements, UnknownSymbolIsNamedInTheError) {
  for (const char* bad : {"*", "Xx", "", "c", "CL"}) {
    try {
      element_period(bad);
      FAIL() << "no error for '" << bad << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("'") + bad + "'"), std::string::npos);
    }
  }
}
