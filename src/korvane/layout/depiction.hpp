// RDKit's 2-D depiction of a molecule, the start of the atom layout: the coordinate
// generator preferred, made one call at a time under its lock, RDKit's own generator
// where the preferred one gives non-finite positions.
#pragma once
#include <GraphMol/ROMol.h>

#include "korvane/layout/coords.hpp"

namespace korvane::layout {

// Returns RDKit's 2-D depiction of `mol` (written into it as its only conformer),
// with the coordinate generator preferred; a molecule that generator places at
// non-finite positions (hydrogen-only molecules) is depicted by RDKit's own one.
Coords depict(RDKit::ROMol& mol);

// Returns the (x, y) of every atom in the molecule's default conformer (z dropped).
Coords conformer_coords(const RDKit::ROMol& mol);

}  // namespace korvane::layout
