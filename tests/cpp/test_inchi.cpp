// Standard InChI and InChIKey of prepared molecules.
#include <gtest/gtest.h>

#include <string>

#include "korvane/common/inchi.hpp"
#include "korvane/common/molecule.hpp"

namespace {

using korvane::prepare_molecule;
using korvane::standard_inchi;

TEST(StandardInchi, MatchesPublishedKeys) {
  // Keys as published for these compounds; the salt, the isotope label and the radical
  // exercise the charge, isotope and radical fields.
  const std::pair<const char*, const char*> rows[] = {
      {"CCO", "LFQSCWFLJHTTHZ-UHFFFAOYSA-N"},
      {"Clc1ccccc1", "MVPPADPHJFYWMZ-UHFFFAOYSA-N"},
      {"c1ccccc1O", "ISWSIDIOOBJBQZ-UHFFFAOYSA-N"},
      {"CC(=O)[O-].[Na+]", "VMHLLURERBWHNL-UHFFFAOYSA-M"},
      {"[CH3]", "WCYWZMWISLQXQU-UHFFFAOYSA-N"},
  };
  for (const auto& [smiles, key] : rows) {
    const auto r = standard_inchi(*prepare_molecule(smiles));
    ASSERT_TRUE(r.has_value()) << smiles;
    EXPECT_EQ(r->key, key) << smiles;
    EXPECT_EQ(r->inchi.rfind("InChI=1S/", 0), 0u) << smiles;
  }
  EXPECT_EQ(standard_inchi(*prepare_molecule("[CH3]"))->inchi, "InChI=1S/CH3/h1H3");
}

TEST(StandardInchi, IsNotMadeForStereochemistryItCannotPass) {
  for (const char* smiles : {"C[C@H](N)O", "F/C=C/F", "F/C=C\\F"})
    EXPECT_FALSE(standard_inchi(*prepare_molecule(smiles)).has_value()) << smiles;
  // Stereochemistry the SMILES leaves open is the InChI's own default.
  EXPECT_TRUE(standard_inchi(*prepare_molecule("CC(N)O")).has_value());
}

}  // namespace
