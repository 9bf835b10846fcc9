// Symmetry refinement of a layout: symmetry classes, radial equalisation, principal-axis
// alignment and mirror enforcement.
#include "korvane/layout/symmetry.hpp"

#include <GraphMol/new_canon.h>  // Canon::rankMolAtoms

#include <cmath>
#include <exception>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

namespace korvane::layout {
namespace {

double norm(double x, double y) { return std::sqrt(x * x + y * y); }

// Eigen-decomposition of the symmetric matrix [[a, b], [b, c]]: eigenvalues
// ascending, eigenvectors as columns (vectors[row][column]). Closed form by the
// Jacobi rotation angle theta = atan2(2b, a - c) / 2, which is exact in its
// directions and never divides by a small difference. Sign convention: the
// larger eigenvalue's vector is (cos theta, sin theta) with theta in
// (-pi/2, pi/2], so its x component is positive; the other is that vector turned
// a quarter-turn counter-clockwise. A multiple of the identity gets theta = 0.
struct SymmetricEigen2 {
  double values[2];
  double vectors[2][2];
};

SymmetricEigen2 symmetric_eigen_2x2(double a, double b, double c) {
  const double mean = (a + c) / 2.0;
  const double radius = std::hypot((a - c) / 2.0, b);
  const double theta = std::atan2(2.0 * b, a - c) / 2.0;
  const double cs = std::cos(theta), sn = std::sin(theta);
  SymmetricEigen2 e{};
  e.values[0] = mean - radius;
  e.values[1] = mean + radius;
  e.vectors[0][0] = -sn;  // column 0: smaller eigenvalue
  e.vectors[1][0] = cs;
  e.vectors[0][1] = cs;  // column 1: larger eigenvalue
  e.vectors[1][1] = sn;
  return e;
}

void check_atom_index(int atom, std::size_t n_atoms) {
  if (atom < 0 || static_cast<std::size_t>(atom) >= n_atoms)
    throw std::out_of_range("atom index " + std::to_string(atom) + " is outside the " +
                            std::to_string(n_atoms) + " coordinate rows");
}

}  // namespace

std::vector<int> symmetry_classes(const RDKit::ROMol& mol) {
  const unsigned int n = mol.getNumAtoms();
  std::vector<unsigned int> ranks(n);
  try {
    RDKit::Canon::rankMolAtoms(mol, ranks, /*breakTies=*/false, /*includeChirality=*/true,
                               /*includeIsotopes=*/true);
  } catch (const std::exception&) {
    // Deliberately swallowed: a molecule RDKit cannot rank (valences never
    // computed, for one) gets one class per atom, so no symmetry is imposed.
    std::vector<int> own_class(n);
    std::iota(own_class.begin(), own_class.end(), 0);
    return own_class;
  }
  return std::vector<int>(ranks.begin(), ranks.end());
}

RankGroups group_by_rank(const std::vector<int>& ranks) {
  RankGroups groups;
  std::vector<int> group_ranks;  // rank of groups[k]
  for (std::size_t atom = 0; atom < ranks.size(); ++atom) {
    std::size_t k = 0;
    while (k < group_ranks.size() && group_ranks[k] != ranks[atom]) ++k;
    if (k == group_ranks.size()) {
      group_ranks.push_back(ranks[atom]);
      groups.emplace_back();
    }
    groups[k].push_back(static_cast<int>(atom));
  }
  return groups;
}

void radial_equalize(Coords& coords, const RankGroups& groups) {
  for (const auto& members : groups) {
    if (members.size() < 2) continue;
    for (int m : members) check_atom_index(m, coords.size());
    const auto count = static_cast<double>(members.size());

    // The centroid and the mean distance come from the positions before any
    // member of the class moves.
    Point centroid{0.0, 0.0};
    for (int m : members) {
      centroid[0] += coords[m][0];
      centroid[1] += coords[m][1];
    }
    centroid[0] /= count;
    centroid[1] /= count;
    double dist_sum = 0.0;
    for (int m : members) dist_sum += norm(coords[m][0] - centroid[0], coords[m][1] - centroid[1]);
    const double avg = dist_sum / count;
    if (avg < 1e-9) continue;  // every member sits on the centroid: no direction to keep

    for (int m : members) {
      const double vx = coords[m][0] - centroid[0];
      const double vy = coords[m][1] - centroid[1];
      const double len = norm(vx, vy);
      if (len > 1e-9) {
        const double scale = avg / len;
        coords[m] = {centroid[0] + vx * scale, centroid[1] + vy * scale};
      }
    }
  }
}

Coords pca_align(Coords& coords) {
  const std::size_t n = coords.size();
  if (n == 0) return coords;
  const auto count = static_cast<double>(n);
  double mean_x = 0.0, mean_y = 0.0;
  for (const Point& p : coords) {
    mean_x += p[0];
    mean_y += p[1];
  }
  mean_x /= count;
  mean_y /= count;
  for (Point& p : coords) {
    p[0] -= mean_x;
    p[1] -= mean_y;
  }
  if (n < 2) return coords;

  // Sample covariance (normalised by n - 1); the columns are centred once more,
  // as a covariance routine does, to remove the rounding left by the first pass.
  double cx = 0.0, cy = 0.0;
  for (const Point& p : coords) {
    cx += p[0];
    cy += p[1];
  }
  cx /= count;
  cy /= count;
  double sxx = 0.0, sxy = 0.0, syy = 0.0;
  for (const Point& p : coords) {
    const double dx = p[0] - cx, dy = p[1] - cy;
    sxx += dx * dx;
    sxy += dx * dy;
    syy += dy * dy;
  }
  const double inv_dof = 1.0 / (count - 1.0);
  const SymmetricEigen2 eig = symmetric_eigen_2x2(sxx * inv_dof, sxy * inv_dof, syy * inv_dof);

  // Largest variance first; equal eigenvalues keep the ascending sort's order
  // reversed, so index 1 comes before index 0.
  const int first = eig.values[0] <= eig.values[1] ? 1 : 0;
  const int second = 1 - first;
  double r[2][2] = {{eig.vectors[0][first], eig.vectors[0][second]},
                    {eig.vectors[1][first], eig.vectors[1][second]}};
  if (r[0][0] * r[1][1] - r[0][1] * r[1][0] < 0.0) {  // a reflection: make it a rotation
    r[0][1] = -r[0][1];
    r[1][1] = -r[1][1];
  }

  Coords rotated(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = coords[i][0], y = coords[i][1];
    rotated[i] = {x * r[0][0] + y * r[1][0], x * r[0][1] + y * r[1][1]};
  }
  return rotated;
}

void enforce_mirror(Coords& coords, const std::vector<int>& ranks, int axis, double eps) {
  if (axis != 0 && axis != 1)
    throw std::invalid_argument("mirror axis must be 0 or 1, not " + std::to_string(axis));
  const std::size_t n = coords.size();
  if (ranks.size() != n)
    throw std::invalid_argument(
        "expected one rank per coordinate row: " + std::to_string(ranks.size()) + " ranks for " +
        std::to_string(n) + " rows");
  const int other = 1 - axis;
  std::vector<bool> matched(n, false);

  for (std::size_t i = 0; i < n; ++i) {
    if (std::fabs(coords[i][axis]) < eps) {
      coords[i][axis] = 0.0;
      matched[i] = true;
    }
  }

  // Exactly zero counts as the non-negative side.
  auto non_negative = [&](std::size_t k) { return coords[k][axis] >= 0.0; };
  for (std::size_t i = 0; i < n; ++i) {
    if (matched[i]) continue;
    std::size_t best_j = n;
    double best_d = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < n; ++j) {
      if (j == i || matched[j] || ranks[j] != ranks[i] || non_negative(j) == non_negative(i))
        continue;
      const double d = std::fabs(coords[i][axis] + coords[j][axis]) +
                       std::fabs(coords[i][other] - coords[j][other]);
      if (d < best_d) {  // strictly smaller: the lowest index wins ties
        best_d = d;
        best_j = j;
      }
    }
    if (best_j == n) continue;

    const double avg_other = (coords[i][other] + coords[best_j][other]) / 2.0;
    const double avg_axis = (std::fabs(coords[i][axis]) + std::fabs(coords[best_j][axis])) / 2.0;
    for (std::size_t k : {i, best_j}) {
      coords[k][axis] = non_negative(k) ? avg_axis : -avg_axis;
      coords[k][other] = avg_other;
      matched[k] = true;
    }
  }
}

}  // namespace korvane::layout
