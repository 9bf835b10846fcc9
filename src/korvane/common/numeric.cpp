// Rounding and the text forms of numbers that the reports print.
#include "korvane/common/numeric.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace korvane {

double round_half_even(double x) {
  // nearbyint rounds in the current mode, which is round-to-nearest-even by default.
  return std::nearbyint(x);
}

double round_decimals(double x, int decimals) {
  if (decimals >= 0) {
    const double f = std::pow(10.0, decimals);
    return std::nearbyint(x * f) / f;
  }
  const double f = std::pow(10.0, -decimals);
  return std::nearbyint(x / f) * f;
}

double round_nearest_decimal(double x, int decimals) {
  if (!std::isfinite(x)) return x;
  // printf's correctly rounded digits, read back: the same two steps as Python's round.
  return std::strtod(format_fixed(x, decimals).c_str(), nullptr);
}

double floored_mod(double a, double m) {
  // Python's float %: fmod, then move into the divisor's sign.
  double r = std::fmod(a, m);
  if (r != 0.0) {
    if ((r < 0.0) != (m < 0.0)) r += m;
  } else {
    r = std::copysign(0.0, m);
  }
  return r;
}

std::string python_float_repr(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  if (x == 0.0) return std::signbit(x) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form: d[.ddd]e[+-]XX.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto epos = sci.find('e');
  const int exp10 = std::atoi(sci.c_str() + epos + 1);
  std::string digits;
  for (std::size_t i = 0; i < epos; ++i)
    if (sci[i] != '.') digits += sci[i];
  const int ndigits = static_cast<int>(digits.size());
  // Position of the decimal point relative to the digit string.
  const int decpt = exp10 + 1;

  std::string out;
  if (decpt > -4 && decpt <= 16) {
    if (decpt <= 0) {
      out = "0." + std::string(-decpt, '0') + digits;
    } else if (decpt >= ndigits) {
      out = digits + std::string(decpt - ndigits, '0') + ".0";
    } else {
      out = digits.substr(0, decpt) + "." + digits.substr(decpt);
    }
  } else {
    out = digits.substr(0, 1);
    if (ndigits > 1) out += "." + digits.substr(1);
    const int e = decpt - 1;
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", e < 0 ? '-' : '+', std::abs(e));
    out += ebuf;
  }
  return sign + out;
}

std::string format_fixed(double x, int decimals) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  // glibc's printf rounds the exact binary value correctly, as Python's formatter does.
  const int n = std::snprintf(nullptr, 0, "%.*f", decimals, x);
  std::string s(static_cast<std::size_t>(n), '\0');
  std::snprintf(s.data(), s.size() + 1, "%.*f", decimals, x);
  return s;
}

}  // namespace korvane
