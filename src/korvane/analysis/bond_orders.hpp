// Whole-number bond orders of a molecule's bonds.
#pragma once
#include <GraphMol/ROMol.h>

#include <vector>

namespace korvane::analysis {

// Returns one order >= 1 per bond, indexed by RDKit bond index: the bond type's value
// rounded half-to-even (aromatic 1.5 -> 2), and 1 for a type without value.
std::vector<int> build_bond_orders(const RDKit::ROMol& mol);

// Returns the order of the bond between atoms a and b, or `fallback` when they are not bonded.
int bond_order_between(const RDKit::ROMol& mol, const std::vector<int>& orders, int a, int b,
                       int fallback = 1);

}  // namespace korvane::analysis
