// The memory budget of the dense analyses: the bytes a molecule's orbital matrices take.
#include "korvane/common/limits.hpp"

#include <cstdio>
#include <iterator>
#include <limits>
#include <string>

namespace korvane {
namespace {

// "31104345624 bytes (29.0 GiB)", in the largest binary unit not above the value.
std::string bytes_text(std::uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double scaled = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (scaled >= 1024.0 && unit + 1 < std::size(kUnits)) scaled /= 1024.0, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", scaled, kUnits[unit]);
  return std::to_string(bytes) + " bytes (" + text + ")";
}

}  // namespace

std::uint64_t dense_analysis_bytes(std::int64_t n_nodes) {
  if (n_nodes <= 0) return 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kPerEntry = sizeof(double) * kDenseMatricesPerAnalysis;
  const auto n = static_cast<std::uint64_t>(n_nodes);
  if (n > kMax / n) return kMax;
  const std::uint64_t entries = n * n;
  if (entries > kMax / kPerEntry) return kMax;
  return entries * kPerEntry;
}

void require_analysis_budget(std::int64_t n_nodes, std::uint64_t max_bytes) {
  const std::uint64_t need = dense_analysis_bytes(n_nodes);
  if (need <= max_bytes) return;
  const std::string n = std::to_string(n_nodes);
  throw AnalysisTooLarge("the analysis of a molecule with " + n + " orbital nodes needs " +
                         bytes_text(need) + " for " +
                         std::to_string(kDenseMatricesPerAnalysis) + " dense " + n + " x " + n +
                         " matrices, more than the limit of " + bytes_text(max_bytes));
}

}  // namespace korvane
