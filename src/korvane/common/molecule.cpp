// Parsing a SMILES and preparing the molecule every analysis works on.
#include "korvane/common/molecule.hpp"

#include <GraphMol/MolOps.h>
#include <GraphMol/MolPickler.h>
#include <GraphMol/SmilesParse/SmilesParse.h>

#include <algorithm>
#include <exception>

namespace korvane {

bool is_smiles_text(const std::string& smiles) {
  // UTF-8 writes every character outside ASCII (a letter, a symbol, a zero-width
  // space) with bytes above 0x7F.
  return std::none_of(smiles.begin(), smiles.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == 0 || byte > 0x7F;
  });
}

std::unique_ptr<RDKit::RWMol> parse_molecule(const std::string& smiles) {
  if (!is_smiles_text(smiles)) return nullptr;
  std::unique_ptr<RDKit::RWMol> mol;
  try {
    mol.reset(RDKit::SmilesToMol(smiles, /*debugParse=*/0, /*sanitize=*/false));
  } catch (const std::exception&) {
    // A SMILES the parser rejects is an ordinary outcome, not an error.
    return nullptr;
  }
  // An empty SMILES parses to a molecule without atoms: nothing to analyse.
  if (!mol || mol->getNumAtoms() == 0) return nullptr;

  mol->updatePropertyCache(/*strict=*/false);
  try {
    RDKit::MolOps::setAromaticity(*mol);
    RDKit::MolOps::Kekulize(*mol, /*markAtomsBonds=*/true);
  } catch (const std::exception&) {
    // Deliberately swallowed: a molecule that cannot be aromatised or kekulised
    // is analysed as it stands (aromatic bonds then read as order 1.5).
  }
  return mol;
}

std::unique_ptr<RDKit::RWMol> prepare_molecule(
    const std::string& smiles, const std::function<void(const RDKit::ROMol&)>& before_hydrogens) {
  auto mol = parse_molecule(smiles);
  if (!mol) return nullptr;
  if (before_hydrogens) before_hydrogens(*mol);
  RDKit::MolOps::addHs(*mol);
  return mol;
}

std::unique_ptr<RDKit::RWMol> molecule_from_pickle(const std::string& pickle) {
  auto mol = std::make_unique<RDKit::RWMol>();
  RDKit::MolPickler::molFromPickle(pickle, *mol);
  return mol;
}

std::string pickle_molecule(const RDKit::ROMol& mol) {
  std::string out;
  RDKit::MolPickler::pickleMol(mol, out);
  return out;
}

}  // namespace korvane
