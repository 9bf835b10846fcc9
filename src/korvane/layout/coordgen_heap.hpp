// A heap of its own for the coordinate generator's objects, so that its depictions do
// not depend on what the process did before.
//
// The generator orders some of its atoms, bonds and fragments by their addresses, so the
// coordinates it returns for a molecule with a bond to a metal atom or a large fused ring
// system depend on where the C library's allocator happened to place them, which depends
// on everything the process allocated and freed before. Within a depiction scope, the
// generator's own `new` takes memory from a region in which every allocation lies above
// the one before it, as the scope's first allocation starts where the previous scope's
// memory was given back: the addresses then rank the objects in the order the generator
// made them, the same in every process and after any history.
#pragma once

namespace korvane::layout {

// While one of these lives on a thread, the coordinate generator's allocations made on
// that thread come from the ordered region (the first one installs it). Scopes must not
// overlap in time: the caller holds the generator's lock. Where the region cannot be set
// up (no library of that name loaded, no address space left), the generator allocates
// as before.
class CoordgenHeapScope {
 public:
  CoordgenHeapScope();
  ~CoordgenHeapScope();
  CoordgenHeapScope(const CoordgenHeapScope&) = delete;
  CoordgenHeapScope& operator=(const CoordgenHeapScope&) = delete;

 private:
  bool active_ = false;
};

// Whether the generator's allocations are redirected (for tests and benchmarks).
bool coordgen_heap_installed();

}  // namespace korvane::layout
