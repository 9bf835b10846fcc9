// Comparison of predicted nominal m/z values with a measured spectrum.
#include "korvane/massspec/spectrum_match.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

#include "korvane/common/numeric.hpp"  // round_half_even, sorted_unique
#include "korvane/massspec/fragments.hpp"  // build_atom_graph, components_without
#include "korvane/massspec/masses.hpp"

namespace korvane::massspec {

namespace {

// Whether a sorted list holds a value within `tolerance` of x.
bool has_within(const std::vector<int>& sorted, long long x, long long tolerance) {
  auto it = std::lower_bound(sorted.begin(), sorted.end(), x - tolerance,
                             [](int v, long long bound) { return v < bound; });
  return it != sorted.end() && *it <= x + tolerance;
}

}  // namespace

std::vector<NominalPeak> nominal_spectrum(const std::vector<double>& mz,
                                          const std::vector<double>& intensity) {
  if (mz.size() != intensity.size())
    throw std::invalid_argument("m/z and intensity lists differ in length");
  std::map<int, double> bins;  // ascending m/z
  for (std::size_t i = 0; i < mz.size(); ++i) {
    if (!std::isfinite(mz[i]) || !std::isfinite(intensity[i]))
      throw std::invalid_argument("peak " + std::to_string(i + 1) + " is not finite");
    if (mz[i] < 0.0 || intensity[i] < 0.0)
      throw std::invalid_argument("peak " + std::to_string(i + 1) + " is negative");
    const double rounded = round_half_even(mz[i]);
    if (rounded >= 2147483648.0)
      throw std::invalid_argument("peak " + std::to_string(i + 1) + " has an m/z out of range");
    if (intensity[i] > 0.0) bins[static_cast<int>(rounded)] += intensity[i];
  }
  double base = 0.0;
  for (const auto& [m, v] : bins) base = std::max(base, v);
  std::vector<NominalPeak> out;
  out.reserve(bins.size());
  for (const auto& [m, v] : bins) out.push_back({m, v * 999.0 / base});
  return out;
}

std::vector<int> top_peaks(const std::vector<NominalPeak>& spectrum, int excluded_mz,
                           std::size_t count) {
  std::vector<NominalPeak> peaks;
  for (const auto& p : spectrum)
    if (p.mz != excluded_mz) peaks.push_back(p);
  std::sort(peaks.begin(), peaks.end(), [](const NominalPeak& a, const NominalPeak& b) {
    return a.intensity != b.intensity ? a.intensity > b.intensity : a.mz < b.mz;
  });
  if (peaks.size() > count) peaks.resize(count);
  std::vector<int> out;
  for (const auto& p : peaks) out.push_back(p.mz);
  return out;
}

PredictionScores score_prediction(const std::vector<NominalPeak>& spectrum, int nominal_mass,
                                  const std::vector<int>& predicted_mz) {
  const std::vector<int> predicted = sorted_unique(predicted_mz);
  PredictionScores s;
  s.distinct_mz = static_cast<int>(predicted.size());

  const std::vector<int> top = top_peaks(spectrum, nominal_mass);
  if (!top.empty()) {
    int near = 0, exact = 0;
    for (int mz : top) {
      near += has_within(predicted, mz, 1);
      exact += has_within(predicted, mz, 0);
    }
    s.recall_1 = static_cast<double>(near) / static_cast<double>(top.size());
    s.recall_exact = static_cast<double>(exact) / static_cast<double>(top.size());
  }

  std::vector<int> observed;
  for (const auto& p : spectrum)
    if (p.intensity >= kObservedIntensity) observed.push_back(p.mz);
  int above_one = 0, seen = 0;
  for (int mz : predicted) {
    if (mz <= 1) continue;
    ++above_one;
    seen += has_within(observed, mz, 0);
  }
  if (above_one > 0) s.precision = static_cast<double>(seen) / above_one;

  if (nominal_mass > 1) {
    int covered = 0;
    for (int x = 1; x < nominal_mass; ++x) covered += has_within(predicted, x, 1);
    s.chance_1 = static_cast<double>(covered) / (nominal_mass - 1);
  }
  return s;
}

std::vector<std::vector<std::size_t>> match_peaks(const std::vector<int>& measured_mz,
                                                  const std::vector<int>& predicted_mz,
                                                  int tolerance) {
  if (tolerance < 0) throw std::invalid_argument("tolerance must not be negative");
  std::vector<std::vector<std::size_t>> out(measured_mz.size());
  for (std::size_t i = 0; i < measured_mz.size(); ++i)
    for (std::size_t j = 0; j < predicted_mz.size(); ++j)
      if (std::llabs(static_cast<long long>(measured_mz[i]) - predicted_mz[j]) <= tolerance)
        out[i].push_back(j);
  return out;
}

std::vector<int> candidate_ranks(const std::vector<std::pair<double, double>>& scores) {
  std::vector<std::pair<double, double>> sorted = scores;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int> out;
  out.reserve(scores.size());
  for (const auto& s : scores) {
    // Candidates at least as good, itself included, are those from its first equal on.
    const auto first = std::lower_bound(sorted.begin(), sorted.end(), s);
    out.push_back(static_cast<int>(sorted.end() - first));
  }
  return out;
}

std::vector<int> single_cut_mz(const RDKit::ROMol& mol) {
  std::vector<int> all(mol.getNumAtoms());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
  const AtomGraph graph = build_atom_graph(mol, all);
  std::vector<int> out;
  for (const auto& bond : graph.bonds) {
    const auto pieces = components_without(graph, {bond});
    if (pieces.size() != 2) continue;
    for (const auto& piece : pieces) out.push_back(nominal_mass(mol, piece));
  }
  return sorted_unique(std::move(out));
}

}  // namespace korvane::massspec
