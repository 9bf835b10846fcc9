// Charge-site marks of the pieces of splitting bond cuts.
#include <gtest/gtest.h>

#include <map>

#include "korvane/massspec/cut_sites.hpp"
#include "molecules.hpp"

namespace {

using namespace korvane::massspec;

std::map<int, std::array<int, kCutSiteCount>> by_mz(const std::string& smiles) {
  std::map<int, std::array<int, kCutSiteCount>> out;
  for (const auto& c : cut_site_counts(*with_hs(smiles))) out[c.mz] = c.counts;
  return out;
}

TEST(CutSites, MarksBenzylicAndHydrogenLoss) {
  // Toluene: each of the three methyl C-H cuts leaves the benzyl piece C7H7, m/z 91.
  const auto c = by_mz("Cc1ccccc1");
  EXPECT_EQ(c.at(91)[kSiteBenzylic], 3);
  EXPECT_EQ(c.at(91)[kSiteLossH], 8);  // the five ring C-H cuts give 91 too, not benzylic
  EXPECT_EQ(c.at(91)[kSiteHydrogenCut], 8);
  EXPECT_EQ(c.at(91)[kSiteLarger], 8);
  // The methyl-ring bond: phenyl (77) keeps an aromatic site and loses CH3.
  EXPECT_EQ(c.at(77)[kSiteAromatic], 1);
  EXPECT_EQ(c.at(77)[kSiteLossMethyl], 1);
  EXPECT_EQ(c.at(15)[kSiteBenzylic], 0);
}

TEST(CutSites, MarksAcyliumAlphaHeteroAllylicAndHalogenLoss) {
  const auto acetone = by_mz("CC(=O)C");
  EXPECT_EQ(acetone.at(43)[kSiteAcylium], 2);
  EXPECT_EQ(acetone.at(43)[kSiteLossMethyl], 2);
  const auto ethylamine = by_mz("CCN");
  EXPECT_EQ(ethylamine.at(30)[kSiteAlphaHetero], 1);  // CH2=NH2+ after the C-C cut
  EXPECT_EQ(ethylamine.at(29)[kSiteAlphaHetero], 0);  // ethyl after the C-N cut
  EXPECT_EQ(ethylamine.at(16)[kSiteHetero], 1);       // NH2 keeps its nitrogen site
  const auto butene = by_mz("C=CCC");
  EXPECT_EQ(butene.at(41)[kSiteAllylic], 1);
  EXPECT_EQ(butene.at(41)[kSiteLossMethyl], 1);
  const auto chlorobenzene = by_mz("Clc1ccccc1");
  EXPECT_EQ(chlorobenzene.at(77)[kSiteLossHalogen], 1);
  EXPECT_EQ(chlorobenzene.at(77)[kSiteAromaticPiece], 1);
  EXPECT_EQ(chlorobenzene.at(35)[kSiteAromaticPiece], 0);
  EXPECT_TRUE(cut_site_counts(*with_hs("CC.O")).empty());
}

}  // namespace
