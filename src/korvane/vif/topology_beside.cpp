// The topology work beside the layout: both of its parts on a helper thread, and the
// comparison of its graph with the graph of the layout.
#include "korvane/vif/topology_beside.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <string>
#include <utility>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/inertia.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/common/helper_threads.hpp"
#include "korvane/layout/symmetry.hpp"
#include "korvane/vif/stage_steps.hpp"

namespace korvane::vif {
namespace {

// Runs both parts on the calling thread; `first` receives the first part once it is
// known (or the exception that prevented it).
TopologyRest analyse_topology(const RDKit::ROMol& mol, const VifParams& params,
                              std::promise<std::shared_ptr<const TopologyFirst>>& first) {
  analysis::ToleranceWatch watch;
  StageClock clock;
  std::shared_ptr<const analysis::DeletionCounter> counter;
  auto t = std::make_shared<TopologyFirst>();
  try {
    t->bond_orders = analysis::build_bond_orders(mol);
    // Atoms on a line, one unit apart: no atom sits on a neighbour, so every bond unit
    // finds a node of its kind.
    layout::Coords line(mol.getNumAtoms());
    for (std::size_t i = 0; i < line.size(); ++i) line[i] = {static_cast<double>(i), 0.0};
    t->graph = analysis::build_orbital_graph(mol, line, t->bond_orders, params);
    const int n = t->graph.n_nodes();
    const auto candidates = bond_candidates(t->graph);
    counter = shared_decomposition(
        t->graph, params, analysis::soft_edge_method(n, static_cast<int>(candidates.size())),
        t->lpi);
    if (!counter)
      t->lpi = analysis::compute_lpi(n, t->graph.edges, kZeroTolerance, params.max_analysis_bytes);
    t->lpi_seconds = clock.lap();
    t->verdicts = analysis::detect_soft_edges(n, t->graph.edges, candidates, t->lpi.counts,
                                              kZeroTolerance, nullptr, counter.get(),
                                              params.max_analysis_bytes);
    t->soft_seconds = clock.lap();
    t->definite = watch.unclear() == 0 &&
                  analysis::counts_clear_of_tolerance(t->lpi.eigenvalues, t->graph.edges,
                                                      kZeroTolerance);
  } catch (...) {
    first.set_exception(std::current_exception());
    throw;
  }
  first.set_value(t);

  TopologyRest r;
  std::vector<analysis::ChemBond> softs;
  for (std::size_t i = 0; i < t->verdicts.size(); ++i)
    if (t->verdicts[i] == analysis::SoftTest::Soft) softs.push_back(t->graph.chem_bonds[i]);
  r.fragments = massspec::predict_fragments(mol, softs, params.ring_fragmentation);
  r.seconds.fragments = clock.lap();
  if (params.recursive_ms) {
    r.recursive_peaks = massspec::predict_fragments_recursive(
        mol, t->graph, params.max_generations, massspec::kRecursiveMinMz,
        massspec::kRecursiveRingFragmentation, counter, params.max_analysis_bytes);
    r.seconds.recursive = clock.lap();
  }
  r.definite = t->definite && watch.unclear() == 0;
  r.total = t->lpi_seconds + t->soft_seconds + r.seconds.fragments + r.seconds.recursive;
  return r;
}

}  // namespace

bool same_graph_renumbered(const analysis::OrbitalGraph& topological,
                           const analysis::OrbitalGraph& laid_out) {
  const auto& a = topological;
  const auto& b = laid_out;
  const int n = a.n_nodes();
  if (b.n_nodes() != n || a.edges.size() != b.edges.size() ||
      a.chem_bonds.size() != b.chem_bonds.size() || a.atom_subgraphs != b.atom_subgraphs)
    return false;
  for (int i = 0; i < n; ++i) {
    const auto& x = a.nodes[static_cast<std::size_t>(i)];
    const auto& y = b.nodes[static_cast<std::size_t>(i)];
    if (x.atom_index != y.atom_index || x.kind != y.kind || x.symbol != y.symbol) return false;
  }
  std::vector<int> to(static_cast<std::size_t>(n), -1), from(static_cast<std::size_t>(n), -1);
  const auto match = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= n || y >= n) return false;
    const auto ux = static_cast<std::size_t>(x), uy = static_cast<std::size_t>(y);
    if (a.nodes[ux].atom_index != b.nodes[uy].atom_index || a.nodes[ux].kind != b.nodes[uy].kind)
      return false;
    if (to[ux] < 0 && from[uy] < 0) {
      to[ux] = y;
      from[uy] = x;
      return true;
    }
    return to[ux] == y;
  };
  for (std::size_t r = 0; r < a.chem_bonds.size(); ++r) {
    const auto& p = a.chem_bonds[r];
    const auto& q = b.chem_bonds[r];
    if (p.atom_u != q.atom_u || p.atom_v != q.atom_v || p.order != q.order || p.k != q.k ||
        !match(p.u_node, q.u_node) || !match(p.v_node, q.v_node))
      return false;
  }
  // Edges inside atoms come first, in the same order; the rest are the bond edges.
  const std::size_t inside = a.edges.size() - a.chem_bonds.size();
  for (std::size_t i = 0; i < a.edges.size(); ++i) {
    const auto& e = a.edges[i];
    const auto& f = b.edges[i];
    if (e.weight != f.weight) return false;
    if (i < inside && (e.u != f.u || e.v != f.v)) return false;
  }
  return true;
}

bool layout_leaves_graph(const RDKit::ROMol& mol, const std::vector<int>& bond_orders) {
  for (const RDKit::Atom* atom : mol.atoms()) {
    const std::string symbol = atom->getSymbol();
    if (atomic_number_of(symbol) == 0) return false;  // the graph stage reports it
    const int n_nodes = analysis::orbital_node_count(element_period(symbol));
    if (n_nodes == 1) continue;  // every unit goes to the one node
    // The units as build_orbital_graph counts them: one sigma unit per neighbour, the
    // pi units of each bond beyond its first.
    int sigma_units = 0, pi_units = 0;
    for (const RDKit::Atom* nbr : mol.atomNeighbors(atom)) {
      ++sigma_units;
      pi_units += std::max(0, analysis::bond_order_between(mol, bond_orders,
                                                           static_cast<int>(atom->getIdx()),
                                                           static_cast<int>(nbr->getIdx())) -
                                  1);
    }
    const int n_pi = std::min(pi_units, n_nodes - 1);
    const int n_sigma = n_nodes - n_pi;
    if ((n_sigma > 1 && sigma_units > n_sigma) || (n_pi > 1 && pi_units > n_pi)) return false;
  }
  return true;
}

struct TopologyBeside::Work {
  std::shared_ptr<const RDKit::RWMol> mol;  // the helper's own copy
  VifParams params;
  StopFlag stop;
  std::atomic<bool> ranks_taken{false}, topology_taken{false};
  std::promise<std::vector<int>> ranks;
  std::promise<std::shared_ptr<const TopologyFirst>> first;
  std::promise<TopologyRest> rest;

  // Each part runs once, on the thread that takes it first; its failure goes to its
  // results, to be rethrown where they are read.
  void take_ranks() {
    if (ranks_taken.exchange(true)) return;
    try {
      ranks.set_value(layout::symmetry_classes(*mol));
    } catch (...) {
      ranks.set_exception(std::current_exception());
    }
  }
  void take_topology() {
    if (topology_taken.exchange(true)) return;
    try {
      rest.set_value(analyse_topology(*mol, params, first));
    } catch (...) {
      rest.set_exception(std::current_exception());  // first has it too, or its value
    }
  }
};

TopologyBeside::TopologyBeside(const RDKit::ROMol& mol, const VifParams& params, Where where)
    : work_(std::make_shared<Work>()) {
  Work& w = *work_;
  w.params = params;
  ranks_ = w.ranks.get_future().share();
  first_ = w.first.get_future();
  rest_ = w.rest.get_future().share();
  if (where == kHere) {
    w.ranks_taken = w.topology_taken = true;
    w.ranks.set_value({});
    // A failure here leaves the constructor, as the same stage would leave prepare_vif.
    w.rest.set_value(analyse_topology(mol, params, w.first));
    return;
  }
  w.mol = std::make_shared<const RDKit::RWMol>(mol);
  // The layout's symmetry ranks first, as the layout will ask for them first. A helper
  // that starts after the caller has taken both parts finds nothing left to do.
  run_on_helper([work = work_] {
    const StopScope scope(&work->stop);
    work->take_ranks();
    work->take_topology();
  });
}

TopologyBeside::~TopologyBeside() {
  // What no thread has taken yet is not run; what the helper runs stops at its next check.
  work_->ranks_taken = work_->topology_taken = true;
  work_->stop.raise();
}

std::vector<int> TopologyBeside::ranks() {
  work_->take_ranks();
  return wait_interruptibly(ranks_);
}

void TopologyBeside::take_topology() const {
  // Both parts read the helper's copy of the molecule, whose lazily filled RDKit caches
  // the ranks may write: the topology starts here only once the ranks are done, as it
  // does on the helper.
  work_->take_ranks();
  wait_ready_interruptibly(ranks_);
  work_->take_topology();
}

std::shared_ptr<const TopologyFirst> TopologyBeside::first() {
  take_topology();
  return wait_interruptibly(first_);
}

TopologyRest TopologyBeside::rest() const {
  take_topology();
  auto done = rest_;
  return wait_interruptibly(done);
}

const TopologyRest& TopologyBeside::rest_here() const {
  take_topology();
  wait_ready_interruptibly(rest_);
  return rest_.get();
}

}  // namespace korvane::vif
