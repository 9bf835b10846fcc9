// Numeric conventions shared by every subsystem: rounding, angles, sorted lists without
// repeats and the text forms of numbers that the reports print.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

namespace korvane {

inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kTwoPi = 2.0 * kPi;

// Rounds to the nearest integer, exact halves to the even neighbour (2.5 -> 2).
double round_half_even(double x);

// Rounds to `decimals` places the way NumPy's round does: scale, round half-even, unscale.
double round_decimals(double x, int decimals);

// Rounds to the decimal nearest to the exact binary value, ties to even, as Python's
// round(x, decimals) does (46.005 is stored above the half and gives 46.01).
double round_nearest_decimal(double x, int decimals);

// Floored remainder: takes the sign of the divisor, so an angle mod 2*pi is never negative.
double floored_mod(double a, double m);

// Returns the values in ascending order with repeats removed.
inline std::vector<int> sorted_unique(std::vector<int> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

// Reduces an angle to [0, 2*pi).
inline double reduce_angle(double a) { return floored_mod(a, kTwoPi); }

// The shortest text that reads back as the same double, as Python's repr(float)
// writes it: "0.195", "-0.0", "3.0", "1e-05", "1e+16", "nan", "inf".
std::string python_float_repr(double x);

// Fixed-point text with `decimals` digits, correctly rounded (Python's format ".2f").
std::string format_fixed(double x, int decimals);

}  // namespace korvane
