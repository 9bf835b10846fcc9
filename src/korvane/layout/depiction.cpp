// RDKit's 2-D depiction with the coordinate generator preferred, and the lock that
// keeps that generator's calls one at a time.
#include "korvane/layout/depiction.hpp"

#include <GraphMol/Conformer.h>
#include <GraphMol/Depictor/RDDepictor.h>

#include <cmath>
#include <mutex>

namespace korvane::layout {
namespace {

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

}  // namespace korvane::layout
