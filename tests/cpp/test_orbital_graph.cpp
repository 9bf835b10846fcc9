// The orbital graph of a molecule: its nodes, edges, bond records and node positions.
#include <GraphMol/MolOps.h>
#include <GraphMol/SmilesParse/SmilesParse.h>
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/common/molecule.hpp"
#include "korvane/common/numeric.hpp"
#include "korvane/common/pair_key.hpp"

using namespace korvane;
using namespace korvane::analysis;

namespace {

// Atoms spread on a large circle: well separated, every neighbour in its own direction.
layout::Coords circle_layout(const RDKit::ROMol& mol, double r = 5.0) {
  layout::Coords c;
  const auto n = mol.getNumAtoms();
  for (unsigned i = 0; i < n; ++i)
    c.push_back({r * std::cos(kTwoPi * i / n), r * std::sin(kTwoPi * i / n)});
  return c;
}

OrbitalGraph graph_of(const std::string& smiles, const AnalysisParams& p = {}) {
  auto mol = prepare_molecule(smiles);
  return build_orbital_graph(*mol, circle_layout(*mol), build_bond_orders(*mol), p);
}

int count_edges_inside(const OrbitalGraph& g) {
  int n = 0;
  for (const auto& e : g.edges) n += g.nodes[e.u].atom_index == g.nodes[e.v].atom_index;
  return n;
}

}  // namespace

TEST(OrbitalGraph, MethaneNodesAndEdges) {
  const auto g = graph_of("C");
  ASSERT_EQ(g.n_nodes(), 8);
  EXPECT_EQ(g.atom_subgraphs[0], (std::vector<int>{0, 1, 2, 3}));
  for (int h = 1; h <= 4; ++h) EXPECT_EQ(g.atom_subgraphs[h], std::vector<int>{3 + h});
  EXPECT_EQ(count_edges_inside(g), 6);
  ASSERT_EQ(g.chem_bonds.size(), 4u);
  std::set<int> carbon_ends;
  for (const auto& cb : g.chem_bonds) carbon_ends.insert(cb.u_node);
  EXPECT_EQ(carbon_ends.size(), 4u);  // each H on its own carbon node
  EXPECT_STREQ(orbital_role("C"), "Merkez");
  EXPECT_STREQ(orbital_role("Li"), "Merkez");
  EXPECT_STREQ(orbital_role("H"), "U\xc3\xa7");
}

TEST(OrbitalGraph, EdgeInsertionOrderAndWeights) {
  AnalysisParams p;
  p.bond_kappa = 0.7;
  const auto g = graph_of("O", p);
  // K4 of the oxygen first, in (u < v) nested order, then the two O-H bonds.
  const std::vector<std::pair<int, int>> inner = {{0, 1}, {0, 2}, {0, 3},
                                                  {1, 2}, {1, 3}, {2, 3}};
  ASSERT_EQ(g.edges.size(), 8u);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    EXPECT_EQ(std::make_pair(g.edges[i].u, g.edges[i].v), inner[i]);
    EXPECT_EQ(g.edges[i].weight, 1.0);
  }
  EXPECT_EQ(g.edges[6].weight, 0.7);
  EXPECT_EQ(g.edges[7].v, 5);
  EXPECT_NE(g.edges[6].u, g.edges[7].u);
  EXPECT_EQ(compute_lpi(g.n_nodes(), g.edges).counts, (LpiCounts{3, 0, 3}));
}

TEST(OrbitalGraph, MultipleBondsGiveOneRecordPerUnit) {
  const auto eth = graph_of("C=C");
  ASSERT_EQ(eth.n_nodes(), 12);
  EXPECT_EQ(eth.nodes[3].kind, OrbitalKind::Pi);
  EXPECT_EQ(eth.nodes[2].kind, OrbitalKind::Sigma);
  std::vector<const ChemBond*> cc;
  for (const auto& cb : eth.chem_bonds)
    if (cb.atom_u == 0 && cb.atom_v == 1) cc.push_back(&cb);
  ASSERT_EQ(cc.size(), 2u);
  EXPECT_EQ(cc[0]->k, 0);
  EXPECT_EQ(cc[1]->k, 1);
  EXPECT_EQ(cc[0]->order, 2);
  EXPECT_EQ(eth.nodes[cc[0]->u_node].kind, OrbitalKind::Sigma);
  EXPECT_EQ(eth.nodes[cc[0]->v_node].kind, OrbitalKind::Sigma);
  EXPECT_EQ(eth.nodes[cc[1]->u_node].kind, OrbitalKind::Pi);
  EXPECT_EQ(eth.nodes[cc[1]->v_node].kind, OrbitalKind::Pi);
  EXPECT_EQ(count_edges_inside(eth), 6);

  const auto acetylene = graph_of("C#C");
  int pi_nodes = 0;
  for (int id : acetylene.atom_subgraphs[0]) pi_nodes += acetylene.nodes[id].kind == OrbitalKind::Pi;
  EXPECT_EQ(pi_nodes, 2);
  std::vector<int> ks;
  for (const auto& cb : acetylene.chem_bonds)
    if (cb.atom_v == 1 && cb.atom_u == 0) ks.push_back(cb.k);
  EXPECT_EQ(ks, (std::vector<int>{0, 1, 2}));
}

TEST(OrbitalGraph, HeavyElementsAndHydrogenOnlyMolecules) {
  const auto g = graph_of("CBr");
  EXPECT_EQ(g.atom_subgraphs[1].size(), 9u);
  int inside_br = 0;
  for (const auto& e : g.edges) inside_br += g.nodes[e.u].symbol == "Br" && g.nodes[e.v].symbol == "Br";
  EXPECT_EQ(inside_br, 36);

  const auto h2 = graph_of("[H][H]");
  ASSERT_EQ(h2.n_nodes(), 2);
  ASSERT_EQ(h2.edges.size(), 1u);
  EXPECT_EQ(h2.edges[0].weight, 0.9);
}

TEST(OrbitalGraph, SurplusPiUnitsShareNodesAndDuplicatesAreDropped) {
  // A carbon with two triple bonds has pi_count 4 >= 4 nodes: one sigma node and
  // three pi nodes, so two of its four pi units share a node.
  const auto g = graph_of("N#C#N");
  std::vector<int> ids = g.atom_subgraphs[1];
  int sigma = 0;
  for (int id : ids) sigma += g.nodes[id].kind == OrbitalKind::Sigma;
  EXPECT_EQ(sigma, 1);
  std::set<std::pair<int, int>> seen;
  for (const auto& e : g.edges) EXPECT_TRUE(seen.insert(pair_key(e.u, e.v)).second);
  EXPECT_EQ(g.chem_bonds.size(), 6u);  // shared on one side only: every pair still free

  // Two one-node atoms joined by a double bond: both units land on the same pair, so
  // the second unit gets neither edge nor record.
  const auto hh = graph_of("[H]=[H]");
  ASSERT_EQ(hh.chem_bonds.size(), 1u);
  EXPECT_EQ(hh.chem_bonds[0].order, 2);
  EXPECT_EQ(hh.chem_bonds[0].k, 0);
  EXPECT_EQ(hh.edges.size(), 1u);
}

TEST(OrbitalGraph, CoincidentAtomsFallBackToFirstNodes) {
  auto mol = prepare_molecule("CO");
  layout::Coords c = circle_layout(*mol);
  c[1] = c[0];  // oxygen on top of the carbon
  const auto g = build_orbital_graph(*mol, c, build_bond_orders(*mol));
  const auto& co = g.chem_bonds[0];
  EXPECT_EQ(co.u_node, g.atom_subgraphs[0].front());
  EXPECT_EQ(co.v_node, g.atom_subgraphs[1].front());
}

TEST(OrbitalGraph, NodePositionsSitOnTheAtomCircle) {
  AnalysisParams p;
  p.radius_ratio = 0.46;
  auto mol = prepare_molecule("O");
  const auto coords = circle_layout(*mol);
  const auto g = build_orbital_graph(*mol, coords, build_bond_orders(*mol), p);
  for (int id = 0; id < g.n_nodes(); ++id) {
    const auto& c = coords[g.nodes[id].atom_index];
    EXPECT_NEAR(std::hypot(g.pos[id][0] - c[0], g.pos[id][1] - c[1]), 1.5 * 0.46, 1e-12);
  }
  // A hydrogen's single node points along +x whatever its neighbour's direction.
  EXPECT_NEAR(g.pos[4][0], coords[1][0] + 0.69, 1e-12);
  EXPECT_NEAR(g.pos[4][1], coords[1][1], 1e-12);
}

TEST(OrbitalGraph, UnknownElementIsAnError) {
  auto mol = prepare_molecule("*C");
  ASSERT_TRUE(mol);
  EXPECT_THROW(build_orbital_graph(*mol, circle_layout(*mol), build_bond_orders(*mol)),
               std::invalid_argument);
}
