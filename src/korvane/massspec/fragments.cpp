// Single-generation fragment prediction: single cuts of soft bonds and double cuts of
// soft ring bonds.
#include "korvane/massspec/fragments.hpp"

#include <algorithm>
#include <numeric>
#include <set>
#include <utility>

#include "korvane/common/numeric.hpp"  // round_nearest_decimal
#include "korvane/common/pair_key.hpp"
#include "korvane/massspec/masses.hpp"

namespace korvane::massspec {

const char* cut_mode_name(CutMode mode) { return mode == CutMode::Ring ? "ring" : "single"; }

AtomGraph build_atom_graph(const RDKit::ROMol& mol, std::vector<int> atom_set) {
  std::sort(atom_set.begin(), atom_set.end());
  atom_set.erase(std::unique(atom_set.begin(), atom_set.end()), atom_set.end());
  constexpr std::size_t kOutside = static_cast<std::size_t>(-1);
  std::vector<std::size_t> position(mol.getNumAtoms(), kOutside);
  for (std::size_t i = 0; i < atom_set.size(); ++i) {
    atom_at(mol, atom_set[i]);  // range check
    position[static_cast<std::size_t>(atom_set[i])] = i;
  }
  AtomGraph g;
  g.atoms = std::move(atom_set);
  for (const RDKit::Bond* bond : mol.bonds()) {
    const auto [u, v] = pair_key(static_cast<int>(bond->getBeginAtomIdx()),
                                 static_cast<int>(bond->getEndAtomIdx()));
    const std::size_t pu = position[static_cast<std::size_t>(u)];
    const std::size_t pv = position[static_cast<std::size_t>(v)];
    if (pu == kOutside || pv == kOutside) continue;
    g.bonds.emplace_back(u, v);
    g.ends.emplace_back(pu, pv);
  }
  return g;
}

bool has_bond(const AtomGraph& graph, std::pair<int, int> bond) {
  bond = pair_key(bond.first, bond.second);
  return std::find(graph.bonds.begin(), graph.bonds.end(), bond) != graph.bonds.end();
}

std::vector<std::vector<int>> components_without(const AtomGraph& graph,
                                                 const std::vector<std::pair<int, int>>& cut) {
  const auto& atoms = graph.atoms;
  // Union-find over positions in `atoms`; the root of a set is its smallest position,
  // so a component is named by its smallest atom index.
  std::vector<std::size_t> parent(atoms.size());
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  const auto find = [&parent](std::size_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (std::size_t i = 0; i < graph.bonds.size(); ++i) {
    if (std::find(cut.begin(), cut.end(), graph.bonds[i]) != cut.end()) continue;
    const std::size_t a = find(graph.ends[i].first), b = find(graph.ends[i].second);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  std::vector<std::vector<int>> components;
  std::vector<std::size_t> slot(atoms.size(), 0);  // root position -> component number + 1
  for (std::size_t i = 0; i < atoms.size(); ++i) {
    const std::size_t root = find(i);
    if (slot[root] == 0) {
      components.emplace_back();
      slot[root] = components.size();
    }
    components[slot[root] - 1].push_back(atoms[i]);
  }
  return components;
}

int heavy_atom_count(const RDKit::ROMol& mol, const std::vector<int>& atoms) {
  return static_cast<int>(std::count_if(
      atoms.begin(), atoms.end(), [&mol](int a) { return atom_at(mol, a).getAtomicNum() > 1; }));
}

bool keeps_multiple_bond(const RDKit::ROMol& mol, int order, const std::vector<int>& a,
                         const std::vector<int>& b) {
  return order >= 2 && std::min(heavy_atom_count(mol, a), heavy_atom_count(mol, b)) == 1;
}

std::vector<Fragment> fragments_of(const RDKit::ROMol& mol,
                                   const std::vector<std::vector<int>>& components) {
  std::vector<Fragment> out;
  out.reserve(components.size());
  for (const auto& comp : components)
    out.push_back({fragment_formula(mol, comp), round_nearest_decimal(average_mass(mol, comp), 2),
                   nominal_mass(mol, comp), comp});
  std::stable_sort(out.begin(), out.end(),
                   [](const Fragment& a, const Fragment& b) { return a.mz > b.mz; });
  return out;
}

std::vector<FragmentCut> predict_fragments(const RDKit::ROMol& mol,
                                           const std::vector<analysis::ChemBond>& soft_bonds,
                                           bool ring_fragmentation, int min_ring_fragment_mz) {
  std::vector<int> all(mol.getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  const AtomGraph graph = build_atom_graph(mol, all);
  // Two pieces after a cut mean a split only if the molecule was one piece before:
  // in "C1CC1.O" a ring-bond cut also leaves two components, yet splits nothing.
  const bool connected = components_without(graph, {}).size() == 1;

  std::vector<FragmentCut> results;
  std::set<std::pair<int, int>> seen_pairs;
  std::vector<std::pair<int, int>> ring_pairs;
  for (const auto& s : soft_bonds) {
    atom_at(mol, s.atom_u);  // an atom outside the molecule is the caller's mistake
    atom_at(mol, s.atom_v);
    const auto pair = pair_key(s.atom_u, s.atom_v);
    // The records of one multiple bond share a pair: only the first one is cut.
    if (!seen_pairs.insert(pair).second) continue;
    if (!has_bond(graph, pair)) continue;
    std::string label =
        s.sym_u + std::to_string(s.atom_u) + "-" + s.sym_v + std::to_string(s.atom_v);
    const auto components = components_without(graph, {pair});
    if (connected && components.size() == 2) {
      if (keeps_multiple_bond(mol, s.order, components[0], components[1])) continue;
      results.push_back({std::move(label), true, CutMode::Single, fragments_of(mol, components)});
    } else {
      results.push_back({std::move(label), false, CutMode::Single, {}});
      ring_pairs.push_back(pair);
    }
  }
  if (!ring_fragmentation || !connected) return results;

  // Ring cuts are told apart by their pair of nominal masses alone.
  std::set<std::pair<int, int>> seen_double;
  for (std::size_t a = 0; a < ring_pairs.size(); ++a) {
    for (std::size_t b = a + 1; b < ring_pairs.size(); ++b) {
      const auto& p1 = ring_pairs[a];
      const auto& p2 = ring_pairs[b];
      const auto components = components_without(graph, {p1, p2});
      if (components.size() != 2) continue;
      auto frags = fragments_of(mol, components);
      if (frags[1].mz < min_ring_fragment_mz) continue;  // frags[1] is the lighter piece
      if (!seen_double.insert({frags[1].mz, frags[0].mz}).second) continue;
      results.push_back(
          {pair_label(mol, p1.first, p1.second) + " + " + pair_label(mol, p2.first, p2.second),
           true, CutMode::Ring, std::move(frags)});
    }
  }
  return results;
}

}  // namespace korvane::massspec
