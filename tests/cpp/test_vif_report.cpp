// The analysis of one SMILES and its report text.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/molecule.hpp"
#include "korvane/layout/symmetry.hpp"
#include "korvane/vif/report.hpp"
#include "korvane/vif/topology_beside.hpp"
#include "korvane/vif/vif_run.hpp"

using namespace korvane::vif;

TEST(VifReport, WaterHeadAndTail) {
  const auto m = prepare_vif("O");
  ASSERT_TRUE(m);
  EXPECT_EQ(report_head("O", *m),
            "[VIF] O\n"
            "      Molecular mass M = 18.02 g/mol (avg)  (M+ peak m/z = 18 nominal)\n"
            "      LPI = {n+=3, n0=0, n-=3}  (6 orbitals total)\n"
            "      Eigenvalues: [-1.53, -1.328, -1.0, 0.195, 0.53, 3.133]");
  const auto f = fragment_vif(*m);
  EXPECT_TRUE(f.soft_bonds.empty());
  EXPECT_EQ(report_tail(f, {}),
            "      Soft bonds: none (all bonds essential \u2192 stable M+ dominates)\n"
            "      No real fragments \u2192 M+ dominates, single peak");
}

TEST(VifReport, RingOnlySoftBondsGiveNoFragments) {
  // Benzene's six ring bonds are soft, its C-H bonds essential: a single cut of a ring
  // bond splits nothing, so without ring cuts there is no fragment to list.
  const auto m = prepare_vif("c1ccccc1");
  ASSERT_TRUE(m);
  const auto f = fragment_vif(*m);
  EXPECT_EQ(f.soft_bonds.size(), 6u);
  EXPECT_EQ(report_tail(f, {}),
            "      Soft bonds: 6  (0 single-cut fragment(s) + 6 ring bond(s))\n"
            "      No real fragments \u2192 M+ dominates, single peak");
}

TEST(VifRun, FragmentMassesRoundToTheNearestDecimal) {
  // Nitrobenzene's NO2 weighs 46.005 on average, stored just above the half: rounded to
  // the nearest two decimals it is 46.01 (a round-half-even of the scaled value would
  // give 46.0).
  const auto m = prepare_vif("c1ccccc1[N+](=O)[O-]");
  ASSERT_TRUE(m);
  const auto f = fragment_vif(*m);
  bool found = false;
  for (const auto& cut : f.fragments)
    for (const auto& piece : cut.fragments)
      if (piece.formula == "NO2") {
        found = true;
        EXPECT_EQ(piece.mass, 46.01);
        EXPECT_EQ(piece.mz, 46);
      }
  EXPECT_TRUE(found);
}

TEST(VifRun, ResultsBesideTheLayoutAreDroppedWhenACountSitsAtTheTolerance) {
  // [H][H] with a bond weight of exactly the tolerance: eigenvalues +-tol, whose counts a
  // renumbering could tip, so the helper's results must not stand and the stages run
  // again on the graph of the layout. With the ordinary weight they stand.
  VifParams p;
  p.beside_layout = true;
  const auto ordinary = prepare_vif("[H][H]", p);
  ASSERT_TRUE(ordinary);
  EXPECT_NE(ordinary->predictions, nullptr);
  p.bond_kappa = 1e-9;
  const auto at_tol = prepare_vif("[H][H]", p);
  ASSERT_TRUE(at_tol);
  EXPECT_EQ(at_tol->predictions, nullptr);
  EXPECT_TRUE((at_tol->lpi.counts == korvane::analysis::LpiCounts{0, 2, 0}));
}

TEST(VifReport, ListTexts) {
  EXPECT_EQ(float_list_text({}), "[]");
  EXPECT_EQ(float_list_text({-1e-12, 2.0, 0.1234999, -1.3275}), "[-0.0, 2.0, 0.123, -1.328]");
  EXPECT_EQ(descending_list_text({51, 77, 15}), "[77, 51, 15]");
  EXPECT_EQ(descending_list_text({}), "[]");
}

TEST(VifReport, ChlorobenzeneCutsAreListed) {
  VifParams p;
  p.recursive_ms = true;
  const auto m = prepare_vif("Clc1ccccc1", p);
  const auto f = fragment_vif(*m, p);
  const std::string tail = report_tail(f, p);
  ASSERT_TRUE(f.recursive_peaks.has_value());
  EXPECT_NE(tail.find("Multi-generation MS (2 generations, "), std::string::npos);
  for (const auto& cut : f.fragments)
    if (cut.split) {
      EXPECT_NE(tail.find("if " + cut.bond + " cleaves:  "), std::string::npos);
    }
}

TEST(VifRun, UnparsableEmptyAndNonFinite) {
  EXPECT_EQ(prepare_vif("C1CC("), nullptr);
  EXPECT_EQ(prepare_vif(""), nullptr);
  VifParams p;
  p.bond_kappa = std::nan("");
  EXPECT_THROW(prepare_vif("C", p), std::invalid_argument);
  p.bond_kappa = 0.9;
  p.target_bond_len = INFINITY;
  EXPECT_THROW(prepare_vif("C", p), std::invalid_argument);
}

TEST(VifRun, LargeGraphsTestSoftBondsBesideTheEigenvalues) {
  using korvane::analysis::SoftTest;
  bool any_soft = false;
  for (const std::string& smiles :
       {std::string(40, 'C'), std::string("NCC(=O)NCC(=O)NC(CO)C(=O)NC(Cc1ccccc1)C(=O)NCCCCC(N)C(=O)O"),
        std::string("CCCCCCCCCCCCCCCC(=O)OC[C@H](COP(=O)(O)OCC[N+](C)(C)C)OC(=O)CCCCCCC/C=C\\CCCCCCCC")}) {
    SCOPED_TRACE(smiles);
    const auto m = prepare_vif(smiles);
    ASSERT_TRUE(m);
    const int n = m->graph.n_nodes();
    ASSERT_GE(n, 100);
    EXPECT_TRUE(m->soft_verdicts.has_value());
    // The LPI is compute_lpi's, bit for bit, and the verdicts are the definition's.
    const auto lpi = korvane::analysis::compute_lpi(n, m->graph.edges, 1e-9);
    EXPECT_EQ(m->lpi.eigenvalues, lpi.eigenvalues);
    EXPECT_TRUE(m->lpi.counts == lpi.counts);
    std::vector<std::pair<int, int>> candidates;
    for (const auto& cb : m->graph.chem_bonds) candidates.emplace_back(cb.u_node, cb.v_node);
    const auto direct = korvane::analysis::detect_soft_edges_direct(n, m->graph.edges, candidates,
                                                                    lpi.counts, 1e-9);
    std::vector<int> expected;
    for (std::size_t i = 0; i < direct.size(); ++i)
      if (direct[i] == SoftTest::Soft) expected.push_back(static_cast<int>(i));
    any_soft = any_soft || !expected.empty();
    EXPECT_EQ(fragment_vif(*m).soft_bonds, expected);
  }
  EXPECT_TRUE(any_soft);  // the test compared some soft verdicts, not only essential ones
  // Small graphs take the decomposition with eigenvectors instead; recursive runs of
  // large ones do not make it beforehand (the recursion makes it if its fragments need it).
  VifParams p;
  p.beside_layout = false;
  EXPECT_FALSE(prepare_vif("CCO", p)->soft_verdicts.has_value());
  EXPECT_TRUE(prepare_vif("CCO", p)->counter != nullptr);
  p.recursive_ms = true;
  const auto rec = prepare_vif(std::string(40, 'C'), p);
  EXPECT_TRUE(rec->soft_verdicts.has_value());
  EXPECT_TRUE(rec->counter == nullptr);
}

TEST(VifRun, StagesBesideTheLayoutGiveTheSameAnalysis) {
  // The helper's graph numbers the bond units otherwise; every result but the last bits
  // of the eigenvalues is the one of the stages run in turn on the graph of the layout.
  // SF6 and PF5 put more bonds on an atom than it has nodes: which node is shared
  // depends on the layout.
  int predicted = 0, runs = 0;
  for (const std::string smiles :
       {"O", "[H][H]", "C=C=C", "CC#N", "C1CC1.O", "CC(=O)Oc1ccccc1C(=O)O", "OC1CCCCC1N",
        "FS(F)(F)(F)(F)F", "FP(F)(F)(F)F", "c1ccc2ccccc2c1", "CC(C)(C)C(=O)N[C@@H](C)C(=O)O"}) {
    for (const bool recursive : {false, true}) {
      SCOPED_TRACE(smiles + (recursive ? " recursive" : ""));
      VifParams p;
      p.recursive_ms = recursive;
      p.ring_fragmentation = recursive;
      p.beside_layout = true;
      VifParams in_turn = p;
      in_turn.beside_layout = false;
      const auto a = prepare_vif(smiles, p);
      const auto b = prepare_vif(smiles, in_turn);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(b->predictions, nullptr);
      predicted += a->predictions != nullptr;
      ++runs;
      EXPECT_TRUE(a->lpi.counts == b->lpi.counts);
      ASSERT_EQ(a->lpi.eigenvalues.size(), b->lpi.eigenvalues.size());
      for (std::size_t k = 0; k < a->lpi.eigenvalues.size(); ++k)
        EXPECT_NEAR(a->lpi.eigenvalues[k], b->lpi.eigenvalues[k], 1e-12);
      const VifFragments fa = fragment_vif(*a, p), fb = fragment_vif(*b, in_turn);
      EXPECT_EQ(fa.soft_bonds, fb.soft_bonds);
      ASSERT_EQ(fa.fragments.size(), fb.fragments.size());
      for (std::size_t i = 0; i < fa.fragments.size(); ++i) {
        EXPECT_EQ(fa.fragments[i].bond, fb.fragments[i].bond);
        EXPECT_EQ(fa.fragments[i].split, fb.fragments[i].split);
        ASSERT_EQ(fa.fragments[i].fragments.size(), fb.fragments[i].fragments.size());
        for (std::size_t j = 0; j < fa.fragments[i].fragments.size(); ++j)
          EXPECT_EQ(fa.fragments[i].fragments[j].formula, fb.fragments[i].fragments[j].formula);
      }
      EXPECT_EQ(fa.recursive_peaks.has_value(), recursive);
      EXPECT_EQ(report_tail(fa, p), report_tail(fb, in_turn));
      // A second stage asked for other settings does its own work.
      VifParams other = p;
      other.ring_fragmentation = !p.ring_fragmentation;
      EXPECT_EQ(report_tail(fragment_vif(*a, other), other),
                report_tail(fragment_vif(*b, other), other));
    }
  }
  EXPECT_GE(predicted, runs - 4);
}

TEST(TopologyBeside, EachPartRunsOnceOnWhicheverThreadTakesItFirst) {
  // Asked for at once, in either order, the parts are taken by the caller or by the
  // helper, whichever comes first, and give what the work run here gives; a part run
  // twice would fail on its promise, one taken by neither would hang. One let go unasked
  // leaves its helper nothing to run.
  const auto mol = korvane::prepare_molecule("CC(=O)Oc1ccccc1C(=O)O");
  VifParams p;
  p.recursive_ms = true;
  TopologyBeside here(*mol, p, TopologyBeside::kHere);
  const auto expected_first = here.first();
  const auto expected_peaks = here.rest().recursive_peaks;
  const auto expected_ranks = korvane::layout::symmetry_classes(*mol);
  ASSERT_TRUE(expected_peaks.has_value());
  for (int i = 0; i < 300; ++i) {
    TopologyBeside beside(*mol, p);
    if (i % 3 == 2) continue;
    if (i % 3 == 0) {
      EXPECT_EQ(beside.ranks(), expected_ranks);
    }
    const auto first = beside.first();
    EXPECT_EQ(first->verdicts, expected_first->verdicts);
    if (i % 3 == 1) {
      EXPECT_EQ(beside.ranks(), expected_ranks);
    }
    const auto rest = beside.rest();
    ASSERT_TRUE(rest.recursive_peaks.has_value());
    ASSERT_EQ(rest.recursive_peaks->size(), expected_peaks->size());
    for (std::size_t k = 0; k < expected_peaks->size(); ++k)
      EXPECT_EQ((*rest.recursive_peaks)[k].atoms, (*expected_peaks)[k].atoms);
  }
}

TEST(VifRun, WithoutCoordinatesTheLayoutIsMadeOnlyWhereItCanChangeTheGraph) {
  // Without coordinates, a molecule whose every bond unit has a node of its own is
  // analysed without a depiction; SF6 and PF5 share nodes by angle, and a count at the
  // tolerance ([H][H] at bond weight 1e-9) must be decided on the graph of the layout.
  // Every result is the one of the analysis with coordinates.
  for (const std::string smiles :
       {"O", "[H][H]", "C=C=C", "CC#N", "CC(=O)Oc1ccccc1C(=O)O", "FS(F)(F)(F)(F)F",
        "FP(F)(F)(F)F", "O=[N+]([O-])c1ccccc1", "CC(C)(C)C(=O)N[C@@H](C)C(=O)O"}) {
    for (const bool recursive : {false, true}) {
      SCOPED_TRACE(smiles + (recursive ? " recursive" : ""));
      VifParams p;
      p.recursive_ms = recursive;
      p.ring_fragmentation = recursive;
      VifParams bare = p;
      bare.need_coordinates = false;
      const auto a = prepare_vif(smiles, p);
      const auto b = prepare_vif(smiles, bare);
      ASSERT_TRUE(a && b);
      const bool shares_nodes = smiles[0] == 'F';
      EXPECT_EQ(b->mol->getNumConformers(), shares_nodes ? 1u : 0u);
      EXPECT_EQ(b->graph.pos.empty(), !shares_nodes);
      EXPECT_TRUE(a->lpi.counts == b->lpi.counts);
      EXPECT_EQ(a->mol_mass, b->mol_mass);
      EXPECT_DOUBLE_EQ(a->mol_mass_avg, b->mol_mass_avg);
      const VifFragments fa = fragment_vif(*a, p), fb = fragment_vif(*b, bare);
      EXPECT_EQ(fa.soft_bonds, fb.soft_bonds);
      EXPECT_EQ(report_tail(fa, p), report_tail(fb, bare));
      ASSERT_EQ(fa.recursive_peaks.has_value(), fb.recursive_peaks.has_value());
      if (!recursive) continue;
      ASSERT_EQ(fa.recursive_peaks->size(), fb.recursive_peaks->size());
      for (std::size_t i = 0; i < fa.recursive_peaks->size(); ++i) {
        EXPECT_EQ((*fa.recursive_peaks)[i].atoms, (*fb.recursive_peaks)[i].atoms);
        EXPECT_EQ((*fa.recursive_peaks)[i].cut_path, (*fb.recursive_peaks)[i].cut_path);
      }
    }
  }
  VifParams at_tol;
  at_tol.need_coordinates = false;
  at_tol.bond_kappa = 1e-9;
  const auto h2 = prepare_vif("[H][H]", at_tol);
  ASSERT_TRUE(h2);
  EXPECT_EQ(h2->mol->getNumConformers(), 1u);
  EXPECT_TRUE((h2->lpi.counts == korvane::analysis::LpiCounts{0, 2, 0}));
}
