// The structures behind an analysis's predictions: atoms and SMILES of every piece and
// peak, with each peak's parent and path of cuts.
#include "korvane/vif/fragment_structures.hpp"

#include <map>
#include <string>
#include <vector>

#include "korvane/massspec/fragment_smiles.hpp"

namespace korvane::vif {

FragmentStructures fragment_structures(const VifMolecule& m, const VifFragments& f) {
  // Many pieces and peaks are the same atoms (a peak's first fragment is often a cut's
  // piece): each distinct set's SMILES is made once.
  std::map<std::vector<int>, std::string> smiles_of;
  const auto structure = [&](const std::vector<int>& atoms) {
    auto [at, fresh] = smiles_of.try_emplace(atoms);
    if (fresh) at->second = massspec::fragment_smiles(*m.mol, atoms);
    return FragmentStructure{atoms, at->second};
  };
  FragmentStructures out;
  out.cuts.reserve(f.fragments.size());
  for (const auto& cut : f.fragments) {
    auto& pieces = out.cuts.emplace_back();
    if (!cut.split) continue;
    for (const auto& piece : cut.fragments) pieces.push_back(structure(piece.atoms));
  }
  if (f.recursive_peaks) {
    auto& peaks = out.peaks.emplace();
    peaks.reserve(f.recursive_peaks->size());
    for (const auto& p : *f.recursive_peaks)
      peaks.push_back({structure(p.atoms), p.parent_atoms, p.cut_path});
  }
  return out;
}

}  // namespace korvane::vif
