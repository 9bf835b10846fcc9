// The element table: symbols and periods for atomic numbers 1 to 118.
#include "korvane/common/elements.hpp"

#include <array>
#include <stdexcept>

namespace korvane {
namespace {

constexpr std::array<const char*, 118> kSymbols = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si",
    "P",  "S",  "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni",
    "Cu", "Zn", "Ga", "Ge", "As", "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo",
    "Tc", "Ru", "Rh", "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe", "Cs", "Ba",
    "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb",
    "Lu", "Hf", "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po",
    "At", "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf",
    "Es", "Fm", "Md", "No", "Lr", "Rf", "Db", "Sg", "Bh", "Hs", "Mt", "Ds", "Rg", "Cn",
    "Nh", "Fl", "Mc", "Lv", "Ts", "Og"};

// Atomic number of the last element of each period (noble gases; Og closes period 7).
constexpr std::array<int, 7> kPeriodEnds = {2, 10, 18, 36, 54, 86, 118};

}  // namespace

int atomic_number_of(const std::string& symbol) {
  for (std::size_t i = 0; i < kSymbols.size(); ++i)
    if (symbol == kSymbols[i]) return static_cast<int>(i) + 1;
  return 0;
}

int element_period(const std::string& symbol) {
  const int z = atomic_number_of(symbol);
  if (z == 0)
    throw std::invalid_argument("unknown element symbol '" + symbol +
                                "': no periodic-table period for it");
  int period = 1;
  while (z > kPeriodEnds[period - 1]) ++period;
  return period;
}

}  // namespace korvane
