// Recursive fragmentation: per-fragment soft bonds, child atom sets, the breadth-first driver.
#include <GraphMol/Depictor/RDDepictor.h>
#include <GraphMol/MolOps.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numeric>
#include <set>
#include <string>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/molecule.hpp"
#include "korvane/massspec/fragments_recursive.hpp"
#include "korvane/massspec/masses.hpp"
#include "molecules.hpp"

namespace {

using korvane::analysis::ChemBond;
using korvane::analysis::OrbitalGraph;
using namespace korvane::massspec;
using Sets = std::vector<std::vector<int>>;


ChemBond record(int u, int v, int order = 1, int u_node = 0, int v_node = 0) {
  ChemBond cb;
  cb.atom_u = u, cb.atom_v = v, cb.order = order, cb.u_node = u_node, cb.v_node = v_node;
  return cb;
}

// A path of one-node atoms 0-1-...; atom a owns node node_of[a], so that a fragment's
// nodes need not be a contiguous run.
OrbitalGraph chain(const std::vector<int>& node_of) {
  OrbitalGraph g;
  g.nodes.resize(node_of.size());
  for (int node : node_of) g.atom_subgraphs.push_back({node});
  for (int a = 0; a + 1 < static_cast<int>(node_of.size()); ++a) {
    g.edges.push_back({node_of[a], node_of[a + 1], 0.9});
    g.chem_bonds.push_back(record(a, a + 1, 1, node_of[a], node_of[a + 1]));
  }
  return g;
}

OrbitalGraph orbital_graph_of(const RDKit::ROMol& mol) {
  RDKit::ROMol copy(mol);
  RDDepict::compute2DCoords(copy);
  korvane::layout::Coords coords;
  for (const auto& p : copy.getConformer().getPositions()) coords.push_back({p.x, p.y});
  return korvane::analysis::build_orbital_graph(mol, coords,
                                                korvane::analysis::build_bond_orders(mol));
}

TEST(FragmentAtomSofts, JudgesBondsOnTheFragmentsOwnSubgraph) {
  // Path of four (LPI 2,0,2): only the middle bond is soft. Inside {1, 2, 3}, a path of
  // three (LPI 1,1,1), both of its bonds are, the essential 2-3 included.
  OrbitalGraph g = chain({3, 0, 2, 1});
  g.chem_bonds.push_back(record(0, 2, 1, 3, 2));  // nodes 3 and 2 are not joined
  EXPECT_EQ(fragment_atom_softs(g, {0, 1, 2, 3}), (std::vector<int>{1}));
  EXPECT_EQ(fragment_atom_softs(g, {3, 2, 1, 2}), (std::vector<int>{1, 2}));
  EXPECT_TRUE(fragment_atom_softs(g, {0, 2}).empty());
  EXPECT_TRUE(fragment_atom_softs(g, {3}).empty());
  try {
    fragment_atom_softs(g, {0, 7});
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()), "atom 7 has no orbital nodes in the graph");
  }
}

TEST(FragmentAtomSofts, WholeMoleculeAgreesWithTheMoleculesSoftBonds) {
  for (const char* smiles : {"c1ccc(cc1)[N+](=O)[O-]", "CC(=NO)C"}) {
    const auto mol = korvane::prepare_molecule(smiles);
    const OrbitalGraph g = orbital_graph_of(*mol);
    std::vector<std::pair<int, int>> candidates;
    for (const auto& cb : g.chem_bonds) candidates.emplace_back(cb.u_node, cb.v_node);
    const auto base = korvane::analysis::compute_lpi(g.n_nodes(), g.edges).counts;
    const auto verdicts =
        korvane::analysis::detect_soft_edges(g.n_nodes(), g.edges, candidates, base);
    std::vector<int> expected;
    for (int i = 0; i < static_cast<int>(verdicts.size()); ++i)
      if (verdicts[i] == korvane::analysis::SoftTest::Soft) expected.push_back(i);
    EXPECT_FALSE(expected.empty()) << smiles;
    EXPECT_EQ(fragment_atom_softs(g, all_atoms(*mol)), expected) << smiles;
  }
}

TEST(CutAtomSet, ListsChildrenAscendingBySortedAtomIndices) {
  // Ethanol: C0 C1 O2, H3-H5 on C0, H6 H7 on C1, H8 on O2. The lone hydrogen is a child
  // whatever min_mz is: the floor applies to ring cuts only.
  const auto mol = with_hs("CCO");
  EXPECT_EQ(cut_atom_set(*mol, all_atoms(*mol), {record(1, 6), record(0, 1)}, true, 1000.0),
            (Sets{{0, 1, 2, 3, 4, 5, 7, 8}, {0, 3, 4, 5}, {1, 2, 6, 7, 8}, {6}}));
  // Records reaching outside the fragment are ignored.
  EXPECT_EQ(cut_atom_set(*mol, {8, 7, 6, 2, 1}, {record(0, 1), record(2, 8)}, false, 25.0),
            (Sets{{1, 2, 6, 7}, {8}}));
  // The multiple-bond rule takes the largest order among a pair's records.
  const auto co = with_hs("C=O");
  EXPECT_TRUE(cut_atom_set(*co, {0, 1, 2, 3}, {record(0, 1), record(1, 0, 2)}, true, 0).empty());
  EXPECT_EQ(cut_atom_set(*co, {0, 1, 2, 3}, {record(0, 1)}, true, 0), (Sets{{0, 2, 3}, {1}}));
  // A fragment already in pieces has none (in "C1CC1.O" a ring cut leaves two components).
  const auto pieces = with_hs("C1CC1.O");
  EXPECT_TRUE(cut_atom_set(*pieces, all_atoms(*pieces), {record(0, 1)}, true, 0).empty());
}

TEST(CutAtomSet, RingCutFloorIsInclusiveOnAverageMass) {
  // Cyclobutanol O0 C1..C4: cutting C1-C2 and C4-C1 frees CH2O (nominal 30, average
  // 30.026); the other double cuts leave CH2 or C2H4 (28.05) pieces.
  const auto mol = with_hs("OC1CCC1");
  const std::vector<ChemBond> ring{record(1, 2), record(2, 3), record(3, 4), record(4, 1)};
  std::vector<int> ch2o{0, 1}, rest{2, 3, 4};
  for (const auto* b : mol->bonds())
    if (b->getEndAtom()->getAtomicNum() == 1)
      (static_cast<int>(b->getBeginAtomIdx()) <= 1 ? ch2o : rest).push_back(b->getEndAtomIdx());
  const double lighter = average_mass(*mol, ch2o);
  const auto cut = [&](double min_mz) {
    return cut_atom_set(*mol, all_atoms(*mol), ring, true, min_mz);
  };
  EXPECT_EQ(cut(lighter), (Sets{ch2o, rest}));
  EXPECT_EQ(cut(30.02), (Sets{ch2o, rest}));  // above the nominal 30: average mass decides
  EXPECT_TRUE(cut(std::nextafter(lighter, 1e9)).empty());
  EXPECT_EQ(cut(25.0).size(), 6u);
  EXPECT_TRUE(cut_atom_set(*mol, all_atoms(*mol), ring, false, 0).empty());
}

// N0-N1-C2-C3-O4-C5 as a path of one-node atoms (LPI 3,0,3): bonds 1-2 and 3-4 are soft
// (two plus four atoms keep the LPI, one plus five or three plus three do not), and each
// four-atom piece splits again in its middle.
class ChainFragmentation : public ::testing::Test {
 protected:
  std::unique_ptr<RDKit::ROMol> mol{RDKit::SmilesToMol("NNCCOC")};  // no hydrogens added
  OrbitalGraph graph = chain({0, 1, 2, 3, 4, 5});
};

TEST_F(ChainFragmentation, GenerationLimitStopsCutting) {
  const auto zero = predict_fragments_recursive(*mol, graph, 0);
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero[0].mz, 80);
  EXPECT_EQ(zero[0].formula, "C3N2O");
  // One generation: the molecule's four pieces, none cut again. N2 (28) and C2N2 (52)
  // come first; CO (28) and C3O (52) do not replace them.
  const auto visits = visit_fragments(*mol, graph, 1, 25, true);
  EXPECT_EQ(visits.size(), 5u);
  const auto one = predict_fragments_recursive(*mol, graph, 1);
  ASSERT_EQ(one.size(), 3u);
  EXPECT_EQ(one[1].formula, "N2");
  EXPECT_EQ(one[2].formula, "C2N2");
  EXPECT_EQ(one[2].generation, 1);
}

TEST_F(ChainFragmentation, AtomSetReachedFromTwoParentsIsCutOnce) {
  const auto visits = visit_fragments(*mol, graph, 3, 25, true);
  Sets atoms;
  for (const auto& v : visits) atoms.push_back(v.atoms);
  EXPECT_EQ(atoms, (Sets{{0, 1, 2, 3, 4, 5}, {0, 1}, {0, 1, 2, 3}, {2, 3, 4, 5}, {4, 5}, {2, 3}}));
  EXPECT_EQ(visits[5].generation, 2);
  EXPECT_EQ(visits[5].parent, 2);  // found first from {0, 1, 2, 3}
  const auto peaks = predict_fragments_recursive(*mol, graph, 3);
  ASSERT_EQ(peaks.size(), 4u);
  EXPECT_EQ(peaks[3].mz, 24);
  EXPECT_EQ(peaks[3].generation, 2);
}

TEST(PredictFragmentsRecursive, NitrobenzenePeaksFollowGenerations) {
  const auto mol = korvane::prepare_molecule("c1ccc(cc1)[N+](=O)[O-]");
  const auto peaks = predict_fragments_recursive(*mol, orbital_graph_of(*mol), 2);
  ASSERT_GT(peaks.size(), 2u);
  EXPECT_EQ(peaks[0].mz, 123);
  bool phenyl = false;
  for (std::size_t i = 1; i < peaks.size(); ++i) {
    EXPECT_GE(peaks[i].generation, peaks[i - 1].generation);
    phenyl |= peaks[i].mz == 77 && peaks[i].formula == "C6H5" && peaks[i].generation == 1;
  }
  EXPECT_TRUE(phenyl);
}

TEST(PredictFragmentsRecursive, PeaksAreTheFirstVisitOfEachMassOfTheWholeWalk) {
  // The peaks leave the last generation's repeated masses out of their walk, and test
  // there only the bonds that could give a new mass; each peak must still be the first
  // visit of its mass, with its parent, in the complete walk. A chain repeats its pieces'
  // masses; fused rings, ring double cuts (on and off) and double bonds reach new masses
  // by other cuts.
  const auto check = [](const char* smiles, bool ring) {
    const auto mol = korvane::prepare_molecule(smiles);
    const auto graph = orbital_graph_of(*mol);
    for (int generations = 1; generations <= 3; ++generations) {
      const auto visits = visit_fragments(*mol, graph, generations, 25, ring);
      std::vector<const FragmentVisit*> first;
      std::set<int> masses;
      for (const auto& v : visits)
        if (masses.insert(nominal_mass(*mol, v.atoms)).second) first.push_back(&v);
      const auto peaks = predict_fragments_recursive(*mol, graph, generations, 25, ring);
      ASSERT_EQ(peaks.size(), first.size()) << smiles << " generations " << generations;
      for (std::size_t i = 0; i < peaks.size(); ++i) {
        EXPECT_EQ(peaks[i].atoms, first[i]->atoms) << smiles;
        EXPECT_EQ(peaks[i].generation, first[i]->generation) << smiles;
        if (first[i]->parent >= 0) {
          EXPECT_EQ(peaks[i].parent_atoms, visits[static_cast<std::size_t>(first[i]->parent)].atoms);
        }
      }
    }
  };
  for (const char* smiles : {"CCCCCCCC(=O)OCCN", "CC(C)Cc1ccc(C)cc1", "OC1CCCCC1N",
                             "CCCCCCCCCCCCCC", "c1ccc2cc3ccccc3cc2c1", "O=C1C=CC(=O)C2CCCCC12"}) {
    check(smiles, true);
    check(smiles, false);
  }
}

}  // namespace
