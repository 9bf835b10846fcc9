// The identification score: weighted cosine below M, the isotope term and ranks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "korvane/massspec/spectrum_score.hpp"
#include "spectra.hpp"

namespace {

using namespace korvane::massspec;

TEST(IdentificationScore, IsTheWeightedCosineBelowTheMolecularIon) {
  const auto measured = spectrum({{15, 100}, {29, 999}, {31, 400}, {46, 10}});
  // sqrt(I) * sqrt(m/z) against I * sqrt(m/z): the cosine by hand.
  ScoreParameters root;
  root.intensity_power = 0.5;
  const auto predicted = spectrum({{15, 999}, {29, 500}, {45, 999}, {46, 999}});
  const double a15 = std::sqrt(100.0 * 15), a29 = std::sqrt(999.0 * 29);
  const double a31 = std::sqrt(400.0 * 31);
  const double b15 = 999 * std::sqrt(15.0), b29 = 500 * std::sqrt(29.0);
  const double b45 = 999 * std::sqrt(45.0);
  const double cosine = (a15 * b15 + a29 * b29) /
                        std::sqrt((a15 * a15 + a29 * a29 + a31 * a31) *
                                  (b15 * b15 + b29 * b29 + b45 * b45));
  EXPECT_NEAR(identification_score(measured, predicted, 46, root), cosine, 1e-12);
  EXPECT_EQ(identification_score(measured, spectrum({{46, 999}}), 46), 0.0);
  EXPECT_EQ(identification_score({}, predicted, 46), 0.0);
}

TEST(IdentificationScore, DependsOnTheIntensitiesNotOnlyTheMz) {
  const auto measured = spectrum({{43, 999}, {57, 100}, {71, 50}});
  const auto like = spectrum({{43, 999}, {57, 100}, {71, 50}});
  const auto unlike = spectrum({{43, 50}, {57, 100}, {71, 999}});
  ScoreParameters linear;
  linear.intensity_power = 1.0;
  EXPECT_NEAR(identification_score(measured, like, 100, linear), 1.0, 1e-12);
  EXPECT_LT(identification_score(measured, unlike, 100, linear), 0.5);
  EXPECT_GT(identification_score(measured, like, 100), identification_score(measured, unlike, 100));
}

TEST(IdentificationScore, SubtractsTheCappedIsotopeDistanceWhenTheMolecularIonIsSeen) {
  const auto fragments = std::vector<std::pair<int, double>>{{50, 999}};
  auto with_m = [&](double m, double m1, double m2) {
    auto peaks = fragments;
    peaks.push_back({100, m});
    peaks.push_back({101, m1});
    peaks.push_back({102, m2});
    return spectrum(peaks);
  };
  // Measured r1 = 0.5, r2 = 5 (capped at 2); predicted p1 = 0.1, p2 = 0.
  const auto predicted = spectrum({{50, 999}, {100, 500}, {101, 50}});
  ScoreParameters p;
  p.isotope_weight = 0.35, p.isotope_cap = 2.0, p.min_molecular_ion = 20.0;
  const double term = 0.35 * (0.4 + 2.0);
  EXPECT_NEAR(identification_score(with_m(200, 100, 1000), predicted, 100, p), 1.0 - term, 1e-12);
  // A molecular ion below 20 on the 0-999 scale leaves the term out.
  EXPECT_NEAR(identification_score(with_m(19, 9.5, 95), predicted, 100, p), 1.0, 1e-12);
  // The defaults: weight 0.8, cap 4, from I(M) = 100.
  EXPECT_NEAR(identification_score(with_m(200, 100, 1000), predicted, 100),
              1.0 - 0.8 * (0.4 + 4.0), 1e-12);
  EXPECT_NEAR(identification_score(with_m(99, 49.5, 495), predicted, 100), 1.0, 1e-12);
  ScoreParameters off;
  off.isotope_weight = 0.0;
  EXPECT_NEAR(identification_score(with_m(200, 100, 1000), predicted, 100, off), 1.0, 1e-12);
  off.mz_power = -1.0;
  EXPECT_THROW(identification_score(predicted, predicted, 100, off), std::invalid_argument);
}

TEST(ScoreRanks, TiesCountAgainstEveryTiedCandidate) {
  EXPECT_EQ(score_ranks({0.5, 0.5, 0.2, 0.9}), (std::vector<int>{3, 3, 4, 1}));
  EXPECT_EQ(score_ranks({0.0, 0.0}), (std::vector<int>{2, 2}));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(score_ranks({nan, 0.1}), (std::vector<int>{2, 1}));
  EXPECT_TRUE(score_ranks({}).empty());
}

}  // namespace
