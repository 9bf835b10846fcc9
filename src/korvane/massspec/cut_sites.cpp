// Charge-site marks of the pieces of splitting bond cuts.
#include "korvane/massspec/cut_sites.hpp"

#include <algorithm>
#include <map>
#include <numeric>

#include "korvane/massspec/fragments.hpp"  // build_atom_graph, components_without
#include "korvane/massspec/masses.hpp"

namespace korvane::massspec {

namespace {

bool is_hetero(const RDKit::Atom& a) {
  const int z = a.getAtomicNum();
  return z == 7 || z == 8 || z == 16;
}

bool is_halogen(const RDKit::Atom& a) {
  const int z = a.getAtomicNum();
  return z == 9 || z == 17 || z == 35 || z == 53;
}

bool in_double_cc(const RDKit::ROMol& mol, const RDKit::Atom& a) {
  for (const RDKit::Bond* b : mol.atomBonds(&a))
    if (b->getBondType() == RDKit::Bond::DOUBLE && !b->getIsAromatic() &&
        b->getOtherAtom(&a)->getAtomicNum() == 6)
      return true;
  return false;
}

// Marks of the piece holding `site` (its side of the cut bond `cut`).
void mark_site(const RDKit::ROMol& mol, const RDKit::Bond& cut, const RDKit::Atom& site,
               std::array<int, kCutSiteCount>& marks) {
  const bool carbon = site.getAtomicNum() == 6;
  bool saturated = true;
  for (const RDKit::Bond* b : mol.atomBonds(&site)) {
    if (b == &cut) continue;
    const RDKit::Atom* other = b->getOtherAtom(&site);
    if (b->getBondType() != RDKit::Bond::SINGLE) saturated = false;
    if (carbon && is_hetero(*other)) marks[kSiteAlphaHetero] = 1;
    if (!site.getIsAromatic() && other->getIsAromatic()) marks[kSiteBenzylic] = 1;
    if (carbon && b->getBondType() == RDKit::Bond::DOUBLE && other->getAtomicNum() == 8)
      marks[kSiteAcylium] = 1;
  }
  if (carbon && saturated) {
    for (const RDKit::Bond* b : mol.atomBonds(&site))
      if (b != &cut && in_double_cc(mol, *b->getOtherAtom(&site))) marks[kSiteAllylic] = 1;
  }
  if (is_hetero(site)) marks[kSiteHetero] = 1;
  if (site.getIsAromatic()) marks[kSiteAromatic] = 1;
}

}  // namespace

const std::array<const char*, kCutSiteCount>& cut_site_names() {
  static const std::array<const char*, kCutSiteCount> names = {
      "alpha_hetero", "hetero",  "benzylic",       "allylic",     "acylium",
      "aromatic",     "h_cut",   "multiple_cut",   "larger",      "aromatic_piece",
      "loss_h",       "loss_ch3", "loss_halogen"};
  return names;
}

std::vector<SiteCounts> cut_site_counts(const RDKit::ROMol& mol) {
  std::vector<int> all(mol.getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  const AtomGraph graph = build_atom_graph(mol, all);
  if (components_without(graph, {}).size() != 1) return {};
  const AtomMasses masses(mol);
  const int total = masses.nominal(all);
  std::map<int, SiteCounts> by_mz;
  for (const auto& [u, v] : graph.bonds) {
    const auto pieces = components_without(graph, {{u, v}});
    if (pieces.size() != 2) continue;
    const RDKit::Bond& bond = *mol.getBondBetweenAtoms(static_cast<unsigned>(u),
                                                       static_cast<unsigned>(v));
    const bool h_cut = atom_at(mol, u).getAtomicNum() == 1 || atom_at(mol, v).getAtomicNum() == 1;
    const bool multiple = bond.getBondType() != RDKit::Bond::SINGLE || bond.getIsAromatic();
    const int mz[2] = {masses.nominal(pieces[0]), masses.nominal(pieces[1])};
    for (int side = 0; side < 2; ++side) {
      const auto& piece = pieces[static_cast<std::size_t>(side)];
      const auto& other = pieces[static_cast<std::size_t>(1 - side)];
      if (mz[side] >= total) continue;
      std::array<int, kCutSiteCount> marks{};
      const int site_index = std::binary_search(piece.begin(), piece.end(), u) ? u : v;
      mark_site(mol, bond, atom_at(mol, site_index), marks);
      marks[kSiteHydrogenCut] = h_cut;
      marks[kSiteMultipleCut] = multiple;
      marks[kSiteLarger] = mz[side] > mz[1 - side];
      marks[kSiteAromaticPiece] = std::any_of(piece.begin(), piece.end(), [&](int a) {
        return atom_at(mol, a).getIsAromatic();
      });
      if (other.size() == 1) {
        const RDKit::Atom& lone = atom_at(mol, other[0]);
        marks[kSiteLossH] = lone.getAtomicNum() == 1;
        marks[kSiteLossHalogen] = is_halogen(lone);
      }
      if (other.size() == 4) {
        int carbons = 0, hydrogens = 0;
        for (int a : other) {
          carbons += atom_at(mol, a).getAtomicNum() == 6;
          hydrogens += atom_at(mol, a).getAtomicNum() == 1;
        }
        marks[kSiteLossMethyl] = carbons == 1 && hydrogens == 3;
      }
      SiteCounts& c = by_mz[mz[side]];
      c.mz = mz[side];
      for (std::size_t k = 0; k < kCutSiteCount; ++k) c.counts[k] += marks[k];
    }
  }
  std::vector<SiteCounts> out;
  for (const auto& [mz, c] : by_mz) out.push_back(c);
  return out;
}

}  // namespace korvane::massspec
