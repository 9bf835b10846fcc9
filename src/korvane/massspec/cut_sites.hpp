// Where the charge of an EI fragment may sit: per nominal m/z, how many pieces of the
// molecule's splitting bond cuts carry each of a set of charge-site marks (alpha to a
// heteroatom, benzylic, allylic, acylium, ...), the marks a scorer can learn weights for.
#pragma once
#include <GraphMol/ROMol.h>

#include <array>
#include <cstddef>
#include <vector>

namespace korvane::massspec {

// The marks of one piece of a cut bond. "The site" is the piece's atom at the cut.
enum CutSite : std::size_t {
  kSiteAlphaHetero,   // the site is a carbon bonded, in the piece, to N, O or S
  kSiteHetero,        // the site itself is N, O or S
  kSiteBenzylic,      // the site is not aromatic and bonded to an aromatic atom
  kSiteAllylic,       // the site is a saturated carbon bonded to a C=C carbon
  kSiteAcylium,       // the site is a carbon double-bonded to O in the piece
  kSiteAromatic,      // the site is aromatic
  kSiteHydrogenCut,   // the cut bond holds a hydrogen
  kSiteMultipleCut,   // the cut bond is double, triple or aromatic
  kSiteLarger,        // the piece is the heavier one (Stevenson's rule, as a proxy)
  kSiteAromaticPiece, // the piece holds an aromatic atom
  kSiteLossH,         // the other piece is one hydrogen
  kSiteLossMethyl,    // the other piece is CH3
  kSiteLossHalogen,   // the other piece is one halogen atom
  kCutSiteCount
};

// Short names of the marks, in CutSite order ("alpha_hetero", ...).
const std::array<const char*, kCutSiteCount>& cut_site_names();

struct SiteCounts {
  int mz = 0;
  std::array<int, kCutSiteCount> counts{};  // pieces at this m/z with each mark
};

// The pieces of every bond whose removal splits the molecule (explicit hydrogens, as
// fragment_sources counts them), their marks summed per nominal m/z below the molecule's
// nominal mass; ascending m/z, only m/z some piece reaches. Empty for a molecule in
// several pieces.
std::vector<SiteCounts> cut_site_counts(const RDKit::ROMol& mol);

}  // namespace korvane::massspec
