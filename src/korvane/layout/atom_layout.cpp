#include "korvane/layout/atom_layout.hpp"

#include <GraphMol/Conformer.h>
#include <GraphMol/Depictor/RDDepictor.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <utility>

#include "korvane/common/numeric.hpp"  // kTwoPi, pair_key
#include "korvane/layout/symmetry.hpp"

namespace korvane::layout {
namespace {

// Standard normal deviates by the Box-Muller transform over a 64-bit Mersenne
// Twister. The engine's output is fixed by the C++ standard, the distributions of
// <random> are not, so the stream is the same with every standard library.
class NormalStream {
 public:
  explicit NormalStream(std::uint64_t seed) : engine_(seed) {}

  double next() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    const double u1 = uniform();
    const double u2 = uniform();
    const double r = std::sqrt(-2.0 * std::log(u1));
    const double t = kTwoPi * u2;
    spare_ = r * std::sin(t);
    has_spare_ = true;
    return r * std::cos(t);
  }

 private:
  // Uniform on (0, 1] in steps of 2^-53, so the logarithm above stays finite.
  double uniform() { return static_cast<double>((engine_() >> 11) + 1) * 0x1.0p-53; }

  std::mt19937_64 engine_;
  double spare_ = 0.0;
  bool has_spare_ = false;
};

constexpr std::uint64_t kLayoutSeed = 42;
constexpr double kCoincident = 1e-6;  // atoms closer than this are jittered apart
constexpr double kJitterSd = 0.1;
constexpr double kTinyLength = 1e-9;  // shorter vectors have no direction

bool all_finite(const Coords& coords) {
  for (const Point& p : coords)
    if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return false;
  return true;
}

void depict_once(RDKit::ROMol& mol, bool force_rdkit) {
  // The same arguments as Python's rdDepictor.Compute2DCoords(mol): an empty map
  // of fixed atoms, canonical orientation, other conformers cleared, no sampling.
  const RDGeom::INT_POINT2D_MAP no_fixed_atoms;
  RDDepict::compute2DCoords(mol, &no_fixed_atoms, /*canonOrient=*/true, /*clearConfs=*/true,
                            /*nFlipsPerSample=*/0, /*nSamples=*/0, /*sampleSeed=*/0,
                            /*permuteDeg4Nodes=*/false, force_rdkit);
}

}  // namespace

// Each test sees the jitters made before it.
void separate_coincident(Coords& coords) {
  NormalStream normal(kLayoutSeed);
  const std::size_t n = coords.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const double dx = coords[i][0] - coords[j][0], dy = coords[i][1] - coords[j][1];
      if (std::sqrt(dx * dx + dy * dy) < kCoincident) {
        const double jx = kJitterSd * normal.next();
        const double jy = kJitterSd * normal.next();
        coords[j][0] += jx;
        coords[j][1] += jy;
      }
    }
  }
}

namespace {

// One relaxation step: every force from the positions at its start, applied together.
void relax_step(Coords& coords, const std::vector<std::pair<int, int>>& bonds,
                const std::vector<char>& bonded, const LayoutParams& params, double min_nb,
                Coords& forces) {
  const std::size_t n = coords.size();
  for (Point& f : forces) f = {0.0, 0.0};

  for (const auto& [u, v] : bonds) {
    const double dx = coords[v][0] - coords[u][0], dy = coords[v][1] - coords[u][1];
    const double len = std::sqrt(dx * dx + dy * dy);
    if (len < kTinyLength) continue;
    const double stretch = len - params.target_bond_len;
    const double fx = stretch * dx / len * params.k_attr;
    const double fy = stretch * dy / len * params.k_attr;
    forces[u][0] += fx;
    forces[u][1] += fy;
    forces[v][0] -= fx;
    forces[v][1] -= fy;
  }

  // Only directly bonded pairs are exempt from the repulsion.
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (bonded[i * n + j]) continue;
      const double dx = coords[j][0] - coords[i][0], dy = coords[j][1] - coords[i][1];
      const double len = std::sqrt(dx * dx + dy * dy);
      if (len < kTinyLength || len >= min_nb) continue;
      const double overlap = min_nb - len;
      const double fx = overlap * dx / len * params.k_rep;
      const double fy = overlap * dy / len * params.k_rep;
      forces[i][0] -= fx;
      forces[i][1] -= fy;
      forces[j][0] += fx;
      forces[j][1] += fy;
    }
  }

  for (std::size_t i = 0; i < n; ++i) {
    coords[i][0] += forces[i][0];
    coords[i][1] += forces[i][1];
  }
}

}  // namespace

Coords conformer_coords(const RDKit::ROMol& mol) {
  const RDKit::Conformer& conf = mol.getConformer();
  Coords coords(mol.getNumAtoms());
  for (unsigned int i = 0; i < mol.getNumAtoms(); ++i) {
    const RDGeom::Point3D& p = conf.getAtomPos(i);
    coords[i] = {p.x, p.y};
  }
  return coords;
}

Coords depict(RDKit::ROMol& mol) {
  RDDepict::preferCoordGen = true;  // process-wide, and left on
  depict_once(mol, /*force_rdkit=*/false);
  Coords coords = conformer_coords(mol);
  if (!all_finite(coords)) {
    // The preferred generator places hydrogen-only molecules ("[H][H]", "[H]") at
    // NaN, which would poison every later step; RDKit's own generator places them.
    depict_once(mol, /*force_rdkit=*/true);
    coords = conformer_coords(mol);
  }
  return coords;
}

AtomLayout compute_atom_layout(RDKit::ROMol& mol, const LayoutParams& params) {
  AtomLayout layout;
  layout.coords = depict(mol);
  layout.ranks = symmetry_classes(mol);
  const std::size_t n = layout.coords.size();
  if (n == 1) return layout;  // nothing to relax, align or mirror

  const RankGroups groups = group_by_rank(layout.ranks);
  std::vector<std::pair<int, int>> bonds;
  std::vector<char> bonded(n * n, 0);  // bonded[i * n + j] for i < j
  for (const RDKit::Bond* bond : mol.bonds()) {
    const int u = static_cast<int>(bond->getBeginAtomIdx());
    const int v = static_cast<int>(bond->getEndAtomIdx());
    bonds.emplace_back(u, v);
    const auto [lo, hi] = pair_key(u, v);
    bonded[static_cast<std::size_t>(lo) * n + static_cast<std::size_t>(hi)] = 1;
  }
  const double min_nb = params.target_bond_len * params.repulsion_factor;

  Coords& coords = layout.coords;
  separate_coincident(coords);
  Coords forces(n);
  for (int it = 0; it < params.n_iter; ++it) {
    relax_step(coords, bonds, bonded, params, min_nb, forces);
    if (it > 50 && it % 5 == 0) radial_equalize(coords, groups);
  }

  layout.coords = pca_align(coords);
  enforce_mirror(layout.coords, layout.ranks, 1);
  enforce_mirror(layout.coords, layout.ranks, 0);
  return layout;
}

}  // namespace korvane::layout
