// The whole-spectrum score of a candidate structure against a measured EI spectrum: a
// weighted cosine of measured and predicted intensities below the molecular ion, less a
// penalty for a molecular-ion isotope pattern that disagrees.
#pragma once
#include <vector>

#include "korvane/massspec/isotopes.hpp"        // kIsotopePeaks
#include "korvane/massspec/spectrum_match.hpp"  // NominalPeak

namespace korvane::massspec {

// The defaults are the values bench/identification.py chose by a coordinate search over
// a grid on 728 measured spectra outside the shipped set (started from 0.5, 0.5, 1,
// 0.35, 2, 20).
struct ScoreParameters {
  double intensity_power = 0.33;  // a measured peak counts as intensity^power * (m/z)^mz_power
  double mz_power = 0.5;
  double predicted_power = 1.0;  // a predicted peak counts as intensity^power * (m/z)^mz_power
  double isotope_weight = 0.8;   // penalty per unit of isotope-ratio difference
  double isotope_cap = 4.0;      // largest difference one ratio can add
  double min_molecular_ion = 100.0;  // measured I(M), 0-999 scale, from which the term applies
};

// The isotope ratios I(M+k) / I(M), k = 1 .. 4, of a spectrum; zeros when I(M) is 0.
std::array<double, kIsotopePeaks> isotope_ratios(const std::vector<NominalPeak>& spectrum,
                                                 int nominal_mass);

// Cosine of the two spectra over m/z 1 .. nominal_mass - 1 at equal nominal m/z, each
// peak weighted as ScoreParameters says (0 when either has nothing there), minus
// isotope_weight * sum over k of min(|r_k - p_k|, isotope_cap), r the measured and p the
// predicted isotope ratios, when the measured spectrum's peak at nominal_mass reaches
// min_molecular_ion on the 0-999 scale (spectra as nominal_spectrum gives them). Both
// spectra ascending by m/z.
double identification_score(const std::vector<NominalPeak>& measured,
                            const std::vector<NominalPeak>& predicted, int nominal_mass,
                            const ScoreParameters& parameters = {});

// identification_score of each predicted spectrum against the same measured one.
std::vector<double> identification_scores(const std::vector<NominalPeak>& measured,
                                          const std::vector<std::vector<NominalPeak>>& predicted,
                                          int nominal_mass, const ScoreParameters& parameters = {});

// Rank of each score among all, higher better: 1 + the number of other scores at least
// as high, so a tie counts against each of the tied candidates. NaN ranks below
// everything and ties with other NaN.
std::vector<int> score_ranks(const std::vector<double>& scores);

}  // namespace korvane::massspec
