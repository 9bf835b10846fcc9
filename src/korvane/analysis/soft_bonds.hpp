// Soft bonds: bond edges whose removal leaves the LPI of the graph unchanged.
#pragma once
#include <utility>
#include <vector>

#include "korvane/analysis/lpi.hpp"

namespace korvane::analysis {

enum class SoftTest : char { Absent, Essential, Soft };

// Tests each candidate node pair in order against the intact graph: Absent when the
// graph has no such edge, Soft when deleting it leaves `baseline` unchanged.
std::vector<SoftTest> detect_soft_edges(int n_nodes, const std::vector<WeightedEdge>& edges,
                                        const std::vector<std::pair<int, int>>& candidates,
                                        const LpiCounts& baseline, double zero_tolerance = 1e-9);

}  // namespace korvane::analysis
