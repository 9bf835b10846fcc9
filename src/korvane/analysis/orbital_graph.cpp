// Building the orbital graph: nodes and sigma cliques atom by atom, then one edge per
// bond unit between the nodes the bond-slot assignment chose.
#include "korvane/analysis/orbital_graph.hpp"

#include <GraphMol/Atom.h>
#include <GraphMol/Bond.h>

#include <algorithm>
#include <utility>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/bond_slots.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/common/pair_key.hpp"
#include "korvane/layout/node_placement.hpp"

namespace korvane::analysis {
namespace {

// Neighbours of an atom in RDKit's order, each with the order of the bond to it.
std::vector<layout::NeighbourBond> neighbour_bonds(const RDKit::ROMol& mol,
                                                   const std::vector<int>& bond_orders,
                                                   const RDKit::Atom* atom) {
  std::vector<layout::NeighbourBond> out;
  for (const RDKit::Atom* nbr : mol.atomNeighbors(atom)) {
    const int n_idx = static_cast<int>(nbr->getIdx());
    out.push_back({n_idx, bond_order_between(mol, bond_orders, static_cast<int>(atom->getIdx()),
                                             n_idx)});
  }
  return out;
}

}  // namespace

int orbital_node_count(int period) {
  if (period == 2 || period == 3) return 4;
  if (period > 3) return 9;
  return 1;
}

const char* orbital_role(const std::string& symbol) {
  return (symbol == "C" || symbol == "Li") ? "Merkez" : "U\xc3\xa7";  // "Uç" in UTF-8
}

namespace {

// What the passes of build_orbital_graph keep of each atom besides the graph itself.
struct AtomNodes {
  std::vector<int> sigma, pi;                       // its node ids by kind
  std::vector<layout::NeighbourBond> neighbours;    // in RDKit's order, with bond orders
  layout::AtomNodeAngles angles;                    // its nodes' directions
};

// Adds the atom's nodes (sigma ones first, as many pi ones as its multiple bonds take
// while one sigma node stays), their sigma clique and their drawing positions.
AtomNodes add_atom_nodes(OrbitalGraph& g, const RDKit::ROMol& mol, const RDKit::Atom& atom,
                         const layout::Coords& coords, const std::vector<int>& bond_orders,
                         double radius) {
  AtomNodes out;
  const int idx = static_cast<int>(atom.getIdx());
  const auto uidx = static_cast<std::size_t>(idx);
  const std::string symbol = atom.getSymbol();
  const int n_nodes = orbital_node_count(element_period(symbol));
  out.neighbours = neighbour_bonds(mol, bond_orders, &atom);

  int pi_count = 0;
  for (const auto& nb : out.neighbours) pi_count += std::max(0, nb.order - 1);
  const int n_pi = n_nodes > 1 ? std::min(pi_count, n_nodes - 1) : 0;
  const int n_sigma = n_nodes - n_pi;

  const int first = g.n_nodes();
  for (int i = 0; i < n_nodes; ++i) {
    const bool sigma = i < n_sigma;
    g.nodes.push_back({idx, symbol, sigma ? OrbitalKind::Sigma : OrbitalKind::Pi});
    g.atom_subgraphs[uidx].push_back(first + i);
    (sigma ? out.sigma : out.pi).push_back(first + i);
  }
  const auto& sig = out.sigma;
  for (std::size_t a = 0; a < sig.size(); ++a)
    for (std::size_t b = a + 1; b < sig.size(); ++b) g.edges.push_back({sig[a], sig[b], 1.0});

  out.angles.first_node = first;
  out.angles.angles = layout::atom_node_angles(coords, idx, out.neighbours, n_nodes);
  for (int i = 0; i < n_nodes; ++i)
    g.pos.push_back(layout::node_position(coords[uidx], radius, out.angles.angles[i]));
  return out;
}

// Adds one edge and one record per unit of the bond whose node pair is free. A bond
// joins nodes of two different atoms, so its edges never meet a sigma clique's, and no
// two bonds join the same two atoms: a unit's node pair can only be taken by an earlier
// unit of the same bond.
void add_bond_edges(OrbitalGraph& g, const RDKit::Bond& bond, int order,
                    const std::vector<BondSlots>& slots, double bond_kappa) {
  std::vector<std::pair<int, int>> joined;  // the node pairs of this bond
  const int u_idx = static_cast<int>(bond.getBeginAtomIdx());
  const int v_idx = static_cast<int>(bond.getEndAtomIdx());
  const std::string sym_u = bond.getBeginAtom()->getSymbol();
  const std::string sym_v = bond.getEndAtom()->getSymbol();
  const auto& su = slots[static_cast<std::size_t>(u_idx)];
  const auto& sv = slots[static_cast<std::size_t>(v_idx)];
  for (int k = 0; k < order; ++k) {
    auto iu = su.find({v_idx, k});
    auto iv = sv.find({u_idx, k});
    int u_node, v_node;
    if (iu == su.end() || iv == sv.end()) {
      // No slot at one end (a coincident neighbour, or no node of the right kind):
      // both ends fall back to the atoms' first nodes.
      u_node = g.atom_subgraphs[static_cast<std::size_t>(u_idx)].front();
      v_node = g.atom_subgraphs[static_cast<std::size_t>(v_idx)].front();
    } else {
      u_node = iu->second;
      v_node = iv->second;
    }
    const auto pair = pair_key(u_node, v_node);
    if (std::find(joined.begin(), joined.end(), pair) != joined.end()) continue;
    joined.push_back(pair);
    g.edges.push_back({u_node, v_node, bond_kappa});
    g.chem_bonds.push_back({u_node, v_node, u_idx, v_idx, sym_u, sym_v, order, k});
  }
}

}  // namespace

OrbitalGraph build_orbital_graph(const RDKit::ROMol& mol, const layout::Coords& coords,
                                 const std::vector<int>& bond_orders,
                                 const AnalysisParams& params) {
  const int n_atoms = static_cast<int>(mol.getNumAtoms());
  if (static_cast<int>(coords.size()) != n_atoms)
    throw std::invalid_argument("layout has " + std::to_string(coords.size()) +
                                " rows for a molecule of " + std::to_string(n_atoms) + " atoms");
  OrbitalGraph g;
  g.atom_subgraphs.resize(static_cast<std::size_t>(n_atoms));
  const double radius = params.target_bond_len * params.radius_ratio;

  // Pass 1, atom by atom: node ids, attributes, the sigma clique, node directions.
  std::vector<AtomNodes> atoms(static_cast<std::size_t>(n_atoms));
  for (const RDKit::Atom* atom : mol.atoms())
    atoms[atom->getIdx()] = add_atom_nodes(g, mol, *atom, coords, bond_orders, radius);

  // Pass 2: which node of each atom carries which bond unit.
  std::vector<BondSlots> slots(static_cast<std::size_t>(n_atoms));
  for (int idx = 0; idx < n_atoms; ++idx) {
    const auto& a = atoms[static_cast<std::size_t>(idx)];
    slots[static_cast<std::size_t>(idx)] =
        assign_bond_slots(coords, idx, a.neighbours, a.sigma, a.pi, a.angles);
  }

  // Pass 3, bond by bond: the edges between atoms.
  for (const RDKit::Bond* bond : mol.bonds())
    add_bond_edges(g, *bond, bond_orders[bond->getIdx()], slots, params.bond_kappa);
  return g;
}

}  // namespace korvane::analysis
