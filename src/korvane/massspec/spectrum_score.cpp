// Weighted cosine with an isotope-pattern term, and ranks by score.
#include "korvane/massspec/spectrum_score.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace korvane::massspec {

namespace {

double intensity_at(const std::vector<NominalPeak>& spectrum, int mz) {
  const auto it = std::lower_bound(spectrum.begin(), spectrum.end(), mz,
                                   [](const NominalPeak& p, int x) { return p.mz < x; });
  return it != spectrum.end() && it->mz == mz ? it->intensity : 0.0;
}

void check(const ScoreParameters& p) {
  for (double x : {p.intensity_power, p.mz_power, p.predicted_power, p.isotope_weight,
                   p.isotope_cap, p.min_molecular_ion})
    if (!std::isfinite(x) || x < 0.0)
      throw std::invalid_argument("score parameters must be finite and not negative");
}

}  // namespace

std::array<double, kIsotopePeaks> isotope_ratios(const std::vector<NominalPeak>& spectrum,
                                                 int nominal_mass) {
  std::array<double, kIsotopePeaks> out{};
  const double m = intensity_at(spectrum, nominal_mass);
  if (m <= 0.0) return out;
  for (int k = 1; k <= kIsotopePeaks; ++k)
    out[static_cast<std::size_t>(k - 1)] = intensity_at(spectrum, nominal_mass + k) / m;
  return out;
}

double identification_score(const std::vector<NominalPeak>& measured,
                            const std::vector<NominalPeak>& predicted, int nominal_mass,
                            const ScoreParameters& p) {
  check(p);
  double dot = 0.0, measured_norm = 0.0, predicted_norm = 0.0;
  const auto weighted = [nominal_mass](const NominalPeak& peak, double power, double mz_power) {
    if (peak.mz < 1 || peak.mz >= nominal_mass || peak.intensity <= 0.0) return 0.0;
    return std::pow(peak.intensity, power) * std::pow(static_cast<double>(peak.mz), mz_power);
  };
  // Both lists ascending: a merge pairs equal m/z.
  std::size_t j = 0;
  for (const auto& a : measured) {
    const double wa = weighted(a, p.intensity_power, p.mz_power);
    measured_norm += wa * wa;
    while (j < predicted.size() && predicted[j].mz < a.mz) ++j;
    if (j < predicted.size() && predicted[j].mz == a.mz)
      dot += wa * weighted(predicted[j], p.predicted_power, p.mz_power);
  }
  for (const auto& b : predicted) {
    const double wb = weighted(b, p.predicted_power, p.mz_power);
    predicted_norm += wb * wb;
  }
  double score = dot > 0.0 ? dot / std::sqrt(measured_norm * predicted_norm) : 0.0;
  if (intensity_at(measured, nominal_mass) >= p.min_molecular_ion && p.isotope_weight > 0.0) {
    const auto r = isotope_ratios(measured, nominal_mass);
    const auto q = isotope_ratios(predicted, nominal_mass);
    double distance = 0.0;
    for (std::size_t k = 0; k < r.size(); ++k)
      distance += std::min(std::abs(r[k] - q[k]), p.isotope_cap);
    score -= p.isotope_weight * distance;
  }
  return score;
}

std::vector<double> identification_scores(const std::vector<NominalPeak>& measured,
                                          const std::vector<std::vector<NominalPeak>>& predicted,
                                          int nominal_mass, const ScoreParameters& parameters) {
  std::vector<double> out;
  out.reserve(predicted.size());
  for (const auto& p : predicted)
    out.push_back(identification_score(measured, p, nominal_mass, parameters));
  return out;
}

std::vector<int> score_ranks(const std::vector<double>& scores) {
  // NaN becomes -infinity, below any real score (and equal to another NaN).
  std::vector<double> clean(scores);
  for (double& s : clean)
    if (std::isnan(s)) s = -std::numeric_limits<double>::infinity();
  std::vector<double> sorted = clean;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int> out;
  out.reserve(clean.size());
  for (double s : clean) {
    const auto first = std::lower_bound(sorted.begin(), sorted.end(), s);
    out.push_back(static_cast<int>(sorted.end() - first));
  }
  return out;
}

}  // namespace korvane::massspec
