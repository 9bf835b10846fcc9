// Comparison of predicted nominal m/z values with a measured spectrum: the nominal form
// of a measured spectrum, its top peaks, the accuracy scores of a prediction, the
// measured peaks each predicted m/z explains, and the rank of a candidate by its score.
#pragma once
#include <GraphMol/ROMol.h>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace korvane::massspec {

// A peak at nominal m/z with its intensity on the scale of a base peak of 999.
struct NominalPeak {
  int mz = 0;
  double intensity = 0.0;
};

// Rounds each m/z to the nearest integer (halves to even), sums the intensities that
// fall on one integer and scales the highest sum to 999. Peaks of zero intensity are
// dropped; the result is ascending by m/z, empty when no intensity is positive.
// Throws std::invalid_argument for lists of unequal length, a negative or non-finite
// value, or an m/z that rounds outside [0, 2^31).
std::vector<NominalPeak> nominal_spectrum(const std::vector<double>& mz,
                                          const std::vector<double>& intensity);

// The m/z of the `count` most intense peaks whose m/z is not `excluded_mz` (the
// molecular ion), ties broken by the lower m/z; in that order.
std::vector<int> top_peaks(const std::vector<NominalPeak>& spectrum, int excluded_mz,
                           std::size_t count = 10);

// Intensity on the 0-999 scale from which a measured peak counts as observed (1 % of
// the base peak) when the precision of a prediction is taken.
inline constexpr double kObservedIntensity = 10.0;

// Accuracy of one prediction against one measured spectrum; an unset value has no
// meaning for that pair (no top peaks, no predicted m/z above 1, no integer below M).
struct PredictionScores {
  std::optional<double> recall_1;      // share of top peaks with a predicted m/z within 1
  std::optional<double> recall_exact;  // share of top peaks predicted exactly
  int distinct_mz = 0;                 // number of distinct predicted m/z
  std::optional<double> precision;     // share of predicted m/z > 1 observed at >= 1 %
  std::optional<double> chance_1;      // share of 1 .. M-1 within 1 of a predicted m/z
};

// Scores the predicted m/z (any order, repeats ignored) against the spectrum of a
// molecule of nominal mass `nominal_mass`, whose top 10 peaks leave that mass out.
PredictionScores score_prediction(const std::vector<NominalPeak>& spectrum, int nominal_mass,
                                  const std::vector<int>& predicted_mz);

// For each measured m/z, the positions in `predicted_mz` of the values that lie within
// `tolerance` of it, ascending. Throws std::invalid_argument for a negative tolerance.
std::vector<std::vector<std::size_t>> match_peaks(const std::vector<int>& measured_mz,
                                                  const std::vector<int>& predicted_mz,
                                                  int tolerance);

// Rank of each candidate by its score (recall, precision), compared in that order:
// 1 + the number of other candidates whose score is at least as good, so ties count
// against each of them. In the candidates' order.
std::vector<int> candidate_ranks(const std::vector<std::pair<double, double>>& scores);

// The nominal masses of both pieces of every bond whose removal splits the molecule
// (hydrogens as the molecule holds them), ascending and distinct.
std::vector<int> single_cut_mz(const RDKit::ROMol& mol);

}  // namespace korvane::massspec
