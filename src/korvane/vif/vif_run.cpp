#include "korvane/vif/vif_run.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/inertia.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/common/interrupt.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/common/molecule.hpp"
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

}  // namespace

std::unique_ptr<VifMolecule> prepare_vif(const std::string& smiles, const VifParams& params) {
  StageClock clock;
  require_finite(params.target_bond_len, "target_bond_len");
  require_finite(params.radius_ratio, "radius_ratio");
  require_finite(params.bond_kappa, "bond_kappa");

  auto mol = prepare_molecule(smiles);
  if (!mol) return nullptr;
  require_analysis_budget(count_orbital_nodes(*mol), params.max_analysis_bytes);
  auto m = std::make_unique<VifMolecule>();
  layout::LayoutParams lp;
  lp.n_iter = params.n_iter;
  lp.target_bond_len = params.target_bond_len;
  layout::Coords depiction = layout::depict(*mol);  // compute_atom_layout, in two timed parts
  m->seconds.prepare = clock.lap();
  m->layout = layout::layout_from_depiction(*mol, std::move(depiction), lp);
  m->seconds.layout = clock.lap();
  check_interrupt();
  m->bond_orders = analysis::build_bond_orders(*mol);
  analysis::GraphParams gp;
  gp.target_bond_len = params.target_bond_len;
  gp.radius_ratio = params.radius_ratio;
  gp.bond_kappa = params.bond_kappa;
  m->graph = analysis::build_orbital_graph(*mol, m->layout.coords, m->bond_orders, gp);
  m->seconds.graph = clock.lap();
  // When the soft-bond test will take its counts from one decomposition with
  // eigenvectors, or recursive fragmentation will (it tests every fragment against the
  // whole molecule's decomposition), the LPI reads its eigenvalues from that
  // decomposition: the solver gives the same eigenvalues with or without eigenvectors.
  const bool fragments_share = params.recursive_ms && params.max_generations > 0;
  if (fragments_share ||
      analysis::soft_edge_method(m->graph.n_nodes(),
                                 static_cast<int>(m->graph.chem_bonds.size())) ==
          analysis::SoftEdgeMethod::Update) {
    m->counter = std::make_shared<const analysis::DeletionCounter>(
        analysis::make_deletion_counter(m->graph.n_nodes(), m->graph.edges, kZeroTolerance));
    m->lpi.eigenvalues = m->counter->spectrum.eigenvalues;
    m->lpi.counts = analysis::count_signs(m->lpi.eigenvalues, kZeroTolerance);
  } else if (const auto candidates = bond_candidates(m->graph);
             analysis::soft_edge_method(m->graph.n_nodes(), static_cast<int>(candidates.size())) ==
             analysis::SoftEdgeMethod::Factor) {
    // The eigenvalues and the sparse factorizations of the soft-bond test need nothing
    // from each other: the eigenvalues on a second thread, the test on this one against
    // the graph's own certified counts. Its verdicts stand when those counts are the
    // LPI's (always, as they are certified; otherwise fragment_vif tests again).
    // The helper owns a copy of the edges: after a stop request it is left to finish.
    auto eigen = start_detached([n = m->graph.n_nodes(), edges = m->graph.edges] {
      return analysis::compute_lpi(n, edges, kZeroTolerance);
    });
    StageClock soft_clock;
    analysis::SoftEdgeStats stats;
    auto verdicts = analysis::detect_soft_edges_own_lpi(m->graph.n_nodes(), m->graph.edges,
                                                        candidates, kZeroTolerance,
                                                        analysis::SoftEdgeMethod::Auto, &stats);
    m->seconds.soft_bonds = soft_clock.lap();
    m->lpi = wait_interruptibly(eigen);
    if (stats.baseline == m->lpi.counts) m->soft_verdicts = std::move(verdicts);
  } else {
    m->lpi = analysis::compute_lpi(m->graph.n_nodes(), m->graph.edges, kZeroTolerance);
  }

  std::vector<int> all(mol->getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  m->mol_mass_avg = massspec::average_mass(*mol, all);
  m->mol_mass = massspec::nominal_mass(*mol, all);
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
