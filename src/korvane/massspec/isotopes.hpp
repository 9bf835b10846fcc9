// Natural isotope abundances of the common elements and the isotope envelope M+1..M+4
// of a molecule's formula.
#pragma once
#include <GraphMol/ROMol.h>

#include <array>
#include <utility>
#include <vector>

namespace korvane::massspec {

struct IsotopeAbundance {
  int mass_number = 0;
  double abundance = 0.0;  // mole fraction in natural material; an element's sum is 1
};

// The stable isotopes of an element with their natural abundances (IUPAC representative
// values), ascending by mass number; empty for an element the table does not hold.
const std::vector<IsotopeAbundance>& natural_isotopes(int atomic_num);

// Number of peaks after the molecular ion in an isotope envelope.
inline constexpr int kIsotopePeaks = 4;

// Intensities of M+1 .. M+4 relative to M, where M is the nominal mass (each element at
// its most common isotope): the exact sums over every isotope combination of the atoms
// (atomic number, count) given. An element outside the table counts as its most common
// isotope alone. Throws std::invalid_argument for a negative count or unknown element.
std::array<double, kIsotopePeaks> isotope_envelope(
    const std::vector<std::pair<int, int>>& element_counts);

// The envelope of a molecule's atoms (hydrogens as the molecule holds them); an atom with
// an isotope label ([13C]) has that isotope only.
std::array<double, kIsotopePeaks> isotope_envelope(const RDKit::ROMol& mol);

}  // namespace korvane::massspec
