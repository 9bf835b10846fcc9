// Single-generation fragment prediction: single cuts, the multiple-bond rule, ring cuts.
#include <GraphMol/Depictor/RDDepictor.h>
#include <GraphMol/MolOps.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <set>
#include <string>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/molecule.hpp"
#include "korvane/massspec/fragments.hpp"

namespace {

using korvane::analysis::ChemBond;
using namespace korvane::massspec;

std::unique_ptr<RDKit::ROMol> with_hs(const std::string& smiles) {
  std::unique_ptr<RDKit::ROMol> mol(RDKit::SmilesToMol(smiles));
  return std::unique_ptr<RDKit::ROMol>(RDKit::MolOps::addHs(*mol));
}

ChemBond record(const RDKit::ROMol& mol, int u, int v, int order = 1) {
  ChemBond cb;
  cb.atom_u = u, cb.atom_v = v, cb.order = order;
  cb.sym_u = mol.getAtomWithIdx(u)->getSymbol();
  cb.sym_v = mol.getAtomWithIdx(v)->getSymbol();
  return cb;
}

// Records of the bonds with indices from..to-1, as written in the molecule.
std::vector<ChemBond> bonds(const RDKit::ROMol& mol, unsigned from, unsigned to) {
  std::vector<ChemBond> out;
  for (unsigned i = from; i < to; ++i) {
    const auto* b = mol.getBondWithIdx(i);
    out.push_back(record(mol, b->getBeginAtomIdx(), b->getEndAtomIdx()));
  }
  return out;
}

long ring_records(const std::vector<FragmentCut>& cuts) {
  return std::count_if(cuts.begin(), cuts.end(),
                       [](const FragmentCut& c) { return c.mode == CutMode::Ring; });
}

TEST(PredictFragments, ChlorobenzeneCarbonChlorineCut) {
  const auto mol = with_hs("Clc1ccccc1");
  const auto cuts = predict_fragments(*mol, {record(*mol, 0, 1)});
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].bond, "Cl0-C1");
  EXPECT_TRUE(cuts[0].split);
  ASSERT_EQ(cuts[0].fragments.size(), 2u);
  // 6 x 12.011 + 5 x 1.008 = 77.106, rounded to 77.11.
  EXPECT_EQ(cuts[0].fragments[0].formula, "C6H5");
  EXPECT_DOUBLE_EQ(cuts[0].fragments[0].mass, 77.11);
  EXPECT_EQ(cuts[0].fragments[0].mz, 77);
  EXPECT_EQ(cuts[0].fragments[1].formula, "Cl");
  EXPECT_DOUBLE_EQ(cuts[0].fragments[1].mass, 35.45);
  EXPECT_EQ(cuts[0].fragments[1].mz, 35);
  EXPECT_TRUE(predict_fragments(*mol, {}).empty());
}

TEST(PredictFragments, MultipleBondRule) {
  // Oxime C=N: the N-OH side holds two heavy atoms, so it is cut, once, labelled from
  // the first of its two records.
  const auto oxime = with_hs("CC(=NO)C");
  const auto cuts = predict_fragments(*oxime, {record(*oxime, 2, 1, 2), record(*oxime, 1, 2, 2)});
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].bond, "N2-C1");
  EXPECT_EQ(cuts[0].fragments[1].formula, "HNO");
  // C=O and C=C leaving one heavy atom give no record at all (not even a ring pair);
  // a single C-H cut splitting off one hydrogen is kept.
  const auto formaldehyde = with_hs("C=O");
  const auto f = predict_fragments(
      *formaldehyde, {record(*formaldehyde, 0, 1, 2), record(*formaldehyde, 0, 2)}, true);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].fragments[1].formula, "H");
  const auto ethylene = with_hs("C=C");
  EXPECT_TRUE(predict_fragments(*ethylene, {record(*ethylene, 0, 1, 2)}).empty());
}

TEST(PredictFragments, EqualMzPiecesKeepComponentOrder) {
  // C2H5 (29) and N2H (29): the piece holding atom 0 comes first, however the pair is written.
  const auto mol = with_hs("CCN=N");
  const auto cuts = predict_fragments(*mol, {record(*mol, 2, 1)});
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].fragments[0].formula, "C2H5");
  EXPECT_EQ(cuts[0].fragments[1].formula, "HN2");
}

TEST(PredictFragments, RingCutsDeduplicatedByMassPair) {
  const auto mol = with_hs("C1CCCCC1");
  const auto plain = predict_fragments(*mol, bonds(*mol, 0, 6));
  ASSERT_EQ(plain.size(), 6u);
  for (const auto& c : plain)
    EXPECT_TRUE(!c.split && c.fragments.empty() && c.mode == CutMode::Single);
  // Of fifteen bond pairs only the three leaving C3H6 + C3H6 reach 30: one record, the
  // first in pair order. At 28 the C2H4 + C4H8 pair is added, once.
  const auto cuts = predict_fragments(*mol, bonds(*mol, 0, 6), true);
  ASSERT_EQ(cuts.size(), 7u);
  EXPECT_EQ(cuts[6].bond, "C0-C1 + C3-C4");
  EXPECT_EQ(cuts[6].mode, CutMode::Ring);
  EXPECT_EQ(cuts[6].fragments[1].mz, 42);
  EXPECT_EQ(ring_records(predict_fragments(*mol, bonds(*mol, 0, 6), true, 28)), 2);
}

TEST(PredictFragments, RingThresholdIsInclusiveOnNominalMass) {
  // The ring carbon cut out with its substituent: CH3N (29) from cyclobutylamine,
  // CH2O (30) from cyclobutanol; ring bonds are bonds 1-4.
  const auto amine = with_hs("NC1CCC1");
  EXPECT_EQ(ring_records(predict_fragments(*amine, bonds(*amine, 1, 5), true)), 0);
  const auto at29 = predict_fragments(*amine, bonds(*amine, 1, 5), true, 29);
  ASSERT_EQ(ring_records(at29), 1);
  EXPECT_EQ(at29.back().fragments[1].formula, "CH3N");
  const auto alcohol = with_hs("OC1CCC1");
  const auto at30 = predict_fragments(*alcohol, bonds(*alcohol, 1, 5), true);
  ASSERT_EQ(ring_records(at30), 1);
  EXPECT_EQ(at30.back().bond, "C1-C2 + C1-C4");
  EXPECT_EQ(at30.back().fragments[1].mz, 30);
}

TEST(PredictFragments, MoleculeInPiecesNeverSplits) {
  // Regression: in "C1CC1.O" a ring-bond cut leaves two components, the two pieces that
  // were apart before; counting components alone reported it as a split.
  for (const char* smiles : {"CC.O", "C1CC1.O"}) {
    const auto mol = with_hs(smiles);
    const auto cuts = predict_fragments(*mol, bonds(*mol, 0, mol->getNumBonds()), true, 0);
    EXPECT_EQ(cuts.size(), mol->getNumBonds()) << smiles;
    for (const auto& c : cuts) EXPECT_FALSE(c.split) << smiles << " " << c.bond;
  }
  ChemBond outside = record(*with_hs("O"), 0, 1);
  outside.atom_v = 5;
  EXPECT_THROW(predict_fragments(*with_hs("O"), {outside}), std::out_of_range);
}

// Soft bonds of the real orbital graph, laid out with RDKit's depiction.
std::vector<ChemBond> soft_bonds_of(const RDKit::ROMol& mol) {
  RDKit::ROMol copy(mol);
  RDDepict::compute2DCoords(copy);
  korvane::layout::Coords coords;
  for (const auto& p : copy.getConformer().getPositions()) coords.push_back({p.x, p.y});
  const auto g = korvane::analysis::build_orbital_graph(mol, coords,
                                                        korvane::analysis::build_bond_orders(mol));
  std::vector<std::pair<int, int>> candidates;
  for (const auto& cb : g.chem_bonds) candidates.emplace_back(cb.u_node, cb.v_node);
  const auto base = korvane::analysis::compute_lpi(g.n_nodes(), g.edges).counts;
  const auto verdicts =
      korvane::analysis::detect_soft_edges(g.n_nodes(), g.edges, candidates, base);
  std::vector<ChemBond> softs;
  for (std::size_t i = 0; i < verdicts.size(); ++i)
    if (verdicts[i] == korvane::analysis::SoftTest::Soft) softs.push_back(g.chem_bonds[i]);
  return softs;
}

TEST(PredictFragments, ReferenceMoleculesGiveTheirMarkerPeaks) {
  for (const auto& [smiles, marker] :
       {std::pair{"c1ccc(cc1)[N+](=O)[O-]", 77}, std::pair{"CC(=NO)C", 17}}) {
    const auto mol = korvane::prepare_molecule(smiles);
    std::set<int> mz;
    for (const auto& c : predict_fragments(*mol, soft_bonds_of(*mol)))
      for (const auto& f : c.fragments) mz.insert(f.mz);
    EXPECT_TRUE(mz.count(marker)) << smiles;
  }
}

}  // namespace
