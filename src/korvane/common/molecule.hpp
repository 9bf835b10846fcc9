// Parsing and preparation of the molecule that every analysis works on.
#pragma once
#include <GraphMol/RWMol.h>

#include <functional>
#include <memory>
#include <string>

namespace korvane {

// Whether the text can be a SMILES at all: ASCII without NUL. The parser stops at the
// first byte it cannot read and keeps the molecule up to there, so any other text
// would have another molecule analysed than the one typed.
bool is_smiles_text(const std::string& smiles);

// Parses without sanitising, computes valences leniently, sets aromaticity and
// kekulises (a failure there is ignored): prepare_molecule before the hydrogens.
// Returns nullptr when the SMILES is no SMILES text (is_smiles_text), cannot be
// parsed or describes no atom.
std::unique_ptr<RDKit::RWMol> parse_molecule(const std::string& smiles);

// parse_molecule, then explicit hydrogens added; nullptr where parse_molecule gives it.
// `before_hydrogens`, when given, sees the molecule just before its hydrogens are added
// (each atom's implicit and explicit counts known), so that a caller can refuse a
// molecule by its size before anything of that size is made; what it throws propagates.
std::unique_ptr<RDKit::RWMol> prepare_molecule(
    const std::string& smiles,
    const std::function<void(const RDKit::ROMol&)>& before_hydrogens = {});

// Rebuilds a molecule from RDKit's binary pickle (Python's Mol.ToBinary()).
std::unique_ptr<RDKit::RWMol> molecule_from_pickle(const std::string& pickle);

// Returns RDKit's binary pickle of a molecule, conformers included.
std::string pickle_molecule(const RDKit::ROMol& mol);

}  // namespace korvane
