// SMILES of a fragment of the molecule with explicit hydrogens, its hydrogens folded in.
#include "korvane/massspec/fragment_smiles.hpp"

#include <GraphMol/MolOps.h>
#include <GraphMol/RWMol.h>
#include <GraphMol/SmilesParse/SmilesWrite.h>

#include <numeric>
#include <utility>

#include "korvane/massspec/masses.hpp"  // atom_at

namespace korvane::massspec {

namespace {

bool folds_into_heavy_atom(const RDKit::ROMol& mol, const RDKit::Atom& atom,
                           const std::vector<char>& in_set) {
  if (atom.getAtomicNum() != 1 || atom.getDegree() != 1) return false;
  for (const RDKit::Atom* n : mol.atomNeighbors(&atom))
    if (n->getAtomicNum() > 1 && in_set[n->getIdx()]) return true;
  return false;
}

}  // namespace

std::string fragment_smiles(const RDKit::ROMol& mol, const std::vector<int>& atoms) {
  std::vector<char> in_set(mol.getNumAtoms(), 0);
  for (int a : atoms) in_set[atom_at(mol, a).getIdx()] = 1;

  // The fragment is made as its own molecule of its atoms and the bonds between them,
  // so that RDKit's valences, and with them its brackets and radicals, are the
  // fragment's. It is built up rather than cut out of a copy: copying the whole molecule
  // and removing the other atoms cost several times the SMILES itself.
  std::vector<int> folded(mol.getNumAtoms(), 0);  // hydrogens folded into each atom
  std::vector<char> keep(mol.getNumAtoms(), 0);
  for (const RDKit::Atom* atom : mol.atoms()) {
    const unsigned i = atom->getIdx();
    if (!in_set[i]) continue;
    if (folds_into_heavy_atom(mol, *atom, in_set)) {
      for (const RDKit::Atom* n : mol.atomNeighbors(atom)) ++folded[n->getIdx()];
    } else {
      keep[i] = 1;
    }
  }
  RDKit::RWMol frag;
  std::vector<int> new_index(mol.getNumAtoms(), -1);
  for (const RDKit::Atom* atom : mol.atoms()) {
    const unsigned i = atom->getIdx();
    if (!keep[i]) continue;
    new_index[i] = static_cast<int>(frag.addAtom(atom->copy(), false, true));
    RDKit::Atom* copy = frag.getAtomWithIdx(static_cast<unsigned>(new_index[i]));
    copy->setNoImplicit(true);
    copy->setNumExplicitHs(static_cast<unsigned>(folded[i]));
  }
  std::vector<std::pair<const RDKit::Bond*, RDKit::Bond*>> copies;  // original, copy
  for (const RDKit::Bond* bond : mol.bonds()) {
    const int u = new_index[bond->getBeginAtomIdx()], v = new_index[bond->getEndAtomIdx()];
    if (u < 0 || v < 0) continue;
    RDKit::Bond* copy = bond->copy();
    copy->getStereoAtoms().clear();
    copy->setOwningMol(&frag);
    copy->setBeginAtomIdx(static_cast<unsigned>(u));
    copy->setEndAtomIdx(static_cast<unsigned>(v));
    frag.addBond(copy, true);
    copies.emplace_back(bond, copy);
  }
  // Stereo reference atoms are renumbered once every bond is in place, or dropped with
  // the configuration when one of them is not in the fragment, as removing it would.
  for (const auto& [bond, copy] : copies) {
    const auto& ref = bond->getStereoAtoms();
    if (ref.size() != 2) continue;
    const int a = new_index[static_cast<unsigned>(ref[0])];
    const int b = new_index[static_cast<unsigned>(ref[1])];
    if (a >= 0 && b >= 0) {
      copy->setStereoAtoms(static_cast<unsigned>(a), static_cast<unsigned>(b));
    } else {
      copy->setStereo(RDKit::Bond::STEREONONE);
    }
  }
  frag.updatePropertyCache(/*strict=*/false);
  RDKit::MolOps::assignRadicals(frag);

  std::vector<int> all(frag.getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  return RDKit::MolFragmentToSmiles(frag, all);
}

}  // namespace korvane::massspec
