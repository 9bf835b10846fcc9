// The structures behind the predictions: fragment SMILES, the pieces of each cut, and
// each recursive peak's fragment, parent and path of cuts.
#include <GraphMol/MolOps.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvane/common/molecule.hpp"
#include "korvane/massspec/fragment_smiles.hpp"
#include "korvane/massspec/masses.hpp"
#include "korvane/vif/fragment_structures.hpp"
#include "molecules.hpp"

namespace {

using namespace korvane;

// The atoms of `heavy` with every hydrogen bonded to one of them.
std::vector<int> with_their_hydrogens(const RDKit::ROMol& mol, const std::vector<int>& heavy) {
  std::vector<int> out = heavy;
  for (int a : heavy)
    for (const RDKit::Atom* n : mol.atomNeighbors(mol.getAtomWithIdx(static_cast<unsigned>(a))))
      if (n->getAtomicNum() == 1) out.push_back(static_cast<int>(n->getIdx()));
  std::sort(out.begin(), out.end());
  return out;
}

// The formula of a SMILES once its hydrogens are atoms again.
std::string formula_of_smiles(const std::string& smiles) {
  std::unique_ptr<RDKit::RWMol> mol(RDKit::SmilesToMol(smiles, 0, /*sanitize=*/false));
  if (!mol) return "unparsable: " + smiles;
  mol->updatePropertyCache(false);
  RDKit::MolOps::addHs(*mol);
  return massspec::fragment_formula(*mol, all_atoms(*mol));
}

TEST(FragmentSmiles, FoldsHydrogensAndLeavesRadicalsWhereBondsWereCut) {
  const auto ethanol = prepare_molecule("CCO");  // heavy atoms 0, 1, 2
  EXPECT_EQ(massspec::fragment_smiles(*ethanol, all_atoms(*ethanol)), "CCO");
  EXPECT_EQ(massspec::fragment_smiles(*ethanol, with_their_hydrogens(*ethanol, {0})), "[CH3]");
  EXPECT_EQ(massspec::fragment_smiles(*ethanol, with_their_hydrogens(*ethanol, {1, 2})), "[CH2]O");
  // Order and repetition of the indices do not matter; a hydrogen without its heavy
  // atom stays an atom, and so does a heavy atom without its hydrogens.
  auto reversed = with_their_hydrogens(*ethanol, {1, 2});
  std::reverse(reversed.begin(), reversed.end());
  reversed.push_back(reversed.front());
  EXPECT_EQ(massspec::fragment_smiles(*ethanol, reversed), "[CH2]O");
  EXPECT_EQ(massspec::fragment_smiles(*ethanol, {3}), "[H]");
  EXPECT_EQ(massspec::fragment_smiles(*ethanol, {2}), "[O]");
  EXPECT_THROW(massspec::fragment_smiles(*ethanol, {9}), std::out_of_range);

  // The prepared molecule is kekulised: the ring is written with its double bonds.
  const auto chlorobenzene = prepare_molecule("Clc1ccccc1");
  EXPECT_EQ(massspec::fragment_smiles(*chlorobenzene,
                                      with_their_hydrogens(*chlorobenzene, {1, 2, 3, 4, 5, 6})),
            "[C]1=CC=CC=C1");
  EXPECT_EQ(massspec::fragment_smiles(*chlorobenzene, {0}), "[Cl]");
  // Charges stay, and a molecule in pieces is written in pieces.
  const auto salt = prepare_molecule("[NH4+].[Cl-]");
  EXPECT_EQ(formula_of_smiles(massspec::fragment_smiles(*salt, all_atoms(*salt))), "H4ClN");
}

class AspirinStructures : public ::testing::Test {
 protected:
  void SetUp() override {
    params.ring_fragmentation = true;
    params.recursive_ms = true;
    m = vif::prepare_vif("CC(=O)Oc1ccccc1C(=O)O", params);
    ASSERT_TRUE(m);
    f = vif::fragment_vif(*m, params);
    s = vif::fragment_structures(*m, f);
  }
  vif::VifParams params;
  std::unique_ptr<vif::VifMolecule> m;
  vif::VifFragments f;
  vif::FragmentStructures s;
};

TEST_F(AspirinStructures, EachCutHasItsTwoPiecesInTheRecordsOrder) {
  const RDKit::ROMol& mol = *m->mol;
  ASSERT_EQ(s.cuts.size(), f.fragments.size());
  int splits = 0, rings = 0;
  for (std::size_t i = 0; i < f.fragments.size(); ++i) {
    const auto& cut = f.fragments[i];
    const auto& pieces = s.cuts[i];
    if (!cut.split) {
      EXPECT_TRUE(pieces.empty()) << cut.bond;
      continue;
    }
    ++splits;
    rings += cut.mode == massspec::CutMode::Ring;
    ASSERT_EQ(pieces.size(), 2u) << cut.bond;
    std::vector<int> both = pieces[0].atoms;
    both.insert(both.end(), pieces[1].atoms.begin(), pieces[1].atoms.end());
    std::sort(both.begin(), both.end());
    EXPECT_EQ(both, all_atoms(mol)) << cut.bond;  // the pieces partition the molecule
    for (std::size_t k = 0; k < 2; ++k) {
      const auto& piece = pieces[k];
      EXPECT_TRUE(std::is_sorted(piece.atoms.begin(), piece.atoms.end()));
      EXPECT_EQ(massspec::fragment_formula(mol, piece.atoms), cut.fragments[k].formula);
      EXPECT_EQ(massspec::nominal_mass(mol, piece.atoms), cut.fragments[k].mz);
      EXPECT_EQ(formula_of_smiles(piece.smiles), cut.fragments[k].formula) << piece.smiles;
    }
  }
  EXPECT_GT(splits, rings);
  EXPECT_GT(rings, 0);
}

TEST_F(AspirinStructures, EachPeakHasItsFragmentParentAndPath) {
  const RDKit::ROMol& mol = *m->mol;
  ASSERT_TRUE(f.recursive_peaks && s.peaks);
  ASSERT_EQ(s.peaks->size(), f.recursive_peaks->size());
  const auto& molecule = s.peaks->front();
  EXPECT_EQ(molecule.fragment.atoms, all_atoms(mol));
  EXPECT_TRUE(molecule.parent_atoms.empty());
  EXPECT_TRUE(molecule.cut_path.empty());
  EXPECT_EQ(molecule.fragment.smiles, "CC(=O)OC1=CC=CC=C1C(=O)O");
  bool second_generation = false;
  for (std::size_t i = 1; i < s.peaks->size(); ++i) {
    const auto& peak = (*f.recursive_peaks)[i];
    const auto& st = (*s.peaks)[i];
    EXPECT_EQ(massspec::fragment_formula(mol, st.fragment.atoms), peak.formula);
    EXPECT_EQ(massspec::nominal_mass(mol, st.fragment.atoms), peak.mz);
    EXPECT_EQ(formula_of_smiles(st.fragment.smiles), peak.formula) << st.fragment.smiles;
    // The parent holds the fragment and more; one cut per generation.
    EXPECT_TRUE(std::includes(st.parent_atoms.begin(), st.parent_atoms.end(),
                              st.fragment.atoms.begin(), st.fragment.atoms.end()));
    EXPECT_GT(st.parent_atoms.size(), st.fragment.atoms.size());
    EXPECT_EQ(st.cut_path.size(), static_cast<std::size_t>(peak.generation));
    second_generation |= peak.generation == 2;
  }
  EXPECT_TRUE(second_generation);

  // CO: the acid's OH cut off, then the C=O from the ring.
  const auto co = std::find_if(f.recursive_peaks->begin(), f.recursive_peaks->end(),
                               [](const massspec::Peak& p) { return p.mz == 28; });
  ASSERT_NE(co, f.recursive_peaks->end());
  const auto& st = (*s.peaks)[static_cast<std::size_t>(co - f.recursive_peaks->begin())];
  EXPECT_EQ(st.fragment.atoms, (std::vector<int>{10, 11}));
  EXPECT_EQ(st.fragment.smiles, "[C]=O");
  EXPECT_EQ(st.cut_path, (std::vector<std::string>{"C10-O12", "C9-C10"}));
  EXPECT_EQ(st.parent_atoms.size(), 19u);  // C9H7O3, all but the OH
}

}  // namespace
