// The pair search of the layout's repulsion: the bonded pairs it skips (BondedAbove),
// a uniform cell grid that finds the atom pairs closer than a cut-off (CellGrid), and
// the neighbour list that keeps those pairs from step to step (NeighbourList). Each
// visits the same pairs in the same order as the scan of every pair i < j.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "korvane/common/pair_key.hpp"
#include "korvane/layout/coords.hpp"

namespace korvane::layout {

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

// Whether the coordinates allow the neighbour list at all: finite, and close enough
// to the origin for the rounding argument of NeighbourList.
inline bool list_usable(const Coords& coords, const NeighbourList& list) {
  const double reach = kListReach * list.skin;
  for (const Point& p : coords)
    if (!(std::fabs(p[0]) < reach && std::fabs(p[1]) < reach)) return false;
  return true;
}

inline bool moved_a_quarter_skin(const Coords& coords, const NeighbourList& list) {
  const double limit = 0.25 * list.skin;
  const double limit_sq = limit * limit;
  for (std::size_t i = 0; i < coords.size(); ++i) {
    const double dx = coords[i][0] - list.built_at[i][0];
    const double dy = coords[i][1] - list.built_at[i][1];
    if (!(dx * dx + dy * dy < limit_sq)) return true;
  }
  return false;
}

// Lists the unbonded pairs closer than cut-off + skin: by the grid when `use_grid` and
// the coordinates allow one (`close` is its scratch), otherwise by the scan of every pair.
inline void build_neighbour_list(const Coords& coords, const BondedAbove& bonded, bool use_grid,
                                 CellGrid& grid, ClosePairs& close, NeighbourList& list) {
  const std::size_t n = coords.size();
  list.built_at = coords;
  list.built = true;
  ClosePairs& out = list.pairs;
  out.start.assign(n + 1, 0);
  out.partner.clear();
  const bool by_grid = use_grid && grid.rebuild(coords, std::sqrt(list.listed_sq));
  if (by_grid) grid.collect_close_pairs(coords, list.listed_sq, close);
  for (std::size_t i = 0; i < n; ++i) {
    auto partners = bonded.cursor(i);
    if (by_grid) {
      for (std::size_t k = close.start[i]; k < close.start[i + 1]; ++k)
        if (!partners.bonded(close.partner[k])) out.partner.push_back(close.partner[k]);
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

}  // namespace korvane::layout
