// Predicted intensities: the counted sources of each m/z and their weighted sums.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "korvane/massspec/predicted_spectrum.hpp"
#include "molecules.hpp"

namespace {

using namespace korvane::massspec;

std::map<int, SourceCounts> by_mz(const FragmentSources& s) {
  std::map<int, SourceCounts> out;
  for (const auto& c : s.counts) out[c.mz] = c;
  return out;
}

std::map<int, double> by_mz(const std::vector<NominalPeak>& peaks) {
  std::map<int, double> out;
  for (const auto& p : peaks) out[p.mz] = p.intensity;
  return out;
}

TEST(FragmentSources, CountsEveryPieceOfEverySplittingCut) {
  // Ethanol with its hydrogens: C-C gives 15 + 31, C-O 29 + 17, and the five C-H and the
  // O-H bonds each give 45 + 1.
  const auto mol = with_hs("CCO");
  const auto s = fragment_sources(*mol, {}, {});
  EXPECT_EQ(s.nominal_mass, 46);
  const auto c = by_mz(s);
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c.at(45).cut_pieces, 6);
  EXPECT_EQ(c.at(1).cut_pieces, 6);
  for (int mz : {15, 17, 29, 31}) EXPECT_EQ(c.at(mz).cut_pieces, 1) << mz;
  EXPECT_NEAR(s.isotopes[0], 2 * 0.0107 / 0.9893 + 6 * 0.000115 / 0.999885 + 0.00038 / 0.99757,
              1e-4);
}

TEST(FragmentSources, CountsSoftRingAndRecursiveSourcesApart) {
  const auto mol = with_hs("CCO");
  FragmentCut soft{"C0-C1", true, CutMode::Single,
                   {{"CH2OH", 31.03, 31, {}}, {"CH3", 15.03, 15, {}}}};
  FragmentCut unsplit{"C0-O2", false, CutMode::Single, {}};
  FragmentCut ring{"x + y", true, CutMode::Ring, {{"A", 0, 31, {}}, {"B", 0, 15, {}}}};
  Peak molecule, first, second;
  molecule.mz = 46, molecule.generation = 0;
  first.mz = 31, first.generation = 1;
  second.mz = 14, second.generation = 2;
  const auto c = by_mz(fragment_sources(*mol, {soft, unsplit, ring}, {molecule, first, second}));
  EXPECT_EQ(c.at(31).soft_single, 1);
  EXPECT_EQ(c.at(31).ring, 1);
  EXPECT_EQ(c.at(31).generation1, 1);
  EXPECT_EQ(c.at(15).soft_single, 1);
  EXPECT_EQ(c.at(15).generation1, 0);
  EXPECT_EQ(c.at(14).generation2, 1);
  EXPECT_EQ(c.at(14).cut_pieces, 0);
  EXPECT_EQ(c.count(46), 0u);  // the molecule itself is no fragment source
}

TEST(PredictedSpectrum, FollowsTheDocumentedDefaultWeights) {
  FragmentSources s;
  s.nominal_mass = 100;
  s.isotopes = {0.5, 0.1, 0.0, 0.0};
  s.counts = {{15, 1, 1, 0, 1, 0},   // cut 1 + soft 1 + first generation 0.25 = 2.25
              {43, 3, 0, 1, 0, 0},   // cut 1 (three pieces, counted once) + ring 0.25 = 1.25
              {57, 0, 0, 0, 0, 1}};  // second generation only: 0, left out
  const auto p = by_mz(predicted_spectrum(s));
  ASSERT_EQ(p.size(), 5u);  // 15, 43, M, M+1, M+2
  EXPECT_DOUBLE_EQ(p.at(15), 999.0);
  EXPECT_DOUBLE_EQ(p.at(43), 999.0 * 1.25 / 2.25);
  EXPECT_DOUBLE_EQ(p.at(100), 999.0 * 2.0 / 2.25);  // molecular ion weight 2
  EXPECT_DOUBLE_EQ(p.at(101), 999.0 * 1.0 / 2.25);
  EXPECT_DOUBLE_EQ(p.at(102), 999.0 * 0.2 / 2.25);
  EXPECT_EQ(p.count(57), 0u);

  SpectrumWeights w;
  w.generation2 = 1.0, w.molecular_ion = 0.0, w.cut_repeat = 0.25;
  const auto q = predicted_spectrum(s, w);
  ASSERT_EQ(q.size(), 3u);
  EXPECT_DOUBLE_EQ(q[1].intensity, 999.0 * 1.75 / 2.25);  // 1 + 2 x 0.25 + 0.25
  EXPECT_EQ(q[2].mz, 57);
  EXPECT_DOUBLE_EQ(q[2].intensity, 999.0 / 2.25);
  w.ring = -1.0;
  EXPECT_THROW(predicted_spectrum(s, w), std::invalid_argument);
}

}  // namespace
