#include "korvane/layout/atom_layout.hpp"

#include <GraphMol/Conformer.h>
#include <GraphMol/Depictor/RDDepictor.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

#include "korvane/common/interrupt.hpp"
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

void compute_2d_coords(RDKit::ROMol& mol, bool force_rdkit) {
  // The same arguments as Python's rdDepictor.Compute2DCoords(mol): an empty map
  // of fixed atoms, canonical orientation, other conformers cleared, no sampling.
  const RDGeom::INT_POINT2D_MAP no_fixed_atoms;
  RDDepict::compute2DCoords(mol, &no_fixed_atoms, /*canonOrient=*/true, /*clearConfs=*/true,
                            /*nFlipsPerSample=*/0, /*nSamples=*/0, /*sampleSeed=*/0,
                            /*permuteDeg4Nodes=*/false, force_rdkit);
}

// The coordinate generator keeps process-wide state that its calls write without a
// lock: its ring templates, loaded the first time a bridged ring system asks for them,
// and, whenever RDBASE is set (RDKit's Python package sets it), its template directory,
// moved into static storage on every call. Concurrent calls free each other's buffers,
// so they are made one at a time. RDKit's own generator has no such state.
std::mutex g_coordinate_generator_lock;

void depict_once(RDKit::ROMol& mol, bool force_rdkit) {
  std::unique_lock<std::mutex> hold(g_coordinate_generator_lock, std::defer_lock);
  if (!force_rdkit) hold.lock();
  compute_2d_coords(mol, force_rdkit);
}

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

// The bonded partners of every atom that have a higher index, ascending (compressed
// rows): the pairs the repulsion skips. Linear in the bond count, where a matrix of
// flags would take n^2 memory.
class BondedAbove {
 public:
  BondedAbove() = default;
  BondedAbove(std::size_t n, const std::vector<std::pair<int, int>>& bonds) : start_(n + 1, 0) {
    for (const auto& [u, v] : bonds) ++start_[static_cast<std::size_t>(std::min(u, v)) + 1];
    for (std::size_t i = 0; i < n; ++i) start_[i + 1] += start_[i];
    partners_.resize(start_[n]);
    std::vector<std::size_t> fill(start_.begin(), start_.end() - 1);
    for (const auto& [u, v] : bonds) {
      const auto [lo, hi] = pair_key(u, v);
      partners_[fill[static_cast<std::size_t>(lo)]++] = static_cast<std::size_t>(hi);
    }
    for (std::size_t i = 0; i < n; ++i)
      std::sort(partners_.begin() + static_cast<std::ptrdiff_t>(start_[i]),
                partners_.begin() + static_cast<std::ptrdiff_t>(start_[i + 1]));
  }

  // Walks the partners of one atom i; bonded(j) must be asked with ascending j > i.
  class Cursor {
   public:
    Cursor(const std::size_t* it, const std::size_t* end) : it_(it), end_(end) {}
    bool bonded(std::size_t j) {
      while (it_ != end_ && *it_ < j) ++it_;
      return it_ != end_ && *it_ == j;
    }

   private:
    const std::size_t* it_;
    const std::size_t* end_;
  };

  Cursor cursor(std::size_t i) const {
    return Cursor(partners_.data() + start_[i], partners_.data() + start_[i + 1]);
  }

 private:
  std::vector<std::size_t> start_;
  std::vector<std::size_t> partners_;
};

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
                       double k_rep, Coords& forces) {
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
}

// Pairs i < j found close by the grid: the partners of atom i are
// partner[start[i] .. start[i + 1]), ascending.
struct ClosePairs {
  std::vector<std::size_t> start;
  std::vector<std::size_t> partner;
};

// A uniform grid over the atoms. Two atoms closer than the cut-off always sit in the
// same or in adjacent cells.
class CellGrid {
 public:
  // Sorts the atoms into cells. Returns false, leaving the grid unusable, when a
  // coordinate, the extent or the cut-off is not finite: a NaN position has no cell,
  // and the all-pairs scan must then spread the NaN as it always does.
  bool rebuild(const Coords& coords, double min_nb) {
    const std::size_t n = coords.size();
    if (n == 0 || !std::isfinite(min_nb)) return false;
    double x_lo = coords[0][0], x_hi = x_lo, y_lo = coords[0][1], y_hi = y_lo;
    for (const Point& p : coords) {
      if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return false;
      x_lo = std::min(x_lo, p[0]);
      x_hi = std::max(x_hi, p[0]);
      y_lo = std::min(y_lo, p[1]);
      y_hi = std::max(y_hi, p[1]);
    }
    const double width = x_hi - x_lo, height = y_hi - y_lo;
    if (!std::isfinite(width) || !std::isfinite(height)) return false;

    // The cells are a little wider than the cut-off, so that rounding in a cell index
    // (relative 1e-16 times the number of cells across) can never put two atoms
    // within the cut-off two cells apart. Far more cells than atoms (a spread-out
    // layout, a fragment far away) would only cost memory: the cells then grow until
    // there are at most 2n + 16, which keeps the grid correct, as any cell at least
    // as wide as the cut-off does.
    const double max_cells = 2.0 * static_cast<double>(n) + 16.0;
    cell_ = std::max(min_nb, 0.0) * (1.0 + 1e-6);
    if (!(cell_ > 0.0)) cell_ = std::max({width, height, 1.0});  // no pair repels anyway
    const auto across = [&](double extent) { return std::floor(extent / cell_) + 1.0; };
    while (across(width) * across(height) > max_cells) cell_ *= 2.0;
    nx_ = static_cast<std::size_t>(across(width));
    ny_ = static_cast<std::size_t>(across(height));
    x_lo_ = x_lo;
    y_lo_ = y_lo;

    // Counting sort by cell; the atoms go in in index order, so every cell lists
    // its atoms ascending.
    cell_of_.resize(n);
    start_.assign(nx_ * ny_ + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
      cell_of_[i] = cell_index(coords[i]);
      ++start_[cell_of_[i] + 1];
    }
    for (std::size_t c = 0; c < nx_ * ny_; ++c) start_[c + 1] += start_[c];
    atoms_.resize(n);
    fill_.assign(start_.begin(), start_.end() - 1);
    for (std::size_t i = 0; i < n; ++i) atoms_[fill_[cell_of_[i]]++] = i;
    return true;
  }

  // Fills `out` with the pairs of atoms in the same or in adjacent cells whose squared
  // distance is below far_sq: for each atom i, its partners j > i, ascending.
  void collect_close_pairs(const Coords& coords, double far_sq, ClosePairs& out) {
    found_.clear();
    const auto visit = [&](std::size_t a, std::size_t b) {
      const double dx = coords[b][0] - coords[a][0], dy = coords[b][1] - coords[a][1];
      if (!(dx * dx + dy * dy >= far_sq)) found_.emplace_back(std::min(a, b), std::max(a, b));
    };
    const auto visit_cells = [&](std::size_t c, std::size_t d) {
      for (std::size_t p = start_[c]; p < start_[c + 1]; ++p)
        for (std::size_t q = start_[d]; q < start_[d + 1]; ++q) visit(atoms_[p], atoms_[q]);
    };
    // Every pair of cells once: a cell with itself and with its neighbours east,
    // north-west, north and north-east.
    for (std::size_t cy = 0; cy < ny_; ++cy) {
      for (std::size_t cx = 0; cx < nx_; ++cx) {
        const std::size_t c = cy * nx_ + cx;
        if (start_[c] == start_[c + 1]) continue;
        for (std::size_t p = start_[c]; p < start_[c + 1]; ++p)
          for (std::size_t q = p + 1; q < start_[c + 1]; ++q) visit(atoms_[p], atoms_[q]);
        if (cx + 1 < nx_) visit_cells(c, c + 1);
        if (cy + 1 < ny_) {
          if (cx > 0) visit_cells(c, c + nx_ - 1);
          visit_cells(c, c + nx_);
          if (cx + 1 < nx_) visit_cells(c, c + nx_ + 1);
        }
      }
    }

    // Counting sort by the smaller atom, then each atom's few partners by insertion.
    const std::size_t n = cell_of_.size();
    out.start.assign(n + 1, 0);
    for (const auto& pair : found_) ++out.start[pair.first + 1];
    for (std::size_t i = 0; i < n; ++i) out.start[i + 1] += out.start[i];
    out.partner.resize(found_.size());
    fill_.assign(out.start.begin(), out.start.end() - 1);
    for (const auto& [i, j] : found_) out.partner[fill_[i]++] = j;
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t* first = out.partner.data() + out.start[i];
      std::size_t* last = out.partner.data() + out.start[i + 1];
      for (std::size_t* k = first; k != last; ++k)
        for (std::size_t* m = k; m != first && *(m - 1) > *m; --m) std::swap(*(m - 1), *m);
    }
  }

 private:
  std::size_t cell_index(const Point& p) const {
    // Both differences are >= 0, so truncation is the floor.
    const auto cx = std::min(static_cast<std::size_t>((p[0] - x_lo_) / cell_), nx_ - 1);
    const auto cy = std::min(static_cast<std::size_t>((p[1] - y_lo_) / cell_), ny_ - 1);
    return cy * nx_ + cx;
  }

  double x_lo_ = 0.0, y_lo_ = 0.0, cell_ = 1.0;
  std::size_t nx_ = 1, ny_ = 1;
  std::vector<std::size_t> cell_of_;  // cell of each atom
  std::vector<std::size_t> start_;    // atoms_[start_[c] .. start_[c + 1]) lie in cell c
  std::vector<std::size_t> atoms_;
  std::vector<std::size_t> fill_;  // scratch of the counting sorts
  std::vector<std::pair<std::size_t, std::size_t>> found_;  // scratch: close pairs (i < j)
};

// Below about this many atoms the all-pairs scan is as fast as the grid (measured).
constexpr std::size_t kGridFromAtoms = 80;

// A neighbour list holds the pairs within the cut-off plus this share of it, and
// stands until an atom has moved a quarter of that margin since it was built.
constexpr double kSkinShare = 0.3;
// The list is used only while every coordinate is within this many margins of the
// origin, so that the rounding of a displacement or a distance (relative 1e-16 of the
// coordinates) stays far below the quarter margin the certificate leaves unused.
constexpr double kListReach = 1e8;

// The pairs i < j, not bonded, that were closer than the cut-off plus the margin
// when the list was built, with the positions at that time. A pair left out was at
// least cut-off + skin apart then; while no atom has moved skin / 4 since, it is
// still more than cut-off + skin / 2 apart, so the repulsion scan would skip it: the
// list visits the same pairs in the same order as the scan of every pair.
struct NeighbourList {
  double skin = 0.0;
  double listed_sq = 0.0;  // (cut-off + skin)^2
  bool built = false;
  Coords built_at;
  ClosePairs pairs;
};

// What the relaxation steps share besides the coordinates.
struct Relaxation {
  std::vector<std::pair<int, int>> bonds;  // in the molecule's bond order
  BondedAbove bonded;
  CutOff cut{0.0};
  bool use_grid = false;
  bool use_list = false;
  Coords forces;
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
        repel_pair(coords, i, j, r.cut, k_rep, r.forces);
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
        repel_pair(coords, i, close.partner[k], r.cut, k_rep, r.forces);
  }
}

// Whether the coordinates allow the neighbour list at all: finite, and close enough
// to the origin for the rounding argument of NeighbourList.
bool list_usable(const Coords& coords, const NeighbourList& list) {
  const double reach = kListReach * list.skin;
  for (const Point& p : coords)
    if (!(std::fabs(p[0]) < reach && std::fabs(p[1]) < reach)) return false;
  return true;
}

bool moved_a_quarter_skin(const Coords& coords, const NeighbourList& list) {
  const double limit = 0.25 * list.skin;
  const double limit_sq = limit * limit;
  for (std::size_t i = 0; i < coords.size(); ++i) {
    const double dx = coords[i][0] - list.built_at[i][0];
    const double dy = coords[i][1] - list.built_at[i][1];
    if (!(dx * dx + dy * dy < limit_sq)) return true;
  }
  return false;
}

// Lists the unbonded pairs closer than cut-off + skin: by the grid when the molecule
// has one, otherwise by the scan of every pair.
void build_list(const Coords& coords, Relaxation& r) {
  NeighbourList& list = r.list;
  const std::size_t n = coords.size();
  list.built_at = coords;
  list.built = true;
  ClosePairs& out = list.pairs;
  out.start.assign(n + 1, 0);
  out.partner.clear();
  const bool by_grid = r.use_grid && r.grid.rebuild(coords, std::sqrt(list.listed_sq));
  if (by_grid) r.grid.collect_close_pairs(coords, list.listed_sq, r.close);
  for (std::size_t i = 0; i < n; ++i) {
    auto partners = r.bonded.cursor(i);
    if (by_grid) {
      for (std::size_t k = r.close.start[i]; k < r.close.start[i + 1]; ++k)
        if (!partners.bonded(r.close.partner[k])) out.partner.push_back(r.close.partner[k]);
    } else {
      const double xi = coords[i][0], yi = coords[i][1];
      for (std::size_t j = i + 1; j < n; ++j) {
        const double dx = coords[j][0] - xi, dy = coords[j][1] - yi;
        if (!(dx * dx + dy * dy >= list.listed_sq) && !partners.bonded(j)) out.partner.push_back(j);
      }
    }
    out.start[i + 1] = out.partner.size();
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
  if (!list.built || moved_a_quarter_skin(coords, list)) build_list(coords, r);
  const ClosePairs& pairs = list.pairs;
  for (std::size_t i = 0; i < coords.size(); ++i)
    for (std::size_t k = pairs.start[i]; k < pairs.start[i + 1]; ++k)
      repel_pair(coords, i, pairs.partner[k], r.cut, k_rep, r.forces);
  return true;
}

// One relaxation step: every force from the positions at its start, applied together.
void relax_step(Coords& coords, Relaxation& r, const LayoutParams& params) {
  Coords& forces = r.forces;
  for (Point& f : forces) f = {0.0, 0.0};

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
  }

  // Only directly bonded pairs are exempt from the repulsion.
  if (!(r.use_list && repel_by_list(coords, r, params.k_rep))) {
    if (r.use_grid && r.grid.rebuild(coords, r.cut.min_nb))
      repel_by_grid(coords, r, params.k_rep);
    else
      repel_all_pairs(coords, r, params.k_rep);
  }

  for (std::size_t i = 0; i < coords.size(); ++i) {
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
  // Process-wide, and left on; written only when off, so that concurrent layouts do not
  // all write the same global.
  if (!RDDepict::preferCoordGen) RDDepict::preferCoordGen = true;
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
  Coords depiction = depict(mol);
  return layout_from_depiction(mol, std::move(depiction), params);
}

AtomLayout layout_from_depiction(const RDKit::ROMol& mol, Coords depiction,
                                 const LayoutParams& params,
                                 std::optional<std::vector<int>> ranks) {
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
