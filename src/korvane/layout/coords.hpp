// Two-dimensional coordinates: one (x, y) row per atom, row i for atom i.
#pragma once
#include <array>
#include <vector>

namespace korvane::layout {

using Point = std::array<double, 2>;
using Coords = std::vector<Point>;

}  // namespace korvane::layout
