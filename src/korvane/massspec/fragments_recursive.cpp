// Recursive fragmentation: fragments of fragments, generation by generation, each judged
// on its own orbital subgraph.
#include "korvane/massspec/fragments_recursive.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "korvane/analysis/soft_bonds.hpp"  // detect_soft_edges
#include "korvane/common/interrupt.hpp"    // check_interrupt
#include "korvane/common/numeric.hpp"      // sorted_unique
#include "korvane/common/pair_key.hpp"
#include "korvane/massspec/fragments.hpp"   // AtomGraph, components_without
#include "korvane/massspec/masses.hpp"

namespace korvane::massspec {

namespace {

bool contains(const std::vector<int>& sorted, int x) {
  return std::binary_search(sorted.begin(), sorted.end(), x);
}

std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A depth-first spanning tree of an atom graph from its first atom: the atoms in the
// order entered, each entered atom's parent and the bond to it (kNone for the root and
// for atoms outside the root's component), and the other bonds, which close cycles.
struct SpanningTree {
  std::vector<std::size_t> order, parent, parent_bond;
  struct Closing {
    std::size_t bond, later, earlier;  // the bond and its ends, by the order entered
  };
  std::vector<Closing> closing;
};

SpanningTree spanning_tree(const AtomGraph& graph) {
  const std::size_t n = graph.atoms.size();
  std::vector<std::vector<std::pair<std::size_t, std::size_t>>> adjacent(n);  // (atom, bond)
  for (std::size_t b = 0; b < graph.bonds.size(); ++b) {
    const auto [u, v] = graph.ends[b];
    adjacent[u].emplace_back(v, b);
    adjacent[v].emplace_back(u, b);
  }
  SpanningTree t;
  t.parent.assign(n, kNone);
  t.parent_bond.assign(n, kNone);
  t.order.reserve(n);
  if (n == 0) return t;
  std::vector<std::size_t> entered(n, kNone);
  // A bond to an atom entered earlier, other than the bond to the parent, closes a cycle.
  std::vector<std::pair<std::size_t, std::size_t>> stack{{0, 0}};  // (atom, next adjacency)
  entered[0] = 0;
  t.order.push_back(0);
  while (!stack.empty()) {
    auto& [x, next] = stack.back();
    if (next == adjacent[x].size()) {
      stack.pop_back();
      continue;
    }
    const auto [y, b] = adjacent[x][next++];
    if (b == t.parent_bond[x]) continue;
    if (entered[y] == kNone) {
      entered[y] = t.order.size();
      t.order.push_back(y);
      t.parent[y] = x;
      t.parent_bond[y] = b;
      stack.emplace_back(y, 0);
    } else if (entered[y] < entered[x]) {
      t.closing.push_back({b, x, y});
    }
  }
  return t;
}

// Cycle labels of the bonds of a connected atom graph, by bond position: a spanning
// tree's other bonds get random labels, a tree bond the XOR of the labels of the other
// bonds whose cycles through the tree pass it. A bond on no cycle (a bridge) has label
// 0. Two bonds on cycles split the graph exactly when every cycle passes both or
// neither, and then their labels are equal: bonds of different labels never split it,
// so only pairs of equal labels need the components counted (equal labels by chance
// are then told apart by the count).
std::vector<std::uint64_t> cycle_labels(const AtomGraph& graph, const SpanningTree& tree) {
  std::vector<std::uint64_t> label(graph.bonds.size(), 0), sum(graph.atoms.size(), 0);
  for (const auto& c : tree.closing) {
    label[c.bond] = splitmix64(c.bond);
    sum[c.later] ^= label[c.bond];
    sum[c.earlier] ^= label[c.bond];
  }
  for (std::size_t k = tree.order.size(); k-- > 1;) {
    const std::size_t x = tree.order[k];
    label[tree.parent_bond[x]] = sum[x];
    sum[tree.parent[x]] ^= sum[x];
  }
  return label;
}

std::uint64_t label_of(const AtomGraph& graph, const std::vector<std::uint64_t>& labels,
                       const std::pair<int, int>& pair) {
  const auto it = std::find(graph.bonds.begin(), graph.bonds.end(), pair);
  return labels[static_cast<std::size_t>(it - graph.bonds.begin())];
}

// The label of the cut that leaves `child` and the rest of `parent` (both ascending):
// the molecule's bonds between the two, each smaller index first, in ascending order,
// joined by " + ". The pieces of a cut are its two components, so these bonds are
// exactly the ones it cut.
std::string cut_label(const RDKit::ROMol& mol, const std::vector<int>& parent,
                      const std::vector<int>& child) {
  std::vector<std::pair<int, int>> cut;
  for (const RDKit::Bond* bond : mol.bonds()) {
    const auto pair = pair_key(static_cast<int>(bond->getBeginAtomIdx()),
                               static_cast<int>(bond->getEndAtomIdx()));
    if (!contains(parent, pair.first) || !contains(parent, pair.second)) continue;
    if (contains(child, pair.first) != contains(child, pair.second)) cut.push_back(pair);
  }
  std::sort(cut.begin(), cut.end());
  std::string label;
  for (const auto& [u, v] : cut) {
    if (!label.empty()) label += " + ";
    label += pair_label(mol, u, v);
  }
  return label;
}

// A NaN floor would refuse every ring double cut without a word.
void check_min_mz(double min_mz) {
  if (std::isnan(min_mz)) throw std::invalid_argument("min_mz must be a number, got nan");
}

// Throws std::invalid_argument naming what differs when `graph` is not the orbital graph
// of `mol`: the fragments would be cut by the bonds of one molecule and judged on the
// orbitals of another, and the peaks invented. Each atom of mol must own nodes, every
// node one atom, and each bond record must join atoms mol bonds, on nodes of those
// atoms (a record's node -1, outside the graph, carries no edge and passes).
void check_graph_of(const RDKit::ROMol& mol, const analysis::OrbitalGraph& graph) {
  const auto mismatch = [](const std::string& what) {
    return std::invalid_argument("mol does not match the orbital graph: " + what);
  };
  const int n_atoms = static_cast<int>(mol.getNumAtoms());
  if (graph.atom_subgraphs.size() != mol.getNumAtoms())
    throw mismatch("mol has " + std::to_string(n_atoms) + " atoms, the graph lists nodes of " +
                   std::to_string(graph.atom_subgraphs.size()));
  const int n_nodes = graph.n_nodes();
  std::vector<int> owner(static_cast<std::size_t>(n_nodes), -1);
  for (int a = 0; a < n_atoms; ++a) {
    const auto& nodes = graph.atom_subgraphs[static_cast<std::size_t>(a)];
    if (nodes.empty()) throw mismatch("atom " + std::to_string(a) + " has no orbital node");
    for (int node : nodes) {
      if (node < 0 || node >= n_nodes)
        throw std::out_of_range("orbital node " + std::to_string(node) + " of atom " +
                                std::to_string(a) + " is outside the graph");
      int& own = owner[static_cast<std::size_t>(node)];
      if (own >= 0)
        throw mismatch("orbital node " + std::to_string(node) + " is listed for atoms " +
                       std::to_string(own) + " and " + std::to_string(a));
      own = a;
    }
  }
  const auto lone = std::find(owner.begin(), owner.end(), -1);
  if (lone != owner.end())
    throw mismatch("orbital node " + std::to_string(lone - owner.begin()) +
                   " belongs to no atom of mol");
  for (const auto& cb : graph.chem_bonds) {
    const std::string pair = std::to_string(cb.atom_u) + "-" + std::to_string(cb.atom_v);
    if (cb.atom_u < 0 || cb.atom_v < 0 || cb.atom_u >= n_atoms || cb.atom_v >= n_atoms ||
        !mol.getBondBetweenAtoms(static_cast<unsigned>(cb.atom_u),
                                 static_cast<unsigned>(cb.atom_v)))
      throw mismatch("the bond record of atoms " + pair + " joins atoms mol does not bond");
    const auto on = [&](int node, int atom) {
      return node == -1 || (node >= 0 && node < n_nodes &&
                            owner[static_cast<std::size_t>(node)] == atom);
    };
    if (!on(cb.u_node, cb.atom_u) || !on(cb.v_node, cb.atom_v))
      throw mismatch("the bond record of atoms " + pair + " names nodes of other atoms");
  }
}

// The fragment's orbital nodes in node-id order, the nodes of the atoms (ascending,
// unique); `local` gets each node's index among them, -1 for the nodes outside.
// std::out_of_range for an atom without nodes in the graph or a node outside it.
std::vector<int> fragment_nodes(const analysis::OrbitalGraph& graph,
                                const std::vector<int>& atoms, std::vector<int>& local) {
  const int n_nodes = graph.n_nodes();
  local.assign(static_cast<std::size_t>(n_nodes), -1);
  for (int a : atoms) {
    if (a < 0 || a >= static_cast<int>(graph.atom_subgraphs.size()))
      throw std::out_of_range("atom " + std::to_string(a) + " has no orbital nodes in the graph");
    for (int node : graph.atom_subgraphs[static_cast<std::size_t>(a)]) {
      if (node < 0 || node >= n_nodes)
        throw std::out_of_range("orbital node " + std::to_string(node) + " of atom " +
                                std::to_string(a) + " is outside the graph");
      local[static_cast<std::size_t>(node)] = 0;
    }
  }
  std::vector<int> nodes;
  for (int node = 0; node < n_nodes; ++node)
    if (local[static_cast<std::size_t>(node)] == 0) {
      local[static_cast<std::size_t>(node)] = static_cast<int>(nodes.size());
      nodes.push_back(node);
    }
  return nodes;
}

// std::invalid_argument unless the soft-edge context was made for this graph's edges
// and this tolerance.
void check_context_of(const analysis::SoftEdgeContext& whole, const analysis::OrbitalGraph& graph,
                      double zero_tolerance) {
  if (whole.n_nodes() != graph.n_nodes() || whole.zero_tolerance() != zero_tolerance ||
      whole.edges().size() != graph.edges.size() ||
      !std::equal(graph.edges.begin(), graph.edges.end(), whole.edges().begin(),
                  [](const analysis::WeightedEdge& a, const analysis::WeightedEdge& b) {
                    return a.u == b.u && a.v == b.v && a.weight == b.weight;
                  }))
    throw std::invalid_argument("the soft-edge context was made for another graph or tolerance");
}

}  // namespace

namespace {

// Rough seconds, on one core, of one decomposition with eigenvectors per cubed node
// (alkanes and polyglycines of 600 to 2400 orbital nodes).
constexpr double kVectorsPerCubedNode = 5e-10;

// The share of that decomposition's time that the fragments' own tests may take before it
// is made. A chain's last generation tests a fragment or two, a tenth to a fifth of the
// decomposition's time from 1200 nodes on, and stays below it; a polyglycine's tests
// hundreds, and goes through the decomposition soon (Gly100 recursive: 6 s at a quarter,
// 7 s at a half, 9 s at the whole of it, 7 s with the decomposition made beforehand).
constexpr double kOwnTestShare = 0.25;

// fragment_atom_softs, testing only the records whose atom pair (smaller index first) is
// in `only` when it is given: the others are left out of the result, as if essential.
std::vector<int> softs_among(const analysis::OrbitalGraph& graph,
                             const std::vector<int>& atom_set, double zero_tolerance,
                             const analysis::SoftEdgeContext* whole, std::uint64_t max_bytes,
                             const std::set<std::pair<int, int>>* only) {
  analysis::check_zero_tolerance(zero_tolerance);
  const std::vector<int> atoms = sorted_unique(atom_set);
  const int n_nodes = graph.n_nodes();
  const auto node_ok = [n_nodes](int node) { return node >= 0 && node < n_nodes; };
  std::vector<int> local;
  const std::vector<int> frag_nodes = fragment_nodes(graph, atoms, local);
  require_analysis_budget(static_cast<std::int64_t>(frag_nodes.size()), max_bytes);

  std::vector<analysis::WeightedEdge> sub;
  for (const auto& e : graph.edges) {
    if (!node_ok(e.u) || !node_ok(e.v))
      throw std::out_of_range("an edge of the orbital graph joins a node outside it");
    const int u = local[static_cast<std::size_t>(e.u)], v = local[static_cast<std::size_t>(e.v)];
    if (u >= 0 && v >= 0) sub.push_back({u, v, e.weight});
  }

  std::vector<int> inside;  // records with both atoms in the fragment
  std::vector<std::pair<int, int>> candidates, whole_candidates;
  for (std::size_t i = 0; i < graph.chem_bonds.size(); ++i) {
    const auto& cb = graph.chem_bonds[i];
    if (!contains(atoms, cb.atom_u) || !contains(atoms, cb.atom_v)) continue;
    if (only && only->count(pair_key(cb.atom_u, cb.atom_v)) == 0) continue;
    inside.push_back(static_cast<int>(i));
    // A node outside the graph cannot carry an edge: the test reports it absent.
    candidates.emplace_back(node_ok(cb.u_node) ? local[static_cast<std::size_t>(cb.u_node)] : -1,
                            node_ok(cb.v_node) ? local[static_cast<std::size_t>(cb.v_node)] : -1);
    whole_candidates.emplace_back(cb.u_node, cb.v_node);
  }
  if (candidates.empty()) return {};

  if (whole) check_context_of(*whole, graph, zero_tolerance);
  // With the whole graph's decomposition, the fragment is the whole graph cut at its
  // boundary; without it, the fragment's own matrix is decomposed once. Either way the
  // verdicts are those of one compute_lpi per record against the fragment's own LPI.
  const auto verdicts =
      whole ? whole->detect_in_part(frag_nodes, whole_candidates)
            : analysis::detect_soft_edges_own_lpi(static_cast<int>(frag_nodes.size()), sub,
                                                  candidates, zero_tolerance,
                                                  analysis::SoftEdgeMethod::Auto, nullptr,
                                                  max_bytes);
  std::vector<int> softs;
  for (std::size_t k = 0; k < inside.size(); ++k)
    if (verdicts[k] == analysis::SoftTest::Soft) softs.push_back(inside[k]);
  return softs;
}

}  // namespace

std::vector<int> fragment_atom_softs(const analysis::OrbitalGraph& graph,
                                     const std::vector<int>& atom_set, double zero_tolerance,
                                     const analysis::SoftEdgeContext* whole,
                                     std::uint64_t max_bytes) {
  return softs_among(graph, atom_set, zero_tolerance, whole, max_bytes, nullptr);
}

namespace {

std::vector<std::vector<int>> cut_with(const RDKit::ROMol& mol, const AtomMasses& masses,
                                       const std::vector<int>& atom_set,
                                       const std::vector<analysis::ChemBond>& softs,
                                       bool ring_fragmentation, double min_mz) {
  check_min_mz(min_mz);
  const AtomGraph graph = build_atom_graph(mol, atom_set);
  const auto& atoms = graph.atoms;
  // As in single-generation prediction, a fragment already in pieces splits nothing.
  if (components_without(graph, {}).size() != 1) return {};

  // Distinct soft pairs in the order first met, each at the largest order of its records.
  std::vector<std::pair<std::pair<int, int>, int>> pair_order;
  for (const auto& s : softs) {
    if (!contains(atoms, s.atom_u) || !contains(atoms, s.atom_v)) continue;
    const auto pair = pair_key(s.atom_u, s.atom_v);
    const auto it = std::find_if(pair_order.begin(), pair_order.end(),
                                 [&pair](const auto& po) { return po.first == pair; });
    if (it == pair_order.end())
      pair_order.push_back({pair, std::max(1, s.order)});
    else
      it->second = std::max(it->second, s.order);
  }

  std::set<std::vector<int>> out;
  std::vector<std::pair<int, int>> ring_pairs;
  std::vector<std::uint64_t> ring_labels;
  const auto labels = cycle_labels(graph, spanning_tree(graph));
  for (const auto& [pair, order] : pair_order) {
    if (!has_bond(graph, pair)) continue;
    // A bond on a cycle leaves the fragment in one piece.
    const std::uint64_t label = label_of(graph, labels, pair);
    if (label != 0) {
      ring_pairs.push_back(pair);
      ring_labels.push_back(label);
      continue;
    }
    auto components = components_without(graph, {pair});
    if (components.size() == 2) {
      if (keeps_multiple_bond(mol, order, components[0], components[1])) continue;
      out.insert(std::move(components[0]));
      out.insert(std::move(components[1]));
    } else {
      ring_pairs.push_back(pair);
      ring_labels.push_back(label);
    }
  }
  if (ring_fragmentation) {
    for (std::size_t i = 0; i < ring_pairs.size(); ++i) {
      for (std::size_t j = i + 1; j < ring_pairs.size(); ++j) {
        if (ring_labels[i] != ring_labels[j]) continue;  // the fragment stays in one piece
        auto components = components_without(graph, {ring_pairs[i], ring_pairs[j]});
        if (components.size() != 2) continue;
        // Average masses, unrounded: the floor is a mass, not a nominal m/z.
        if (std::min(masses.average(components[0]), masses.average(components[1])) < min_mz)
          continue;
        out.insert(std::move(components[0]));
        out.insert(std::move(components[1]));
      }
    }
  }
  return {out.begin(), out.end()};
}

// Beyond this many bonds that split a fragment two at a time (one large ring), counting
// the pieces of each of their pairs costs more than testing them all.
constexpr std::size_t kMaxRingPairBonds = 64;

// The atom pairs of a fragment whose cut could give a piece of a nominal mass not in
// `reached`: a bond that splits the fragment alone, where either piece has such a mass,
// and, with ring_fragmentation, both bonds of a ring pair that splits it so. Whether the
// pair's records are soft, its bond order and the mass floor of ring cuts are not asked:
// every child cut_with can make from the fragment with a new nominal mass comes from one
// of these pairs, whichever of its records are soft.
std::set<std::pair<int, int>> pairs_with_new_mass(const RDKit::ROMol& mol,
                                                  const AtomMasses& masses,
                                                  const std::vector<int>& atom_set,
                                                  bool ring_fragmentation,
                                                  const std::set<int>& reached) {
  std::set<std::pair<int, int>> out;
  const AtomGraph graph = build_atom_graph(mol, atom_set);
  const SpanningTree tree = spanning_tree(graph);
  if (tree.order.size() != graph.atoms.size()) return out;  // in pieces: no children
  const auto labels = cycle_labels(graph, tree);
  const auto is_new = [&reached](int mz) { return reached.count(mz) == 0; };
  // The nominal mass of each atom's subtree: a bond on no cycle is a tree bond, and its
  // pieces are the subtree below it and the rest.
  std::vector<int> below(graph.atoms.size());
  for (std::size_t i = 0; i < graph.atoms.size(); ++i) below[i] = masses.nominal({graph.atoms[i]});
  for (std::size_t k = tree.order.size(); k-- > 1;) {
    const std::size_t x = tree.order[k];
    below[tree.parent[x]] += below[x];
  }
  const int total = below[0];
  for (std::size_t x = 1; x < graph.atoms.size(); ++x) {
    const std::size_t b = tree.parent_bond[x];
    if (labels[b] == 0 && (is_new(below[x]) || is_new(total - below[x])))
      out.insert(graph.bonds[b]);
  }
  if (!ring_fragmentation) return out;
  std::map<std::uint64_t, std::vector<std::size_t>> rings;  // ring bonds by label
  for (std::size_t b = 0; b < graph.bonds.size(); ++b)
    if (labels[b] != 0) rings[labels[b]].push_back(b);
  for (const auto& [label, bonds] : rings) {
    if (bonds.size() > kMaxRingPairBonds) {  // a large ring: its bonds are all tested
      for (std::size_t b : bonds) out.insert(graph.bonds[b]);
      continue;
    }
    for (std::size_t i = 0; i < bonds.size(); ++i) {
      for (std::size_t j = i + 1; j < bonds.size(); ++j) {
        const auto& p = graph.bonds[bonds[i]];
        const auto& q = graph.bonds[bonds[j]];
        if (out.count(p) && out.count(q)) continue;
        const auto components = components_without(graph, {p, q});
        if (components.size() != 2) continue;
        if (is_new(masses.nominal(components[0])) || is_new(masses.nominal(components[1]))) {
          out.insert(p);
          out.insert(q);
        }
      }
    }
  }
  return out;
}

}  // namespace

std::vector<std::vector<int>> cut_atom_set(const RDKit::ROMol& mol,
                                           const std::vector<int>& atom_set,
                                           const std::vector<analysis::ChemBond>& softs,
                                           bool ring_fragmentation, double min_mz) {
  return cut_with(mol, AtomMasses(mol), atom_set, softs, ring_fragmentation, min_mz);
}

namespace {

// visit_fragments, and with `new_mz_leaves_only` the same list without the last
// generation's atom sets whose nominal mass an earlier visit already has. Such a set is
// never cut and never the first to reach its m/z (every visit of an earlier generation
// is queued before the first of the last), so the peaks stay the same; on long chains
// those sets are most of the visits and held most of the memory.
std::vector<FragmentVisit> visit(const RDKit::ROMol& mol, const analysis::OrbitalGraph& graph,
                                 int max_generations, double min_mz, bool ring_fragmentation,
                                 std::shared_ptr<const analysis::DeletionCounter> whole_counter,
                                 std::uint64_t max_bytes, bool new_mz_leaves_only) {
  require_analysis_budget(graph.n_nodes(), max_bytes);
  check_min_mz(min_mz);
  check_graph_of(mol, graph);
  std::vector<int> all(mol.getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  std::vector<FragmentVisit> visits{{all, 0, -1}};
  std::set<std::vector<int>> seen{all};
  const AtomMasses masses(mol);
  std::set<int> reached_mz;  // of every visit queued, when leaves are kept by new m/z only
  if (new_mz_leaves_only) reached_mz.insert(masses.nominal(all));
  std::vector<analysis::ChemBond> softs;
  // One decomposition with eigenvectors of the whole molecule can serve the soft-bond
  // test of every fragment, the whole graph cut at the fragment's boundary (each test
  // falls back to the fragment's own where that is not certain); a fragment tested on its
  // own needs nothing made beforehand. Unless the decomposition is given, fragments are
  // tested on their own until those tests have taken a share of the time the
  // decomposition would, and through it from then on: never more than a few times the
  // better of the two, however many fragments are tested. A chain, whose last generation
  // tests few fragments, never makes it. (Only the time taken depends on the clock: the
  // verdicts are the same either way.)
  std::unique_ptr<analysis::SoftEdgeContext> whole;
  if (max_generations > 0 && whole_counter)
    whole = std::make_unique<analysis::SoftEdgeContext>(graph.edges, std::move(whole_counter),
                                                        max_bytes);
  const double n_nodes = graph.n_nodes();
  const double decomposition_seconds = kVectorsPerCubedNode * n_nodes * n_nodes * n_nodes;
  double own_seconds = 0.0;
  // The visit list is the queue: first in, first out, so every fragment of generation g
  // is cut before any of g + 1 and each m/z keeps the lowest generation that reaches it.
  for (std::size_t next = 0; next < visits.size(); ++next) {
    check_interrupt();
    if (visits[next].generation >= max_generations) continue;
    const std::vector<int> atoms = visits[next].atoms;  // visits grows below
    const int gen = visits[next].generation;

    const bool leaves = gen + 1 == max_generations;
    // A leaf whose nominal mass is already reached is dropped, so in the last generation
    // cut only the bonds that could give a piece of a new mass are tested: the others'
    // verdicts could change nothing. On chains, and wherever fragments repeat each
    // other's pieces, that leaves few tests beyond the first fragments of a generation.
    std::optional<std::set<std::pair<int, int>>> only;
    if (new_mz_leaves_only && leaves) {
      only = pairs_with_new_mass(mol, masses, atoms, ring_fragmentation, reached_mz);
      if (only->empty()) continue;
    }
    if (!whole && own_seconds >= kOwnTestShare * decomposition_seconds)
      whole = std::make_unique<analysis::SoftEdgeContext>(graph.n_nodes(), graph.edges,
                                                          analysis::kZeroTolerance, max_bytes);
    softs.clear();
    const auto started = std::chrono::steady_clock::now();
    for (int i : softs_among(graph, atoms, analysis::kZeroTolerance, whole.get(), max_bytes,
                             only ? &*only : nullptr))
      softs.push_back(graph.chem_bonds[static_cast<std::size_t>(i)]);
    if (!whole)
      own_seconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    for (auto& child : cut_with(mol, masses, atoms, softs, ring_fragmentation, min_mz)) {
      if (child.empty() || child == atoms) continue;
      if (new_mz_leaves_only) {
        const bool new_mz = reached_mz.insert(masses.nominal(child)).second;
        if (leaves) {
          // A leaf with a new m/z is the only one of that mass: no set needs to remember it.
          if (new_mz) visits.push_back({std::move(child), gen + 1, static_cast<int>(next)});
          continue;
        }
      }
      if (!seen.insert(child).second) continue;  // an atom set reached twice is cut once
      visits.push_back({std::move(child), gen + 1, static_cast<int>(next)});
    }
  }
  return visits;
}

}  // namespace

std::vector<FragmentVisit> visit_fragments(
    const RDKit::ROMol& mol, const analysis::OrbitalGraph& graph, int max_generations,
    double min_mz, bool ring_fragmentation,
    std::shared_ptr<const analysis::DeletionCounter> whole_counter, std::uint64_t max_bytes) {
  return visit(mol, graph, max_generations, min_mz, ring_fragmentation, std::move(whole_counter),
               max_bytes, false);
}

std::vector<Peak> predict_fragments_recursive(const RDKit::ROMol& mol,
                                              const analysis::OrbitalGraph& graph,
                                              int max_generations, double min_mz,
                                              bool ring_fragmentation,
                                              std::shared_ptr<const analysis::DeletionCounter>
                                                  whole,
                                              std::uint64_t max_bytes) {
  std::vector<Peak> peaks;
  std::set<int> peak_mz;
  const auto visits = visit(mol, graph, max_generations, min_mz, ring_fragmentation,
                            std::move(whole), max_bytes, true);
  const AtomMasses masses(mol);
  for (const auto& v : visits) {
    const int mz = masses.nominal(v.atoms);
    if (!peak_mz.insert(mz).second) continue;
    Peak p;
    p.mz = mz;
    p.formula = fragment_formula(mol, v.atoms);
    p.generation = v.generation;
    p.atoms = v.atoms;
    if (v.parent >= 0) p.parent_atoms = visits[static_cast<std::size_t>(v.parent)].atoms;
    // Up the chain of first parents to the molecule, then in generation order.
    for (const FragmentVisit* x = &v; x->parent >= 0;) {
      const FragmentVisit& up = visits[static_cast<std::size_t>(x->parent)];
      p.cut_path.push_back(cut_label(mol, up.atoms, x->atoms));
      x = &up;
    }
    std::reverse(p.cut_path.begin(), p.cut_path.end());
    peaks.push_back(std::move(p));
  }
  return peaks;
}

}  // namespace korvane::massspec
