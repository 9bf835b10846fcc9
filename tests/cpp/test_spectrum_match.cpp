// Comparison of predicted m/z with measured spectra: nominal form, top peaks, scores,
// peak matching, candidate ranks and the all-single-cuts reference.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "korvane/massspec/spectrum_match.hpp"
#include "molecules.hpp"
#include "spectra.hpp"

namespace {

using namespace korvane::massspec;

TEST(NominalSpectrum, RoundsHalvesToEvenSumsBinsAndScalesToBase999) {
  const auto s = nominal_spectrum({42.5, 43.5, 44.2, 43.9, 50.0}, {10, 20, 30, 0, 5});
  // 42.5 -> 42; 43.5 -> 44 joins 44.2; 43.9 has no intensity and is dropped.
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].mz, 42);
  EXPECT_EQ(s[1].mz, 44);
  EXPECT_EQ(s[2].mz, 50);
  EXPECT_DOUBLE_EQ(s[1].intensity, 999.0);
  EXPECT_DOUBLE_EQ(s[0].intensity, 999.0 * 10 / 50);
  EXPECT_TRUE(nominal_spectrum({1.0}, {0.0}).empty());
}

TEST(NominalSpectrum, RejectsBadValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(nominal_spectrum({1.0, 2.0}, {1.0}), std::invalid_argument);
  EXPECT_THROW(nominal_spectrum({-1.0}, {1.0}), std::invalid_argument);
  EXPECT_THROW(nominal_spectrum({1.0}, {-1.0}), std::invalid_argument);
  EXPECT_THROW(nominal_spectrum({nan}, {1.0}), std::invalid_argument);
  EXPECT_THROW(nominal_spectrum({1e12}, {1.0}), std::invalid_argument);
}

TEST(TopPeaks, LeavesOutTheMolecularIonAndBreaksTiesByLowerMz) {
  const auto s = spectrum({{10, 5}, {12, 50}, {15, 50}, {20, 999}, {30, 50}, {40, 1}});
  EXPECT_EQ(top_peaks(s, 20, 3), (std::vector<int>{12, 15, 30}));
  EXPECT_EQ(top_peaks(s, 99, 2), (std::vector<int>{20, 12}));
  EXPECT_EQ(top_peaks(s, 20).size(), 5u);
}

TEST(ScorePrediction, CountsRecallPrecisionAndChance) {
  // M = 21; top peaks without M: 15, 14, 9, 3, 5 (5 below the precision floor).
  const auto s = spectrum({{3, 20}, {5, 5}, {9, 100}, {14, 500}, {15, 999}, {21, 700}});
  const auto r = score_prediction(s, 21, {1, 10, 15, 15, 18});
  ASSERT_TRUE(r.recall_1 && r.recall_exact && r.precision && r.chance_1);
  EXPECT_DOUBLE_EQ(*r.recall_1, 3.0 / 5);     // 15, 14 (by 15), 9 (by 10)
  EXPECT_DOUBLE_EQ(*r.recall_exact, 1.0 / 5);  // 15
  EXPECT_EQ(r.distinct_mz, 4);
  EXPECT_DOUBLE_EQ(*r.precision, 1.0 / 3);  // of 10, 15, 18 only 15 observed; 1 not counted
  // 1..20 within 1 of {1, 10, 15, 18}: 1 2 9 10 11 14 15 16 17 18 19.
  EXPECT_DOUBLE_EQ(*r.chance_1, 11.0 / 20);
}

TEST(ScorePrediction, LeavesUndefinedScoresUnset) {
  const auto s = spectrum({{1, 999}, {5, 10}});
  const auto none = score_prediction(s, 5, {});
  EXPECT_DOUBLE_EQ(*none.recall_1, 0.0);
  EXPECT_FALSE(none.precision.has_value());
  EXPECT_DOUBLE_EQ(*none.chance_1, 0.0);
  EXPECT_FALSE(score_prediction(s, 5, {1}).precision.has_value());
  const auto only_m = score_prediction(spectrum({{1, 999}}), 1, {1});
  EXPECT_FALSE(only_m.recall_1.has_value());
  EXPECT_FALSE(only_m.chance_1.has_value());
}

TEST(MatchPeaks, ListsPredictedValuesWithinTolerance) {
  const auto m = match_peaks({10, 20}, {9, 10, 12, 21, 10}, 1);
  EXPECT_EQ(m[0], (std::vector<std::size_t>{0, 1, 4}));
  EXPECT_EQ(m[1], (std::vector<std::size_t>{3}));
  EXPECT_EQ(match_peaks({10}, {9, 10}, 0)[0], (std::vector<std::size_t>{1}));
  EXPECT_THROW(match_peaks({10}, {10}, -1), std::invalid_argument);
}

TEST(CandidateRanks, ComparesRecallThenPrecisionAndCountsTiesAgainst) {
  const auto r = candidate_ranks({{0.5, 0.2}, {0.5, 0.2}, {0.7, 0.0}, {0.5, 0.9}, {0.1, 1.0}});
  EXPECT_EQ(r, (std::vector<int>{4, 4, 1, 2, 5}));
  EXPECT_EQ(candidate_ranks({{0.0, 0.0}}), (std::vector<int>{1}));
}

TEST(SingleCutMz, GivesBothPiecesOfEveryBridge) {
  // Ethanol: C-C gives 15 + 31, C-O 29 + 17, each C-H and O-H 1 + 45.
  EXPECT_EQ(single_cut_mz(*with_hs("CCO")), (std::vector<int>{1, 15, 17, 29, 31, 45}));
  // Benzene's ring bonds do not split it; only the C-H bonds do.
  EXPECT_EQ(single_cut_mz(*with_hs("c1ccccc1")), (std::vector<int>{1, 77}));
}

}  // namespace
