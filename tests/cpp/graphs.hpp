// Weighted graphs for the tests of the LPI counts: orbital-like random graphs, and the
// counts compute_lpi gives with some edges removed.
#pragma once
#include <random>
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"

// The counts compute_lpi gives with every listed copy of the given pairs removed.
inline korvane::analysis::LpiCounts direct_counts_without(
    int n, const std::vector<korvane::analysis::WeightedEdge>& edges,
    const std::vector<std::pair<int, int>>& gone, double tol = 1e-9) {
  std::vector<korvane::analysis::WeightedEdge> kept;
  for (const auto& e : edges) {
    bool drop = false;
    for (const auto& [u, v] : gone) drop |= (e.u == u && e.v == v) || (e.u == v && e.v == u);
    if (!drop) kept.push_back(e);
  }
  return korvane::analysis::compute_lpi(n, kept, tol).counts;
}

// Orbital-like random graph: atoms as cliques of 1 or 4 nodes (and of 9 with
// `heavy_atoms`) of weight 1, joined into a tree by bond edges of weight 0.9 between
// random nodes, plus `rings` extra bonds.
inline std::vector<korvane::analysis::WeightedEdge> random_orbital_graph(
    std::mt19937& rng, int atoms, int rings, int& n_nodes, bool heavy_atoms = false) {
  std::vector<std::vector<int>> nodes_of;
  std::vector<korvane::analysis::WeightedEdge> edges;
  n_nodes = 0;
  for (int a = 0; a < atoms; ++a) {
    int size;
    if (heavy_atoms) {
      const auto kind = rng() % 7;
      size = kind < 2 ? 1 : (kind == 6 ? 9 : 4);
    } else {
      size = rng() % 3 == 0 ? 1 : 4;
    }
    std::vector<int> nodes;
    for (int i = 0; i < size; ++i) nodes.push_back(n_nodes++);
    for (int i = 0; i < size; ++i)
      for (int j = i + 1; j < size; ++j) edges.push_back({nodes[i], nodes[j], 1.0});
    nodes_of.push_back(nodes);
  }
  const auto pick = [&](int a) { return nodes_of[a][rng() % nodes_of[a].size()]; };
  for (int a = 1; a < atoms; ++a) {
    const int b = static_cast<int>(rng() % a);
    edges.push_back({pick(a), pick(b), 0.9});
  }
  for (int r = 0; r < rings; ++r) {
    const int a = static_cast<int>(rng() % atoms), b = static_cast<int>(rng() % atoms);
    if (a != b) edges.push_back({pick(a), pick(b), 0.9});
  }
  return edges;
}

// The orbital graph the analysis builds for the linear alkane of `carbons` carbons
// (two or more): carbon i is the clique of nodes 4i..4i+3 (weight 1); bonds of weight
// 0.9 join node 1 of each carbon (node 0 of the first) to node 0 of the next, and the
// carbon's remaining nodes to one hydrogen node each, numbered from 4 * carbons on.
// The C-H pairs are written to `ch_bonds`.
inline std::vector<korvane::analysis::WeightedEdge> alkane_orbital_graph(
    int carbons, int& n_nodes, std::vector<std::pair<int, int>>& ch_bonds) {
  std::vector<korvane::analysis::WeightedEdge> edges;
  int hydrogen = 4 * carbons;
  for (int c = 0; c < carbons; ++c) {
    for (int a = 0; a < 4; ++a)
      for (int b = a + 1; b < 4; ++b) edges.push_back({4 * c + a, 4 * c + b, 1.0});
    if (c + 1 < carbons) edges.push_back({4 * c + (c == 0 ? 0 : 1), 4 * (c + 1), 0.9});
    for (int a = (c == 0 || c + 1 == carbons) ? 1 : 2; a < 4; ++a) {
      edges.push_back({4 * c + a, hydrogen, 0.9});
      ch_bonds.emplace_back(4 * c + a, hydrogen++);
    }
  }
  n_nodes = hydrogen;
  return edges;
}
