// The force-directed relaxation of the atom layout: the random stream that separates
// coincident atoms, the bond springs and the non-bonded repulsion step by step, then
// the symmetric alignment of the result.
#include "korvane/layout/atom_layout.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

#include "korvane/common/interrupt.hpp"
#include "korvane/common/numeric.hpp"  // kTwoPi, python_float_repr
#include "korvane/layout/pair_search.hpp"
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

double coincidence_distance(const Point& a, const Point& b) {
  const double dx = a[0] - b[0], dy = a[1] - b[1];
  return std::sqrt(dx * dx + dy * dy);
}

// Whether any two atoms are closer than kCoincident, by the same distance expression
// as the full scan. Only pairs whose x values differ by less than twice that are
// tested, found by sorting on x. Atoms with a non-finite coordinate are left out:
// their distances are NaN or infinite and never count as coincident.
bool any_coincident(const Coords& coords) {
  std::vector<std::size_t> order;
  order.reserve(coords.size());
  for (std::size_t i = 0; i < coords.size(); ++i)
    if (std::isfinite(coords[i][0]) && std::isfinite(coords[i][1])) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return coords[a][0] < coords[b][0]; });
  // A coincident pair differs in x by less than kCoincident plus rounding; the
  // difference grows along the sorted order, so the window ends at the first atom
  // beyond it.
  const double window = 2.0 * kCoincident;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const Point& a = coords[order[k]];
    for (std::size_t m = k + 1; m < order.size(); ++m) {
      const Point& b = coords[order[m]];
      if (b[0] - a[0] >= window) break;
      if (coincidence_distance(a, b) < kCoincident) return true;
    }
  }
  return false;
}

}  // namespace

// Each test sees the jitters made before it. Without a coincident pair at the start
// the scan would change nothing, so it runs only when there is one.
void separate_coincident(Coords& coords) {
  if (!any_coincident(coords)) return;
  NormalStream normal(kLayoutSeed);
  const std::size_t n = coords.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (coincidence_distance(coords[i], coords[j]) < kCoincident) {
        const double jx = kJitterSd * normal.next();
        const double jy = kJitterSd * normal.next();
        coords[j][0] += jx;
        coords[j][1] += jy;
      }
    }
  }
}

namespace {

// The repulsion cut-off, with a squared distance from which a pair is certainly at
// least the cut-off apart, so that the scans can skip it without a square root: sqrt is
// correctly rounded and monotone, and the margin of 1e-12 exceeds the rounding of the
// square. A NaN cut-off gives a NaN bound, which skips nothing.
struct CutOff {
  explicit CutOff(double cut_off) : min_nb(cut_off), far_sq(cut_off * cut_off * (1.0 + 1e-12)) {}
  double min_nb;
  double far_sq;
};

// The repulsion of one non-bonded pair i < j. Both scans call it, so that they do the
// same arithmetic in the same order.
inline void repel_pair(const Coords& coords, std::size_t i, std::size_t j, const CutOff& cut,
                       double k_rep, Coords& forces, std::vector<double>& gain) {
  const double dx = coords[j][0] - coords[i][0], dy = coords[j][1] - coords[i][1];
  const double sq = dx * dx + dy * dy;
  if (sq >= cut.far_sq) return;
  const double len = std::sqrt(sq);
  if (len < kTinyLength || len >= cut.min_nb) return;  // a NaN length goes on, spreading NaN
  const double overlap = cut.min_nb - len;
  const double fx = overlap * dx / len * k_rep;
  const double fy = overlap * dy / len * k_rep;
  forces[i][0] -= fx;
  forces[i][1] -= fy;
  forces[j][0] += fx;
  forces[j][1] += fy;
  gain[i] += k_rep;
  gain[j] += k_rep;
}

// Below about this many atoms the all-pairs scan is as fast as the grid (measured).
constexpr std::size_t kGridFromAtoms = 80;

// The largest sum of force gains with which an atom takes its full step. A step of
// gains g_k along displacements d_k moves the atom sum g_k d_k; the linearised step is
// stable while every atom's gains sum below 1 (Gershgorin: the eigenvalues of the step
// then stay below twice that sum, under 2), so 0.9 leaves a margin.
constexpr double kStableGain = 0.9;

// What the relaxation steps share besides the coordinates.
struct Relaxation {
  std::vector<std::pair<int, int>> bonds;  // in the molecule's bond order
  BondedAbove bonded;
  CutOff cut{0.0};
  bool use_grid = false;
  bool use_list = false;
  Coords forces;
  std::vector<double> gain;  // per atom: the sum of the gains of the forces on it
  CellGrid grid;  // rebuilt from the positions at the start of each step that scans
  ClosePairs close;
  NeighbourList list;
  std::vector<double> xs, ys, sq;  // scratch of the all-pairs scan
};

void repel_all_pairs(const Coords& coords, Relaxation& r, double k_rep) {
  const std::size_t n = coords.size();
  r.xs.resize(n);
  r.ys.resize(n);
  r.sq.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    r.xs[i] = coords[i][0];
    r.ys[i] = coords[i][1];
  }
  const double* x = r.xs.data();
  const double* y = r.ys.data();
  double* sq = r.sq.data();
  for (std::size_t i = 0; i < n; ++i) {
    // The squared distances to all later atoms first, in a loop the compiler
    // vectorises; repel_pair, which computes the same values, handles the pairs that
    // are not certainly out of reach.
    const double xi = x[i], yi = y[i];
    for (std::size_t j = i + 1; j < n; ++j) {
      const double dx = x[j] - xi, dy = y[j] - yi;
      sq[j] = dx * dx + dy * dy;
    }
    auto partners = r.bonded.cursor(i);
    for (std::size_t j = i + 1; j < n; ++j)
      if (!(sq[j] >= r.cut.far_sq) && !partners.bonded(j))
        repel_pair(coords, i, j, r.cut, k_rep, r.forces, r.gain);
  }
}

// Visits, for i ascending, the atoms j > i close to atom i, ascending: the all-pairs
// order without the pairs too far apart to exert a force. Every force component
// therefore receives the same terms in the same order as in the all-pairs scan.
void repel_by_grid(const Coords& coords, Relaxation& r, double k_rep) {
  r.grid.collect_close_pairs(coords, r.cut.far_sq, r.close);
  const ClosePairs& close = r.close;
  for (std::size_t i = 0; i < coords.size(); ++i) {
    auto partners = r.bonded.cursor(i);
    for (std::size_t k = close.start[i]; k < close.start[i + 1]; ++k)
      if (!partners.bonded(close.partner[k]))
        repel_pair(coords, i, close.partner[k], r.cut, k_rep, r.forces, r.gain);
  }
}

// The repulsion from the neighbour list, rebuilt first where it no longer holds.
// Returns false, leaving the step to a full scan, when the coordinates do not allow
// the list (a NaN must spread as the full scan spreads it).
bool repel_by_list(const Coords& coords, Relaxation& r, double k_rep) {
  NeighbourList& list = r.list;
  if (!list_usable(coords, list)) {
    list.built = false;
    return false;
  }
  if (!list.built || moved_a_quarter_skin(coords, list))
    build_neighbour_list(coords, r.bonded, r.use_grid, r.grid, r.close, list);
  const ClosePairs& pairs = list.pairs;
  for (std::size_t i = 0; i < coords.size(); ++i)
    for (std::size_t k = pairs.start[i]; k < pairs.start[i + 1]; ++k)
      repel_pair(coords, i, pairs.partner[k], r.cut, k_rep, r.forces, r.gain);
  return true;
}

// One relaxation step: every force from the positions at its start, applied together.
void relax_step(Coords& coords, Relaxation& r, const LayoutParams& params) {
  Coords& forces = r.forces;
  for (Point& f : forces) f = {0.0, 0.0};
  std::fill(r.gain.begin(), r.gain.end(), 0.0);

  for (const auto& [u, v] : r.bonds) {
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
    r.gain[u] += params.k_attr;
    r.gain[v] += params.k_attr;
  }

  // Only directly bonded pairs are exempt from the repulsion.
  if (!(r.use_list && repel_by_list(coords, r, params.k_rep))) {
    if (r.use_grid && r.grid.rebuild(coords, r.cut.min_nb))
      repel_by_grid(coords, r, params.k_rep);
    else
      repel_all_pairs(coords, r, params.k_rep);
  }

  // Each force moves its atom by its gain times a displacement; an atom pulled by many
  // springs and pushed by many neighbours at once (a carbon with sixty hydrogens, which
  // crowd each other) would overshoot by more than it corrects, and the step would grow
  // without bound. Its step is scaled down so that its gains sum to kStableGain, which
  // keeps every step a contraction; atoms below that sum move exactly as before.
  for (std::size_t i = 0; i < coords.size(); ++i) {
    if (r.gain[i] > kStableGain) {
      const double scale = kStableGain / r.gain[i];
      coords[i][0] += forces[i][0] * scale;
      coords[i][1] += forces[i][1] * scale;
    } else {
      coords[i][0] += forces[i][0];
      coords[i][1] += forces[i][1];
    }
  }
}

}  // namespace

void check_layout_params(const LayoutParams& params) {
  const auto check = [](double x, const char* name, double lo, double hi) {
    if (!std::isfinite(x))
      throw std::invalid_argument(std::string(name) + " must be a finite number, got " +
                                  python_float_repr(x));
    if (!(x >= lo && x <= hi))
      throw std::invalid_argument(std::string(name) + " must lie in [" + python_float_repr(lo) +
                                  ", " + python_float_repr(hi) + "], got " +
                                  python_float_repr(x));
  };
  check(params.target_bond_len, "target_bond_len", kMinBondLength, kMaxBondLength);
  check(params.repulsion_factor, "repulsion_factor", 0.0, kMaxRepulsionFactor);
  check(params.k_attr, "k_attr", 0.0, kMaxGain);
  check(params.k_rep, "k_rep", 0.0, kMaxGain);
}

AtomLayout compute_atom_layout(RDKit::ROMol& mol, const LayoutParams& params) {
  check_layout_params(params);
  Coords depiction = depict(mol);
  return layout_from_depiction(mol, std::move(depiction), params);
}

AtomLayout layout_from_depiction(const RDKit::ROMol& mol, Coords depiction,
                                 const LayoutParams& params,
                                 std::optional<std::vector<int>> ranks) {
  check_layout_params(params);
  if (depiction.size() != mol.getNumAtoms())
    throw std::invalid_argument("expected one depicted position per atom: " +
                                std::to_string(depiction.size()) + " positions for " +
                                std::to_string(mol.getNumAtoms()) + " atoms");
  AtomLayout layout;
  layout.coords = std::move(depiction);
  if (ranks && ranks->size() != mol.getNumAtoms())
    throw std::invalid_argument("expected one symmetry rank per atom: " +
                                std::to_string(ranks->size()) + " ranks for " +
                                std::to_string(mol.getNumAtoms()) + " atoms");
  layout.ranks = ranks ? std::move(*ranks) : symmetry_classes(mol);
  const std::size_t n = layout.coords.size();
  if (n == 1) return layout;  // nothing to relax, align or mirror

  const RankGroups groups = group_by_rank(layout.ranks);
  Relaxation r;
  for (const RDKit::Bond* bond : mol.bonds())
    r.bonds.emplace_back(static_cast<int>(bond->getBeginAtomIdx()),
                         static_cast<int>(bond->getEndAtomIdx()));
  r.bonded = BondedAbove(n, r.bonds);
  r.cut = CutOff(params.target_bond_len * params.repulsion_factor);
  r.use_grid = params.pair_scan == PairScan::Grid ||
               (params.pair_scan == PairScan::Auto && n >= kGridFromAtoms);
  r.forces.resize(n);
  r.gain.resize(n);
  const double cut_off = r.cut.min_nb;
  r.use_list = params.reuse_pairs && std::isfinite(cut_off) && cut_off > 0.0;
  r.list.skin = kSkinShare * cut_off;
  r.list.listed_sq = (cut_off + r.list.skin) * (cut_off + r.list.skin);

  Coords& coords = layout.coords;
  separate_coincident(coords);
  for (int it = 0; it < params.n_iter; ++it) {
    check_interrupt();
    relax_step(coords, r, params);
    if (it > 50 && it % 5 == 0) radial_equalize(coords, groups);
  }

  layout.coords = pca_align(coords);
  enforce_mirror(layout.coords, layout.ranks, 1);
  enforce_mirror(layout.coords, layout.ranks, 0);
  return layout;
}

}  // namespace korvane::layout
