#include "korvane/vif/vif_run.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <future>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <utility>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/inertia.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/common/interrupt.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/common/molecule.hpp"
#include "korvane/layout/symmetry.hpp"
#include "korvane/massspec/masses.hpp"

namespace korvane::vif {
namespace {

constexpr double kZeroTolerance = 1e-9;  // of the LPI, the soft bonds and the fragments

void require_finite(double x, const char* name) {
  if (!std::isfinite(x))
    throw std::invalid_argument(std::string(name) + " must be a finite number, got " +
                                std::to_string(x));
}

// The orbital nodes build_orbital_graph will make, counted before the layout so that an
// oversized molecule is refused at once. An unknown element counts one node here; the
// graph stage reports it.
std::int64_t count_orbital_nodes(const RDKit::ROMol& mol) {
  std::int64_t n = 0;
  for (const RDKit::Atom* atom : mol.atoms()) {
    const std::string symbol = atom->getSymbol();
    n += atomic_number_of(symbol) == 0 ? 1 : analysis::orbital_node_count(element_period(symbol));
  }
  return n;
}

// The soft-bond test's candidates: the node pair of every chemical-bond record.
std::vector<std::pair<int, int>> bond_candidates(const analysis::OrbitalGraph& graph) {
  std::vector<std::pair<int, int>> out;
  out.reserve(graph.chem_bonds.size());
  for (const auto& cb : graph.chem_bonds) out.emplace_back(cb.u_node, cb.v_node);
  return out;
}

// Times consecutive stages: lap() returns the seconds since the previous lap.
class StageClock {
 public:
  double lap() {
    const auto now = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return s;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Graphs whose soft-bond test takes the sparse factorizations (large, without
// recursion) keep their own split: eigenvalues beside the test, after the layout.
constexpr std::int64_t kTopologyBesideMaxNodes = 100;

analysis::GraphParams graph_params(const VifParams& params) {
  analysis::GraphParams gp;
  gp.target_bond_len = params.target_bond_len;
  gp.radius_ratio = params.radius_ratio;
  gp.bond_kappa = params.bond_kappa;
  return gp;
}

// Whether `laid_out` is `topological` with its nodes renumbered within atoms and kinds:
// the same nodes, and the same bond records in the same order, whose ends map node to
// node one-to-one, each onto a node of the same atom and kind. The edges inside atoms
// (the sigma cliques) are then the same too, and every bond edge is its record's.
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

// When the soft-bond test will take its counts from one decomposition with
// eigenvectors, or recursive fragmentation will (it tests every fragment against the
// whole molecule's decomposition), that decomposition, with the LPI read from it: the
// solver gives the same eigenvalues with or without eigenvectors. Otherwise null.
std::shared_ptr<const analysis::DeletionCounter> shared_decomposition(
    const analysis::OrbitalGraph& graph, const VifParams& params,
    analysis::SoftEdgeMethod method, analysis::LpiSignature& lpi) {
  if (!(params.recursive_ms && params.max_generations > 0) &&
      method != analysis::SoftEdgeMethod::Update)
    return nullptr;
  auto counter = std::make_shared<const analysis::DeletionCounter>(
      analysis::make_deletion_counter(graph.n_nodes(), graph.edges, kZeroTolerance));
  lpi.eigenvalues = counter->spectrum.eigenvalues;
  lpi.counts = analysis::count_signs(lpi.eigenvalues, kZeroTolerance);
  return counter;
}

// The LPI of the graph of the layout, and what it shares with the later tests.
void prepare_lpi(VifMolecule& m, const VifParams& params) {
  const int n = m.graph.n_nodes();
  const auto candidates = bond_candidates(m.graph);
  const auto method = analysis::soft_edge_method(n, static_cast<int>(candidates.size()));
  m.counter = shared_decomposition(m.graph, params, method, m.lpi);
  if (m.counter) return;
  if (method == analysis::SoftEdgeMethod::Factor) {
    // The eigenvalues and the sparse factorizations of the soft-bond test need nothing
    // from each other: the eigenvalues on a second thread, the test on this one against
    // the graph's own certified counts. Its verdicts stand when those counts are the
    // LPI's (always, as they are certified; otherwise fragment_vif tests again).
    // The helper owns a copy of the edges: after a stop request it is left to finish.
    auto eigen = start_detached([n, edges = m.graph.edges] {
      return analysis::compute_lpi(n, edges, kZeroTolerance);
    });
    StageClock soft_clock;
    analysis::SoftEdgeStats stats;
    auto verdicts = analysis::detect_soft_edges_own_lpi(n, m.graph.edges, candidates,
                                                        kZeroTolerance,
                                                        analysis::SoftEdgeMethod::Auto, &stats);
    m.seconds.soft_bonds = soft_clock.lap();
    m.lpi = wait_interruptibly(eigen);
    if (stats.baseline == m.lpi.counts) m.soft_verdicts = std::move(verdicts);
  } else {
    m.lpi = analysis::compute_lpi(n, m.graph.edges, kZeroTolerance);
  }
}

}  // namespace

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
    t->graph = analysis::build_orbital_graph(mol, line, t->bond_orders, graph_params(params));
    const int n = t->graph.n_nodes();
    const auto candidates = bond_candidates(t->graph);
    counter = shared_decomposition(
        t->graph, params, analysis::soft_edge_method(n, static_cast<int>(candidates.size())),
        t->lpi);
    if (!counter) t->lpi = analysis::compute_lpi(n, t->graph.edges, kZeroTolerance);
    t->lpi_seconds = clock.lap();
    t->verdicts = analysis::detect_soft_edges(n, t->graph.edges, candidates, t->lpi.counts,
                                              kZeroTolerance, nullptr, counter.get());
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
        mol, t->graph, params.max_generations, /*min_mz=*/25, /*ring_fragmentation=*/true,
        counter);
    r.seconds.recursive = clock.lap();
  }
  r.definite = t->definite && watch.unclear() == 0;
  r.total = t->lpi_seconds + t->soft_seconds + r.seconds.fragments + r.seconds.recursive;
  return r;
}

// The topology analysis running on a helper thread, stopped when the last holder of it
// lets it go.
class TopologyBeside {
 public:
  TopologyBeside(const RDKit::ROMol& mol, const VifParams& params)
      : stop_(std::make_shared<StopFlag>()) {
    auto ranks = std::make_shared<std::promise<std::vector<int>>>();
    ranks_ = ranks->get_future();
    auto first = std::make_shared<std::promise<std::shared_ptr<const TopologyFirst>>>();
    first_ = first->get_future();
    rest_ = start_detached([mol = std::make_shared<RDKit::RWMol>(mol), params, stop = stop_,
                            ranks, first] {
              // The layout's symmetry ranks first, as the layout will wait for them.
              ranks->set_value(layout::symmetry_classes(*mol));
              const StopScope scope(stop.get());
              return analyse_topology(*mol, params, *first);
            }).share();
  }
  ~TopologyBeside() { stop_->raise(); }
  TopologyBeside(const TopologyBeside&) = delete;
  TopologyBeside& operator=(const TopologyBeside&) = delete;

  // The molecule's symmetry ranks (symmetry_classes).
  std::vector<int> ranks() { return wait_interruptibly(ranks_); }
  // The first part; its exception, if it threw one; Interrupted on a stop request here.
  std::shared_ptr<const TopologyFirst> first() { return wait_interruptibly(first_); }
  // The predictions, likewise.
  TopologyRest rest() const {
    auto done = rest_;
    return wait_interruptibly(done);
  }

 private:
  std::shared_ptr<StopFlag> stop_;
  std::future<std::vector<int>> ranks_;
  std::future<std::shared_ptr<const TopologyFirst>> first_;
  std::shared_future<TopologyRest> rest_;
};

std::unique_ptr<VifMolecule> prepare_vif(const std::string& smiles, const VifParams& params) {
  StageClock clock;
  require_finite(params.target_bond_len, "target_bond_len");
  require_finite(params.radius_ratio, "radius_ratio");
  require_finite(params.bond_kappa, "bond_kappa");

  auto mol = prepare_molecule(smiles);
  if (!mol) return nullptr;
  const std::int64_t n_nodes = count_orbital_nodes(*mol);
  require_analysis_budget(n_nodes, params.max_analysis_bytes);
  std::shared_ptr<TopologyBeside> beside;
  if (params.beside_layout && (params.recursive_ms || n_nodes < kTopologyBesideMaxNodes))
    beside = std::make_shared<TopologyBeside>(*mol, params);
  auto m = std::make_unique<VifMolecule>();
  layout::LayoutParams lp;
  lp.n_iter = params.n_iter;
  lp.target_bond_len = params.target_bond_len;
  layout::Coords depiction = layout::depict(*mol);  // compute_atom_layout, in two timed parts
  m->seconds.prepare = clock.lap();
  std::optional<std::vector<int>> ranks;
  if (beside) ranks = beside->ranks();
  m->layout = layout::layout_from_depiction(*mol, std::move(depiction), lp, std::move(ranks));
  m->seconds.layout = clock.lap();
  check_interrupt();
  m->bond_orders = analysis::build_bond_orders(*mol);
  m->graph = analysis::build_orbital_graph(*mol, m->layout.coords, m->bond_orders,
                                           graph_params(params));
  m->seconds.graph = clock.lap();

  std::vector<int> all(mol->getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  m->mol_mass_avg = massspec::average_mass(*mol, all);
  m->mol_mass = massspec::nominal_mass(*mol, all);
  if (beside) {
    const auto t = beside->first();
    m->predictions_waited = clock.lap();
    if (t->definite && t->bond_orders == m->bond_orders &&
        same_graph_renumbered(t->graph, m->graph)) {
      m->lpi = t->lpi;
      m->soft_verdicts = t->verdicts;
      m->seconds.lpi = t->lpi_seconds;
      m->seconds.soft_bonds = t->soft_seconds;
      m->predictions = std::move(beside);
      m->predicted_for = {params.ring_fragmentation, params.recursive_ms, params.max_generations};
      m->mol = std::move(mol);
      return m;
    }
    beside.reset();  // stops the helper
  }
  prepare_lpi(*m, params);
  // The part of the stage the soft-bond test running beside it did not cover.
  m->seconds.lpi = std::max(0.0, clock.lap() - m->seconds.soft_bonds);
  m->mol = std::move(mol);
  return m;
}

VifFragments fragment_vif(const VifMolecule& m, const VifParams& params) {
  require_analysis_budget(m.graph.n_nodes(), params.max_analysis_bytes);
  StageClock clock;
  VifFragments out;
  out.seconds = m.seconds;
  const auto& bonds = m.graph.chem_bonds;
  const bool predicted = m.predictions && m.soft_verdicts &&
                         m.predicted_for.ring_fragmentation == params.ring_fragmentation &&
                         m.predicted_for.recursive_ms == params.recursive_ms &&
                         m.predicted_for.max_generations == params.max_generations;
  const auto verdicts =
      m.soft_verdicts ? *m.soft_verdicts
                      : analysis::detect_soft_edges(m.graph.n_nodes(), m.graph.edges,
                                                    bond_candidates(m.graph), m.lpi.counts,
                                                    kZeroTolerance, nullptr, m.counter.get());
  std::vector<analysis::ChemBond> softs;
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    if (verdicts[i] != analysis::SoftTest::Soft) continue;
    out.soft_bonds.push_back(static_cast<int>(i));
    softs.push_back(bonds[i]);
  }
  if (predicted) {
    TopologyRest rest = m.predictions->rest();
    const double waited = m.predictions_waited + clock.lap();
    out.seconds.fragments = rest.seconds.fragments;
    out.fragments = std::move(rest.fragments);
    if (rest.definite) {
      out.seconds.recursive = rest.seconds.recursive;
      out.recursive_peaks = std::move(rest.recursive_peaks);
      out.seconds.beside = std::max(0.0, rest.total - waited);
      return out;
    }
    // A count of the recursive fragmentation rested on an eigenvalue at the tolerance:
    // it is made again on the graph of the layout.
    out.seconds.beside = std::max(0.0, rest.total - rest.seconds.recursive - waited);
    if (params.recursive_ms) {
      out.recursive_peaks = massspec::predict_fragments_recursive(
          *m.mol, m.graph, params.max_generations, /*min_mz=*/25, /*ring_fragmentation=*/true);
      out.seconds.recursive = clock.lap();
    }
    return out;
  }
  out.seconds.soft_bonds = m.seconds.soft_bonds + clock.lap();
  out.fragments = massspec::predict_fragments(*m.mol, softs, params.ring_fragmentation);
  out.seconds.fragments = clock.lap();
  if (params.recursive_ms) {
    // The multi-generation prediction always opens rings, whatever the
    // single-generation setting is.
    out.recursive_peaks = massspec::predict_fragments_recursive(
        *m.mol, m.graph, params.max_generations, /*min_mz=*/25, /*ring_fragmentation=*/true,
        m.counter);
    out.seconds.recursive = clock.lap();
  }
  return out;
}

}  // namespace korvane::vif
