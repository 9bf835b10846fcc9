// Measured spectra for the tests of peak matching and identification scores.
#pragma once
#include <utility>
#include <vector>

#include "korvane/massspec/spectrum_match.hpp"

// The nominal peaks (m/z, intensity) as listed.
inline std::vector<korvane::massspec::NominalPeak> spectrum(
    std::vector<std::pair<int, double>> peaks) {
  std::vector<korvane::massspec::NominalPeak> out;
  for (const auto& [mz, i] : peaks) out.push_back({mz, i});
  return out;
}
