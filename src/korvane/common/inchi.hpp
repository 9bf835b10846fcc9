// The standard InChI and InChIKey of a molecule, made by the InChI library.
#pragma once
#include <GraphMol/ROMol.h>

#include <optional>
#include <string>

namespace korvane {

struct StandardInchi {
  std::string inchi;  // "InChI=1S/..."
  std::string key;    // 27 characters, "XXXXXXXXXXXXXX-YYYYYYYYFV-P"
};

// Returns the standard InChI and its key of a molecule as RDKit holds it (its explicit
// and implicit hydrogens, charges, isotope labels and radicals; Kekulé bonds, or
// alternating ones where Kekulisation failed). Returns nullopt for a molecule that
// carries stereochemistry (a chiral centre or a double bond marked in the SMILES: the
// library needs its parities, which are not passed), that has more than 1023 atoms or
// an atom with more than 20 bonds, or that the library refuses.
std::optional<StandardInchi> standard_inchi(const RDKit::ROMol& mol);

}  // namespace korvane
