// Symmetry refinement of a layout: symmetry classes, radial equalisation per class,
// principal-axis alignment and mirror enforcement.
#pragma once
#include <GraphMol/ROMol.h>

#include <vector>

#include "korvane/layout/coords.hpp"

namespace korvane::layout {

// Atom indices per symmetry class, classes in order of first occurrence, each ascending.
using RankGroups = std::vector<std::vector<int>>;

// Returns RDKit's canonical ranks without tie breaking (equal for equivalent atoms);
// 0..n-1 when they cannot be computed.
std::vector<int> symmetry_classes(const RDKit::ROMol& mol);

// Groups atom indices by rank, in order of first occurrence.
RankGroups group_by_rank(const std::vector<int>& ranks);

// Moves the members of each class to their mean distance from the class centroid,
// each along its own direction. Changes `coords` in place.
void radial_equalize(Coords& coords, const RankGroups& groups);

// Centres `coords` in place and returns a rotated copy with the largest-variance
// direction along x (a proper rotation, never a reflection).
Coords pca_align(Coords& coords);

// How close to the mirror line enforce_mirror snaps an atom onto it, by default.
inline constexpr double kMirrorSnapDistance = 0.05;

// Makes equivalent atoms on opposite sides of an axis exact mirror images
// (axis 1: mirror line is the x-axis; axis 0: the y-axis); atoms within eps of the line
// are snapped onto it. Changes `coords` in place.
void enforce_mirror(Coords& coords, const std::vector<int>& ranks, int axis,
                    double eps = kMirrorSnapDistance);

}  // namespace korvane::layout
