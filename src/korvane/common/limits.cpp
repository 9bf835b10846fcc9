// The memory budget of the dense analyses: the bytes a molecule's orbital matrices take.
#include "korvane/common/limits.hpp"

#include <algorithm>
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

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// a * b, or kMax when it overflows.
std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  return a != 0 && b > kMax / a ? kMax : a * b;
}

std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) { return b > kMax - a ? kMax : a + b; }

// The shares of analysis_peak_bytes (limits.hpp).
constexpr std::uint64_t kDepictionBytesPerAtomPair = 96;
constexpr std::uint64_t kDenseMatricesPlain = 4;
constexpr std::uint64_t kDenseMatricesRecursive = 6;
constexpr std::uint64_t kBytesPerAtom = 16 << 10;
constexpr std::uint64_t kBytesPerNode = 16 << 10;

}  // namespace

std::uint64_t dense_analysis_bytes(std::int64_t n_nodes) {
  if (n_nodes <= 0) return 0;
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

std::uint64_t analysis_peak_bytes(const MoleculeSize& size, bool recursive) {
  const auto atoms = static_cast<std::uint64_t>(std::max<std::int64_t>(size.atoms, 0));
  const auto nodes = static_cast<std::uint64_t>(std::max<std::int64_t>(size.orbital_nodes, 0));
  const std::uint64_t depiction =
      saturating_product(saturating_product(atoms, atoms), kDepictionBytesPerAtomPair);
  const std::uint64_t dense = saturating_product(
      saturating_product(nodes, nodes),
      sizeof(double) * (recursive ? kDenseMatricesRecursive : kDenseMatricesPlain));
  const std::uint64_t linear = saturating_sum(saturating_product(atoms, kBytesPerAtom),
                                              saturating_product(nodes, kBytesPerNode));
  return saturating_sum(saturating_sum(depiction, dense), linear);
}

void require_analysis_budget(const MoleculeSize& size, bool recursive, std::uint64_t max_bytes) {
  const std::uint64_t need = analysis_peak_bytes(size, recursive);
  if (need <= max_bytes) return;
  throw AnalysisTooLarge("the analysis of a molecule of " + std::to_string(size.atoms) +
                         " atoms with " + std::to_string(size.orbital_nodes) +
                         " orbital nodes needs " + bytes_text(need) +
                         " at its peak (its depiction, dense matrices and result)" +
                         (recursive ? " with recursive fragmentation" : "") +
                         ", more than the limit of " + bytes_text(max_bytes));
}

}  // namespace korvane
