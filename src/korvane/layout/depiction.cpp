// RDKit's 2-D depiction with the coordinate generator preferred, and the lock that
// keeps that generator's calls one at a time.
#include "korvane/layout/depiction.hpp"

#include <GraphMol/Conformer.h>
#include <GraphMol/Depictor/RDDepictor.h>

#include <GraphMol/RWMol.h>
#include <pthread.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>

#include "korvane/common/helper_threads.hpp"
#include "korvane/common/interrupt.hpp"
#include "korvane/layout/coordgen_heap.hpp"

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
// so they are made one at a time. RDKit's own generator has no such state. Inside the
// lock, the generator's objects come from an ordered heap (coordgen_heap.hpp): it ranks
// some of them by address, which would make its depictions depend on the process's past.
// A fork waits for the depiction under way, if any, and takes the lock across the fork,
// so that the child starts with the generator's state whole and the lock free (a child
// forked while another thread held it would otherwise wait for it forever).
std::timed_mutex g_coordinate_generator_lock;

void lock_before_fork() { g_coordinate_generator_lock.lock(); }
void unlock_after_fork() { g_coordinate_generator_lock.unlock(); }

void register_fork_handlers() {
  static const bool registered = [] {
    pthread_atfork(&lock_before_fork, &unlock_after_fork, &unlock_after_fork);
    return true;
  }();
  (void)registered;
}

void depict_once(RDKit::ROMol& mol, bool force_rdkit) {
  std::unique_lock<std::timed_mutex> hold(g_coordinate_generator_lock, std::defer_lock);
  if (!force_rdkit) {
    // A depiction left behind by a stop request may hold the lock for as long as it
    // runs: the wait answers stop requests of its own.
    while (!hold.try_lock_for(std::chrono::milliseconds(kInterruptPollMs / 5)))
      check_interrupt_now();
    const CoordgenHeapScope ordered_heap;
    compute_2d_coords(mol, force_rdkit);
    return;
  }
  compute_2d_coords(mol, force_rdkit);
}

// From this many atoms on, a depiction takes long enough (a tenth of a second at 300
// atoms, a minute and a half at 6700) to run where a stop request can leave it behind.
constexpr unsigned kInterruptibleDepictionAtoms = 200;

// The depiction itself, on the calling thread.
Coords depict_here(RDKit::ROMol& mol) {
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
  register_fork_handlers();
  // Process-wide, and left on; written only when off, so that concurrent layouts do not
  // all write the same global.
  if (!RDDepict::preferCoordGen) RDDepict::preferCoordGen = true;
  if (mol.getNumAtoms() < kInterruptibleDepictionAtoms || !interrupt_hook_installed())
    return depict_here(mol);
  // A large molecule is depicted on a helper thread, which owns a copy of it, while this
  // one answers stop requests: left behind, the helper finishes on its own and lets the
  // lock go. The copy's conformer becomes the molecule's only one, as a depiction here
  // would have left it.
  auto copy = std::make_shared<RDKit::RWMol>(mol);
  auto done = start_detached([copy] {
    depict_here(*copy);
    return copy;
  });
  const std::shared_ptr<RDKit::RWMol> depicted = wait_interruptibly(done);
  mol.clearConformers();
  mol.addConformer(new RDKit::Conformer(depicted->getConformer()), /*assignId=*/false);
  return conformer_coords(mol);
}

}  // namespace korvane::layout
