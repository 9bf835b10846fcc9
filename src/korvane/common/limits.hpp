// Memory budget of the dense analyses: what the orbital matrices of a molecule will take,
// checked before anything of that size is allocated.
#pragma once
#include <cstdint>
#include <stdexcept>

#include "korvane/korvane.hpp"  // kDefaultMaxAnalysisBytes

namespace korvane {

// Dense N x N matrices of doubles an analysis may hold at once: the adjacency matrix,
// the eigen-solver's working copy of it, and an eigenvector matrix for solvers that keep
// one. (The layout's N x N byte table of bonded atom pairs is far smaller than one.)
inline constexpr int kDenseMatricesPerAnalysis = 3;

// Thrown when an analysis would need more memory than its budget; the binding raises it
// as MemoryError.
class AnalysisTooLarge : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns the bytes of kDenseMatricesPerAnalysis dense matrices of doubles over n_nodes
// orbital nodes (0 for n_nodes <= 0), saturating at the largest std::uint64_t.
std::uint64_t dense_analysis_bytes(std::int64_t n_nodes);

// Throws AnalysisTooLarge, naming the node count, the bytes needed and the limit, when
// dense_analysis_bytes(n_nodes) exceeds max_bytes.
void require_analysis_budget(std::int64_t n_nodes, std::uint64_t max_bytes);

// A molecule's size as its analysis will see it, counted on the parsed molecule before
// its hydrogens are added: atoms (hydrogens included) and orbital nodes.
struct MoleculeSize {
  std::int64_t atoms = 0;
  std::int64_t orbital_nodes = 0;
};

// Bytes the analysis of one SMILES (both stages, and the result's Python objects) holds
// at its peak, saturating at the largest std::uint64_t:
// - the depiction: RDKit's coordinate generator holds about 90 bytes per pair of atoms
//   (82 to 90 measured on alkanes of 300 to 1200 atoms), and what it frees stays
//   resident in the allocator, so it is counted beside everything after it;
// - dense N x N matrices of doubles: without recursion, the eigenvalues' two (the
//   matrix and the solver's copy), made beside the soft-bond test, which may itself need
//   two for a candidate no factorization settles; with recursion, twice the three of the
//   decomposition with eigenvectors (a first one made beside the layout may still be
//   unwinding when the stages run again after it);
// - a share per atom and per node for the molecule, the graphs, the factorizations and
//   the Python objects of the result.
std::uint64_t analysis_peak_bytes(const MoleculeSize& size, bool recursive);

// Throws AnalysisTooLarge, naming the atoms, the nodes, the bytes needed and the limit,
// when analysis_peak_bytes exceeds max_bytes.
void require_analysis_budget(const MoleculeSize& size, bool recursive, std::uint64_t max_bytes);

}  // namespace korvane
