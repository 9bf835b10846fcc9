// Nominal and average masses, formulas and pair labels of atom sets.
#include <GraphMol/MolOps.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>

#include "korvane/massspec/masses.hpp"
#include "molecules.hpp"

namespace {

using namespace korvane::massspec;


TEST(NominalAtomMass, IsTheMostCommonIsotopeOfKnownElements) {
  const std::pair<int, int> rows[] = {{1, 1},  {3, 7},  {5, 11},  {6, 12},  {7, 14},
                                      {8, 16}, {9, 19}, {17, 35}, {35, 79}, {118, 294}};
  for (const auto& [z, mass] : rows) EXPECT_EQ(nominal_atom_mass(z), mass) << "Z=" << z;
  for (int z : {-1, 119}) {
    try {
      nominal_atom_mass(z);
      ADD_FAILURE() << "no exception for Z=" << z;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "unknown atomic number " + std::to_string(z));
    }
  }
}

TEST(Masses, SumNominalAndAverageMassesOfAtomSets) {
  const auto mol = with_hs("Clc1ccccc1");  // Cl0, C1..C6, H7..H11
  EXPECT_EQ(nominal_mass(*mol, all_atoms(*mol)), 112);
  EXPECT_EQ(nominal_mass(*mol, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), 77);
  EXPECT_EQ(nominal_mass(*mol, {}), 0);
  EXPECT_EQ(nominal_mass(*mol, {0, 0}), 70);  // each occurrence counts
  double sum = 0.0;
  for (const auto* atom : mol->atoms()) sum += atom->getMass();
  EXPECT_DOUBLE_EQ(average_mass(*mol, all_atoms(*mol)), sum);
  // Charged atoms count with their element's mass: N+ 14, O- 16.
  EXPECT_EQ(nominal_mass(*with_hs("c1ccc(cc1)[N+](=O)[O-]"), {6, 7, 8}), 46);
}

TEST(FragmentFormula, PutsCarbonAndHydrogenFirstThenCodePointOrder) {
  const auto water = with_hs("O");
  EXPECT_EQ(fragment_formula(*water, all_atoms(*water)), "H2O");
  EXPECT_EQ(fragment_formula(*water, {1}), "H");
  EXPECT_EQ(fragment_formula(*water, {}), "");
  const auto hcl = with_hs("Cl");
  EXPECT_EQ(fragment_formula(*hcl, all_atoms(*hcl)), "HCl");
  const auto bromoethanol = with_hs("OCCBr");
  EXPECT_EQ(fragment_formula(*bromoethanol, all_atoms(*bromoethanol)), "C2H5BrO");
  EXPECT_EQ(fragment_formula(*with_hs("ClC(Cl)Cl"), {0, 1, 2, 3}), "CCl3");
  const auto nitrite = with_hs("[O-]N=O.[Na+]");  // "N" < "Na" < "O"
  EXPECT_EQ(fragment_formula(*nitrite, all_atoms(*nitrite)), "NNaO2");
}

TEST(PairLabel, KeepsTheArgumentOrder) {
  const auto mol = with_hs("Clc1ccccc1");
  EXPECT_EQ(pair_label(*mol, 1, 0), "C1-Cl0");
  EXPECT_EQ(pair_label(*mol, 0, 1), "Cl0-C1");
}

TEST(Masses, RejectAtomIndicesOutsideTheMolecule) {
  const auto mol = with_hs("O");
  try {
    fragment_formula(*mol, {0, 3});
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()), "atom index 3 is outside the molecule of 3 atoms");
  }
  EXPECT_THROW(nominal_mass(*mol, {-1}), std::out_of_range);
  EXPECT_THROW(pair_label(*mol, 0, 7), std::out_of_range);
}

}  // namespace
