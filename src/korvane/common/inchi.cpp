// The standard InChI and InChIKey of a molecule: its atoms and bonds handed to the InChI
// library's structure input, one call at a time under a lock.
#include "korvane/common/inchi.hpp"

#include <GraphMol/Atom.h>
#include <GraphMol/Bond.h>
#include <inchi_api.h>

#include <array>
#include <cstring>
#include <mutex>
#include <vector>

namespace korvane {
namespace {

bool has_stereo(const RDKit::ROMol& mol) {
  for (const auto* a : mol.atoms())
    if (a->getChiralTag() != RDKit::Atom::CHI_UNSPECIFIED) return true;
  // A double bond's configuration is held by its neighbours' directions ("/", "\\")
  // until RDKit perceives it, and the analysis' molecule is not sanitised.
  for (const auto* b : mol.bonds())
    if (b->getStereo() > RDKit::Bond::STEREOANY || b->getBondDir() == RDKit::Bond::ENDUPRIGHT ||
        b->getBondDir() == RDKit::Bond::ENDDOWNRIGHT)
      return true;
  return false;
}

S_CHAR bond_type(const RDKit::Bond& b) {
  switch (b.getBondType()) {
    case RDKit::Bond::SINGLE: return INCHI_BOND_TYPE_SINGLE;
    case RDKit::Bond::DOUBLE: return INCHI_BOND_TYPE_DOUBLE;
    case RDKit::Bond::TRIPLE: return INCHI_BOND_TYPE_TRIPLE;
    default: return INCHI_BOND_TYPE_ALTERN;
  }
}

// The library keeps state between calls and is not safe to call from two threads.
std::mutex inchi_mutex;

}  // namespace

std::optional<StandardInchi> standard_inchi(const RDKit::ROMol& mol) {
  const unsigned n = mol.getNumAtoms();
  if (n == 0 || n > 1023 || has_stereo(mol)) return std::nullopt;
  std::vector<inchi_Atom> atoms(n);
  std::memset(atoms.data(), 0, n * sizeof(inchi_Atom));
  for (const auto* a : mol.atoms()) {
    inchi_Atom& x = atoms[a->getIdx()];
    const std::string symbol = a->getSymbol();
    if (symbol.size() >= ATOM_EL_LEN || a->getAtomicNum() == 0) return std::nullopt;
    std::strcpy(x.elname, symbol.c_str());
    // Every hydrogen is given, so the library must add none of its own.
    x.num_iso_H[0] = static_cast<S_CHAR>(a->getTotalNumHs(false));
    x.charge = static_cast<S_CHAR>(a->getFormalCharge());
    x.isotopic_mass = static_cast<AT_NUM>(a->getIsotope());
    const unsigned radicals = a->getNumRadicalElectrons();
    x.radical = radicals == 0   ? INCHI_RADICAL_NONE
                : radicals == 1 ? INCHI_RADICAL_DOUBLET
                                : INCHI_RADICAL_TRIPLET;
  }
  // Each bond is listed once, at its begin atom.
  for (const auto* b : mol.bonds()) {
    inchi_Atom& x = atoms[b->getBeginAtomIdx()];
    if (x.num_bonds >= MAXVAL) return std::nullopt;
    x.neighbor[x.num_bonds] = static_cast<AT_NUM>(b->getEndAtomIdx());
    x.bond_type[x.num_bonds] = bond_type(*b);
    x.bond_stereo[x.num_bonds] = INCHI_BOND_STEREO_NONE;
    ++x.num_bonds;
  }
  std::array<char, 16> options{};  // none: the standard InChI
  inchi_Input input{};
  input.atom = atoms.data();
  input.szOptions = options.data();
  input.num_atoms = static_cast<AT_NUM>(n);
  std::lock_guard<std::mutex> lock(inchi_mutex);
  inchi_Output output{};
  const int ret = GetStdINCHI(&input, &output);
  std::optional<StandardInchi> result;
  if ((ret == inchi_Ret_OKAY || ret == inchi_Ret_WARNING) && output.szInChI != nullptr) {
    std::array<char, 32> key{};
    if (GetStdINCHIKeyFromStdINCHI(output.szInChI, key.data()) == INCHIKEY_OK)
      result = StandardInchi{output.szInChI, key.data()};
  }
  FreeStdINCHI(&output);
  return result;
}

}  // namespace korvane
