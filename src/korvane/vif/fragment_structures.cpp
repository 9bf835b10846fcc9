// The structures behind an analysis's predictions: atoms and SMILES of every piece and
// peak, with each peak's parent and path of cuts.
#include "korvane/vif/fragment_structures.hpp"

#include "korvane/massspec/fragment_smiles.hpp"

namespace korvane::vif {

FragmentStructures fragment_structures(const VifMolecule& m, const VifFragments& f) {
  const auto structure = [&m](const std::vector<int>& atoms) {
    return FragmentStructure{atoms, massspec::fragment_smiles(*m.mol, atoms)};
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
