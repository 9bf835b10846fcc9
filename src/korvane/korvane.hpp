// The public C++ interface of korvane: the whole analysis of one molecule, given as
// SMILES, returned as plain data. It includes only the standard library; link
// korvane::korvane (find_package(korvane CONFIG)). Its AnalysisParams is also the one
// parameter struct of the core: every stage reads its parameters and their defaults here.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// The default memory budget, 4 GiB: a sixth of the 24 GiB machines korvane runs on, so
// that the interpreter, RDKit and the other processes of the machine keep their room.
inline constexpr std::uint64_t kDefaultMaxAnalysisBytes = std::uint64_t{4} << 30;

// The parameters of an analysis, with the defaults of the Python entry VIF (which reads
// them from here).
struct AnalysisParams {
  int n_iter = 600;                 // layout iterations
  double target_bond_len = 1.5;     // layout bond length; also scales the node radius
  double radius_ratio = 0.23;       // orbital-node radius = target_bond_len * radius_ratio
  double bond_kappa = 0.9;          // weight of every bond edge of the orbital graph
  bool ring_fragmentation = false;  // also cut soft ring bonds two at a time
  bool recursive_ms = false;        // also predict fragments of fragments
  int max_generations = 2;          // generations of that prediction
  // Memory budget of the dense orbital matrices; a larger molecule is refused.
  std::uint64_t max_analysis_bytes = kDefaultMaxAnalysisBytes;
  // How the analysis runs; the results are the same either way. Whether the stages that
  // do not need the layout may run beside it on a helper thread.
  bool beside_layout = true;
  // Whether the caller needs the coordinates (the atom layout and the node positions).
  // Without them, a molecule whose orbital graph the layout cannot change is analysed
  // without a depiction or a layout (the Python records, which hold no coordinates).
  bool need_coordinates = true;
};

// A chemical bond's edge of the orbital graph, as the soft-bond test judged it.
struct BondRecord {
  int u_node = 0, v_node = 0;  // orbital node ids
  int atom_u = 0, atom_v = 0;  // atom indices
  std::string sym_u, sym_v;    // element symbols
  int order = 1;               // bond order
  int k = 0;                   // which unit of the bond the edge carries, 0 .. order - 1
};

// One piece of a cut: atoms of the molecule with explicit hydrogens.
struct FragmentPiece {
  std::string formula;
  double mass = 0.0;        // average mass, rounded half-to-even to 2 decimals
  int mz = 0;               // nominal mass
  std::vector<int> atoms;   // ascending atom indices
  std::string smiles;       // canonical, hydrogens folded in, a radical where a bond was cut
};

// One cut of the single-generation prediction.
struct FragmentCutRecord {
  std::string bond;                  // "C3-O1", or "C1-C2 + C4-C5" for a ring cut
  bool split = false;                // whether the cut leaves two pieces
  std::string mode;                  // "single" or "ring"
  std::vector<FragmentPiece> pieces; // two, m/z descending; none when !split
};

// One peak of the recursive prediction: the first fragment that reached its m/z.
struct PeakRecord {
  int mz = 0;
  std::string formula;
  int generation = 0;                 // 0 for the molecule itself
  std::vector<int> atoms;             // ascending atom indices
  std::string smiles;
  std::vector<int> parent_atoms;      // the fragment it was cut from; empty for the molecule
  std::vector<std::string> cut_path;  // one cut per generation: "C1-C2" or "C1-C2 + C4-C5"
};

struct Analysis {
  int n_atoms = 0;                  // with explicit hydrogens
  int n_plus = 0, n_zero = 0, n_minus = 0;  // the LPI
  std::vector<double> eigenvalues;  // ascending; numpy.linalg.eigvalsh's, to the bit
  int mol_mass = 0;                 // nominal mass of the molecule
  double mol_mass_avg = 0.0;        // sum of the average atomic masses
  std::vector<BondRecord> chem_bonds;  // every bond edge of the orbital graph
  std::vector<int> soft_bonds;      // indices into chem_bonds, ascending
  std::vector<FragmentCutRecord> fragments;  // single cuts in soft-bond order, then ring cuts
  std::optional<std::vector<PeakRecord>> recursive_peaks;  // with recursive_ms
  std::string report;               // the report VIF(verbose=True) prints, without the final newline
};

// Returns the analysis of `smiles`, or std::nullopt when it cannot be parsed or has no
// atom. Throws std::invalid_argument for an element without a period or a parameter that
// is not finite, and std::runtime_error for a molecule whose dense matrices exceed
// params.max_analysis_bytes (before the large allocations). Safe to call from several
// threads at once.
std::optional<Analysis> analyze(const std::string& smiles, const AnalysisParams& params = {});

}  // namespace korvane
