// Natural isotope abundances and the molecular ion's isotope envelope.
#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "korvane/massspec/isotopes.hpp"
#include "molecules.hpp"

namespace {

using namespace korvane::massspec;
using Counts = std::vector<std::pair<int, int>>;

TEST(NaturalIsotopes, EachElementsAbundancesSumToOne) {
  int elements = 0;
  for (int z = 0; z <= 118; ++z) {
    const auto& isotopes = natural_isotopes(z);
    if (isotopes.empty()) continue;
    ++elements;
    double sum = 0.0;
    for (const auto& i : isotopes) sum += i.abundance;
    EXPECT_NEAR(sum, 1.0, 1e-4) << "element " << z;
  }
  EXPECT_GE(elements, 12);
  EXPECT_TRUE(natural_isotopes(92).empty());
}

TEST(IsotopeEnvelope, NaphthaleneHasAnMPlusOneOfElevenPercent) {
  // C10H8: 10 x 1.07/98.93 (13C) + 8 x 0.0115/99.9885 (2H) = 10.91 %; M+2 mostly two 13C.
  const auto r = isotope_envelope(*with_hs("c1ccc2ccccc2c1"));
  EXPECT_NEAR(r[0], 0.10908, 2e-4);
  EXPECT_NEAR(r[1], 0.00527, 1e-4);
  EXPECT_LT(r[2], 2e-4);
}

TEST(IsotopeEnvelope, ChlorineAndBromineGiveTheirMPlusTwoPatterns) {
  // Chlorobenzene: 24.24/75.76 for 37Cl plus two 13C.
  const auto cl = isotope_envelope(*with_hs("Clc1ccccc1"));
  EXPECT_NEAR(cl[1], 0.3217, 5e-4);
  // Dibromomethane: 1 : 2 x 49.31/50.69 : (49.31/50.69)^2.
  const auto br = isotope_envelope(*with_hs("BrCBr"));
  EXPECT_NEAR(br[1], 1.9455, 2e-3);
  EXPECT_NEAR(br[3], 0.9463, 2e-3);
  // Sulfur's 34S: thiophene C4H4S M+2 = 4.25/94.99 plus two 13C and 33S + 13C.
  const auto s = isotope_envelope(*with_hs("c1ccsc1"));
  EXPECT_NEAR(s[1], 0.0458, 3e-4);
}

TEST(IsotopeEnvelope, LabelledAtomsAndNegativeShiftsAreExact) {
  // A 13C label has no 13C envelope of its own: only the four hydrogens remain.
  EXPECT_NEAR(isotope_envelope(*with_hs("C"))[0], 0.01128, 5e-5);
  EXPECT_NEAR(isotope_envelope(*with_hs("[13CH4]"))[0], 0.00046, 2e-5);
  // Boron's most common isotope is 11B, so 10B (one below) with a 13C lands back on M.
  const auto b = isotope_envelope(Counts{{5, 1}, {6, 1}});
  // M = 11B 12C (0.801 x 0.9893) + 10B 13C (0.199 x 0.0107); M+1 = 11B 13C (0.801 x 0.0107).
  EXPECT_NEAR(b[0], 0.801 * 0.0107 / (0.801 * 0.9893 + 0.199 * 0.0107), 1e-9);
  EXPECT_THROW(isotope_envelope(Counts{{6, -1}}), std::invalid_argument);
  const auto none = isotope_envelope(Counts{{92, 2}});  // outside the table: one isotope
  EXPECT_EQ(none[0], 0.0);
}

}  // namespace
