// The valency-interaction-formula orbital graph of a molecule: one node per valence
// orbital, complete sigma cliques inside atoms, one edge per bond unit between atoms.
#pragma once
#include <GraphMol/ROMol.h>

#include <string>
#include <vector>

#include "korvane/analysis/lpi.hpp"
#include "korvane/korvane.hpp"  // AnalysisParams
#include "korvane/layout/coords.hpp"

namespace korvane::analysis {

enum class OrbitalKind { Sigma, Pi };

struct OrbitalNode {
  int atom_index = 0;
  std::string symbol;  // the owning atom's element symbol
  OrbitalKind kind = OrbitalKind::Sigma;
};

// One bond edge of the orbital graph: unit k of the bond between atom_u and atom_v.
struct ChemBond {
  int u_node = 0, v_node = 0;  // node ids on the begin and end atom
  int atom_u = 0, atom_v = 0;  // begin and end atom index
  std::string sym_u, sym_v;
  int order = 1;
  int k = 0;
};

struct OrbitalGraph {
  std::vector<OrbitalNode> nodes;                // by node id
  std::vector<WeightedEdge> edges;               // insertion order
  std::vector<std::vector<int>> atom_subgraphs;  // atom index -> its node ids, ascending
  std::vector<ChemBond> chem_bonds;              // one per bond edge, insertion order
  std::vector<layout::Point> pos;                // node id -> drawing position
  int n_nodes() const { return static_cast<int>(nodes.size()); }
};

// Number of orbital nodes of an atom of this period: 1, 4 (periods 2-3) or 9.
int orbital_node_count(int period);

// "Merkez" for carbon and lithium, "Uç" for every other element.
const char* orbital_role(const std::string& symbol);

// Builds the graph of a prepared molecule (explicit hydrogens) laid out at `coords`, with
// params' target_bond_len * radius_ratio (node distance from its atom) and bond_kappa
// (weight of every bond edge).
// Throws std::invalid_argument for an atom whose element has no period.
OrbitalGraph build_orbital_graph(const RDKit::ROMol& mol, const layout::Coords& coords,
                                 const std::vector<int>& bond_orders,
                                 const AnalysisParams& params = {});

}  // namespace korvane::analysis
