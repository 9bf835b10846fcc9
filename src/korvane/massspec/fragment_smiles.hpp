// SMILES of a fragment given as atoms of the molecule with explicit hydrogens.
#pragma once
#include <GraphMol/ROMol.h>

#include <string>
#include <vector>

namespace korvane::massspec {

// Returns the canonical SMILES that RDKit's MolFragmentToSmiles writes for the atoms
// (any order, duplicates ignored) once the hydrogen atoms among them are folded into
// their heavy atoms: a hydrogen of the set whose one bond goes to a heavy atom of the set
// becomes part of that atom's hydrogen count; any other hydrogen stays an atom ("[H]").
// A bond that leaves the set leaves a radical on its atom in the set, as RDKit assigns
// radicals: the CH3 cut from ethane is "[CH3]", the phenyl of chlorobenzene
// "[C]1=CC=CC=C1". std::out_of_range for an index outside the molecule.
std::string fragment_smiles(const RDKit::ROMol& mol, const std::vector<int>& atoms);

}  // namespace korvane::massspec
