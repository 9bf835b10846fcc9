#include "korvane/massspec/fragment_smiles.hpp"

#include <GraphMol/MolOps.h>
#include <GraphMol/RWMol.h>
#include <GraphMol/SmilesParse/SmilesWrite.h>

#include <numeric>

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

  // The fragment is made as its own molecule, the atoms outside it removed, so that
  // RDKit's valences, and with them its brackets and radicals, are the fragment's.
  RDKit::RWMol frag(mol);
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
  frag.beginBatchEdit();
  for (unsigned i = 0; i < mol.getNumAtoms(); ++i) {
    if (!keep[i]) {
      frag.removeAtom(i);
      continue;
    }
    RDKit::Atom* atom = frag.getAtomWithIdx(i);
    atom->setNoImplicit(true);
    atom->setNumExplicitHs(static_cast<unsigned>(folded[i]));
  }
  frag.commitBatchEdit();
  frag.updatePropertyCache(/*strict=*/false);
  RDKit::MolOps::assignRadicals(frag);

  std::vector<int> all(frag.getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  return RDKit::MolFragmentToSmiles(frag, all);
}

}  // namespace korvane::massspec
