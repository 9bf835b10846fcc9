#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/vif/report.hpp"
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
  if (f.soft_bonds.empty()) {
    EXPECT_EQ(report_tail(*m, f, {}),
              "      Soft bonds: none (all bonds essential \u2192 stable M+ dominates)\n"
              "      No real fragments \u2192 M+ dominates, single peak");
  }
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
  const std::string tail = report_tail(*m, f, p);
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
  // Small graphs, and recursive runs, take the decomposition with eigenvectors instead.
  EXPECT_FALSE(prepare_vif("CCO")->soft_verdicts.has_value());
  VifParams p;
  p.recursive_ms = true;
  const auto rec = prepare_vif(std::string(40, 'C'), p);
  EXPECT_FALSE(rec->soft_verdicts.has_value());
  EXPECT_TRUE(rec->counter != nullptr);
}
