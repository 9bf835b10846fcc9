// The directions of an atom's orbital nodes: targets first, then the widest gaps filled.
#include "korvane/layout/angular_slots.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "korvane/common/numeric.hpp"

namespace korvane::layout {

std::vector<double> spread_node_angles(int n_nodes, const std::vector<double>& target_angles) {
  // An atom has 1, 4 or 9 orbital nodes; far more directions than a small circle can
  // show (2^31 of them would be a 16 GiB list) are a mistake, as is none.
  if (n_nodes < 1 || n_nodes > kMaxNodeDirections)
    throw std::invalid_argument("n_nodes must be between 1 and " +
                                std::to_string(kMaxNodeDirections) + ", got " +
                                std::to_string(n_nodes));
  // A NaN target has no place in the sorted order the gaps are read from.
  for (double a : target_angles)
    if (!std::isfinite(a))
      throw std::invalid_argument("target_angles must be finite numbers, got " +
                                  python_float_repr(a));
  if (n_nodes == 1) return {0.0};
  const auto want = static_cast<std::size_t>(n_nodes);
  std::vector<double> angles(target_angles.begin(),
                             target_angles.begin() +
                                 static_cast<std::ptrdiff_t>(std::min(want, target_angles.size())));
  if (angles.empty()) {
    const double step = kTwoPi / n_nodes;
    for (int i = 0; i < n_nodes; ++i) angles.push_back(i * step);
    return angles;
  }
  std::vector<double> sorted_a;
  while (angles.size() < want) {
    sorted_a.clear();
    for (double a : angles) sorted_a.push_back(reduce_angle(a));
    std::sort(sorted_a.begin(), sorted_a.end());
    if (sorted_a.size() == 1) {
      angles.push_back(reduce_angle(sorted_a[0] + kPi));  // the opposite direction
      continue;
    }
    // Middle of the widest gap; the first of equally wide gaps wins, the last gap
    // wraps round from the largest angle to the smallest.
    double widest = -1.0, middle = 0.0;
    for (std::size_t i = 0; i < sorted_a.size(); ++i) {
      const double a1 = sorted_a[i];
      const double a2 = sorted_a[(i + 1) % sorted_a.size()];
      const double gap = reduce_angle(a2 - a1);
      if (gap > widest) {
        widest = gap;
        middle = reduce_angle(a1 + gap / 2.0);
      }
    }
    angles.push_back(middle);
  }
  return angles;
}

double angle_diff(double a, double b) { return std::fabs(reduce_angle(a - b + kPi) - kPi); }

}  // namespace korvane::layout
