// Molecules for the tests: SMILES with explicit hydrogens, and the set of all atoms.
#pragma once
#include <GraphMol/MolOps.h>
#include <GraphMol/SmilesParse/SmilesParse.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

inline std::unique_ptr<RDKit::ROMol> with_hs(const std::string& smiles) {
  std::unique_ptr<RDKit::ROMol> mol(RDKit::SmilesToMol(smiles));
  return std::unique_ptr<RDKit::ROMol>(RDKit::MolOps::addHs(*mol));
}

inline std::vector<int> all_atoms(const RDKit::ROMol& mol) {
  std::vector<int> v(mol.getNumAtoms());
  std::iota(v.begin(), v.end(), 0);
  return v;
}
