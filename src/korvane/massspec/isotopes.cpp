// Isotope envelopes from natural abundances.
#include "korvane/massspec/isotopes.hpp"

#include <map>
#include <stdexcept>
#include <string>

#include "korvane/massspec/masses.hpp"  // nominal_atom_mass

namespace korvane::massspec {

namespace {

// Probabilities of mass shifts lo .. lo + size - 1 from the nominal mass.
struct ShiftDistribution {
  int lo = 0;
  std::vector<double> p{1.0};
};

// Shifts above the envelope's last peak never come back into it (an isotope shift below
// 0 exists only for the elements whose most common isotope is not the lightest, and
// those are tracked down to their lowest sum), so they are dropped as they appear.
void convolve(ShiftDistribution& d, const std::vector<std::pair<int, double>>& shifts) {
  int low_shift = 0;
  for (const auto& [s, q] : shifts) low_shift = std::min(low_shift, s);
  ShiftDistribution out;
  out.lo = d.lo + low_shift;
  const int hi = kIsotopePeaks;
  out.p.assign(static_cast<std::size_t>(hi - out.lo + 1), 0.0);
  for (std::size_t i = 0; i < d.p.size(); ++i) {
    const int base = d.lo + static_cast<int>(i);
    for (const auto& [s, q] : shifts) {
      const int shift = base + s;
      if (shift > hi) continue;
      out.p[static_cast<std::size_t>(shift - out.lo)] += d.p[i] * q;
    }
  }
  d = std::move(out);
}

std::vector<std::pair<int, double>> element_shifts(int atomic_num) {
  const int nominal = nominal_atom_mass(atomic_num);
  std::vector<std::pair<int, double>> out;
  for (const auto& iso : natural_isotopes(atomic_num))
    out.emplace_back(iso.mass_number - nominal, iso.abundance);
  if (out.empty()) out.emplace_back(0, 1.0);
  return out;
}

std::array<double, kIsotopePeaks> relative_to_m(const ShiftDistribution& d) {
  std::array<double, kIsotopePeaks> out{};
  const double m = d.p[static_cast<std::size_t>(-d.lo)];
  if (m <= 0.0) return out;
  for (int k = 1; k <= kIsotopePeaks; ++k)
    out[static_cast<std::size_t>(k - 1)] = d.p[static_cast<std::size_t>(k - d.lo)] / m;
  return out;
}

}  // namespace

const std::vector<IsotopeAbundance>& natural_isotopes(int atomic_num) {
  static const std::map<int, std::vector<IsotopeAbundance>> table = {
      {1, {{1, 0.999885}, {2, 0.000115}}},
      {3, {{6, 0.0759}, {7, 0.9241}}},
      {5, {{10, 0.199}, {11, 0.801}}},
      {6, {{12, 0.9893}, {13, 0.0107}}},
      {7, {{14, 0.99636}, {15, 0.00364}}},
      {8, {{16, 0.99757}, {17, 0.00038}, {18, 0.00205}}},
      {9, {{19, 1.0}}},
      {11, {{23, 1.0}}},
      {14, {{28, 0.92223}, {29, 0.04685}, {30, 0.03092}}},
      {15, {{31, 1.0}}},
      {16, {{32, 0.9499}, {33, 0.0075}, {34, 0.0425}, {36, 0.0001}}},
      {17, {{35, 0.7576}, {37, 0.2424}}},
      {19, {{39, 0.932581}, {40, 0.000117}, {41, 0.067302}}},
      {33, {{75, 1.0}}},
      {34, {{74, 0.0089}, {76, 0.0937}, {77, 0.0763}, {78, 0.2377}, {80, 0.4961}, {82, 0.0873}}},
      {35, {{79, 0.5069}, {81, 0.4931}}},
      {53, {{127, 1.0}}},
  };
  static const std::vector<IsotopeAbundance> none;
  const auto it = table.find(atomic_num);
  return it == table.end() ? none : it->second;
}

std::array<double, kIsotopePeaks> isotope_envelope(
    const std::vector<std::pair<int, int>>& element_counts) {
  ShiftDistribution d;
  for (const auto& [atomic_num, count] : element_counts) {
    if (count < 0)
      throw std::invalid_argument("negative count of element " + std::to_string(atomic_num));
    const auto shifts = element_shifts(atomic_num);
    for (int i = 0; i < count; ++i) convolve(d, shifts);
  }
  return relative_to_m(d);
}

std::array<double, kIsotopePeaks> isotope_envelope(const RDKit::ROMol& mol) {
  std::map<int, int> counts;
  for (const RDKit::Atom* atom : mol.atoms())
    if (atom->getIsotope() == 0) ++counts[atom->getAtomicNum()];
  // A labelled atom shifts nothing: its label is already its nominal mass.
  return isotope_envelope(std::vector<std::pair<int, int>>(counts.begin(), counts.end()));
}

}  // namespace korvane::massspec
