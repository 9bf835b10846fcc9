// Recursive fragmentation: fragments of fragments, each judged soft on its own orbital
// subgraph, cut breadth first for a fixed number of generations.
#pragma once
#include <GraphMol/ROMol.h>

#include <memory>
#include <string>
#include <vector>

#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/analysis/soft_bonds.hpp"  // SoftEdgeContext
#include "korvane/common/limits.hpp"

namespace korvane::massspec {

struct Peak {
  int mz = 0;  // nominal mass
  std::string formula;
  int generation = 0;  // 0 for the molecule itself
  // The first fragment that reached the peak, ascending atom indices; the fragment it
  // was first cut from (empty for the molecule itself); and the cuts from the molecule
  // to it, one per generation: "C1-C2" for one bond, "C1-C2 + C4-C5" for two (each
  // pair smaller index first, the pairs ascending).
  std::vector<int> atoms;
  std::vector<int> parent_atoms;
  std::vector<std::string> cut_path;
};

// One distinct atom set reached by recursive fragmentation.
struct FragmentVisit {
  std::vector<int> atoms;  // ascending
  int generation = 0;      // 0 for the molecule itself
  int parent = -1;         // index of the visit it was first cut from; -1 for the molecule
};

// Returns the indices into graph.chem_bonds, ascending, of the records inside
// `atom_set` whose edge is soft within the subgraph induced by the fragment's orbital
// nodes (edges to atoms outside the fragment are absent). std::out_of_range for an
// atom with no entry in graph.atom_subgraphs or a node outside the graph. `whole`, when
// given, is a SoftEdgeContext of the whole graph at the same tolerance, shared by the
// fragments (std::invalid_argument if it was made for another graph); it gives the same
// results faster than decomposing each fragment. Throws AnalysisTooLarge when the
// dense matrices of the fragment's orbital nodes exceed max_bytes.
std::vector<int> fragment_atom_softs(const analysis::OrbitalGraph& graph,
                                     const std::vector<int>& atom_set,
                                     double zero_tolerance = analysis::kZeroTolerance,
                                     const analysis::SoftEdgeContext* whole = nullptr,
                                     std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

// Returns the child atom sets of one fragment, each ascending, the list ascending by
// atom indices (lexicographic, as Python compares tuples). Each distinct soft pair
// inside the fragment, at the largest order among its records, is cut alone: two pieces
// give two children unless the order is >= 2 and one side holds a single heavy atom;
// with ring_fragmentation the pairs that do not split are cut two at a time, and two
// pieces whose average masses (unrounded) both reach min_mz give two children.
// A fragment already in several pieces has no children.
std::vector<std::vector<int>> cut_atom_set(const RDKit::ROMol& mol,
                                           const std::vector<int>& atom_set,
                                           const std::vector<analysis::ChemBond>& softs,
                                           bool ring_fragmentation, double min_mz);

// Defaults of the recursive fragmentation: the generations cut, the average-mass floor of
// ring double cuts and whether ring pairs are cut. An analysis cuts its own number of
// generations with the other two.
inline constexpr int kRecursiveMaxGenerations = 3;
inline constexpr int kRecursiveMinMz = 25;  // an m/z, compared with average masses
inline constexpr bool kRecursiveRingFragmentation = true;

// Breadth first from the whole molecule: every fragment of a generation below
// max_generations is cut (its soft bonds judged on its own orbital subgraph), and each
// new atom set is queued once, however many fragments it is cut from. Returns the atom
// sets in queue order, which is generation order; the children of one fragment follow
// cut_atom_set's order. `whole`, when given, is make_deletion_counter of the graph at
// the default tolerance, made once for the soft-bond test and reused here. Throws
// AnalysisTooLarge when the dense matrices of the graph's nodes exceed max_bytes, and
// std::invalid_argument when `graph` is not the orbital graph of `mol` (the atoms'
// node lists, the bond records) or min_mz is NaN.
std::vector<FragmentVisit> visit_fragments(
    const RDKit::ROMol& mol, const analysis::OrbitalGraph& graph, int max_generations,
    double min_mz, bool ring_fragmentation,
    std::shared_ptr<const analysis::DeletionCounter> whole = nullptr,
    std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

// The peaks of visit_fragments in insertion order: the molecule first, then for each new
// nominal mass the first fragment that reached it (an existing peak is never replaced),
// with that fragment's atoms, its parent's atoms and its path of cuts.
std::vector<Peak> predict_fragments_recursive(const RDKit::ROMol& mol,
                                              const analysis::OrbitalGraph& graph,
                                              int max_generations = kRecursiveMaxGenerations,
                                              double min_mz = kRecursiveMinMz,
                                              bool ring_fragmentation = kRecursiveRingFragmentation,
                                              std::shared_ptr<const analysis::DeletionCounter>
                                                  whole = nullptr,
                                              std::uint64_t max_bytes = kDefaultMaxAnalysisBytes);

}  // namespace korvane::massspec
