// Whole-number bond orders: RDKit's bond type values rounded half to even.
#include "korvane/analysis/bond_orders.hpp"

#include <GraphMol/Bond.h>

#include <algorithm>

#include "korvane/common/numeric.hpp"

namespace korvane::analysis {

std::vector<int> build_bond_orders(const RDKit::ROMol& mol) {
  std::vector<int> orders(mol.getNumBonds(), 1);
  for (const RDKit::Bond* bond : mol.bonds()) {
    const double x = bond->getBondTypeAsDouble();
    const int order = x == 0.0 ? 1 : static_cast<int>(round_half_even(x));
    orders[bond->getIdx()] = std::max(1, order);
  }
  return orders;
}

int bond_order_between(const RDKit::ROMol& mol, const std::vector<int>& orders, int a, int b,
                       int fallback) {
  const RDKit::Bond* bond = mol.getBondBetweenAtoms(a, b);
  return bond ? orders[bond->getIdx()] : fallback;
}

}  // namespace korvane::analysis
