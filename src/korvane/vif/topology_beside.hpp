// The topology work run on a helper thread beside the layout: the LPI, the soft bonds
// and the predictions of a graph whose bond units sit on nodes chosen without the
// layout (TopologyFirst, then TopologyRest), and the check that the graph of the layout
// is that graph renumbered, on which its results stand.
#pragma once
#include <GraphMol/ROMol.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <vector>

#include "korvane/analysis/lpi.hpp"
#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/helper_threads.hpp"  // wait_interruptibly
#include "korvane/common/interrupt.hpp"       // StopFlag
#include "korvane/massspec/fragments.hpp"
#include "korvane/massspec/fragments_recursive.hpp"
#include "korvane/vif/vif_run.hpp"

namespace korvane::vif {

// Graphs whose soft-bond test takes the sparse factorizations (large, without
// recursion) keep their own split: eigenvalues beside the test, after the layout.
constexpr std::int64_t kTopologyBesideMaxNodes = 100;

// What the molecule's topology decides, from a graph whose bond units sit on nodes
// chosen without the layout: first the LPI and the soft bonds, published as soon as
// they are known, then the predictions.
struct TopologyFirst {
  std::vector<int> bond_orders;
  analysis::OrbitalGraph graph;
  analysis::LpiSignature lpi;
  std::vector<analysis::SoftTest> verdicts;
  bool definite = false;  // no count rests on an eigenvalue within rounding of +-tol
  double lpi_seconds = 0.0, soft_seconds = 0.0;
};

struct TopologyRest {
  std::vector<massspec::FragmentCut> fragments;
  std::optional<std::vector<massspec::Peak>> recursive_peaks;
  bool definite = false;  // nor does any count of the recursive fragmentation
  StageSeconds seconds;   // fragments, recursive
  double total = 0.0;     // seconds of both parts
};

// Whether `laid_out` is `topological` with its nodes renumbered within atoms and kinds:
// the same nodes, and the same bond records in the same order, whose ends map node to
// node one-to-one, each onto a node of the same atom and kind. The edges inside atoms
// (the sigma cliques) are then the same too, and every bond edge is its record's.
bool same_graph_renumbered(const analysis::OrbitalGraph& topological,
                           const analysis::OrbitalGraph& laid_out);

// Whether every graph of `mol` that a layout can give is the graph of the topology
// analysis renumbered: each atom has one node of a kind, or at least as many nodes of
// it as bond units of it, so every unit gets a node of its own whatever the angles.
// Needs the bond orders of build_bond_orders; false for an element without a period.
bool layout_leaves_graph(const RDKit::ROMol& mol, const std::vector<int>& bond_orders);

// The topology analysis handed to a helper thread, stopped when the last holder of it
// lets it go; or, made with kHere, already run on the calling thread (then without the
// symmetry ranks, which only a layout needs). Its two parts, the symmetry ranks and the
// topology work, each run on whichever thread asks for it first: the helper, when it
// gets a CPU before the caller needs the part, or else the caller itself, which then
// neither waits for a helper that a busy machine has not yet run nor hands it work.
class TopologyBeside {
 public:
  enum Where { kBeside, kHere };
  TopologyBeside(const RDKit::ROMol& mol, const VifParams& params, Where where = kBeside);
  ~TopologyBeside();
  TopologyBeside(const TopologyBeside&) = delete;
  TopologyBeside& operator=(const TopologyBeside&) = delete;

  // The molecule's symmetry ranks (symmetry_classes).
  std::vector<int> ranks();
  // The first part; its exception, if it threw one; Interrupted on a stop request here.
  std::shared_ptr<const TopologyFirst> first();
  // The predictions, likewise.
  TopologyRest rest() const;
  // The predictions, likewise, without a copy: valid while this object lives.
  const TopologyRest& rest_here() const;

  struct Work;  // the parts, their results and who has taken each (topology_beside.cpp)

 private:
  void take_topology() const;  // here, unless the helper has taken it; after the ranks

  std::shared_ptr<Work> work_;
  std::shared_future<std::vector<int>> ranks_;  // shared: read again after ranks()
  std::future<std::shared_ptr<const TopologyFirst>> first_;
  std::shared_future<TopologyRest> rest_;
};

}  // namespace korvane::vif
