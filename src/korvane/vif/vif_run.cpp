// The stage pipeline of one analysis: preparation, layout, graph and LPI (prepare_vif),
// then soft bonds and fragments (fragment_vif), taking the results of the topology work
// beside the layout where they stand.
#include "korvane/vif/vif_run.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <utility>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/inertia.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/common/helper_threads.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/common/molecule.hpp"
#include "korvane/layout/depiction.hpp"
#include "korvane/massspec/masses.hpp"
#include "korvane/vif/stage_steps.hpp"
#include "korvane/vif/topology_beside.hpp"

namespace korvane::vif {
namespace {

// From this many characters on, parsing and adding hydrogens take a tenth of a second
// or more.
constexpr std::size_t kInterruptibleSmilesLength = 20000;

void require_finite(double x, const char* name) {
  if (!std::isfinite(x))
    throw std::invalid_argument(std::string(name) + " must be a finite number, got " +
                                std::to_string(x));
}

// The atoms and orbital nodes the analysis will have, counted on the molecule before its
// hydrogens are added (each hydrogen then becomes an atom of one node), so that an
// oversized molecule is refused before anything of its size is made. An unknown element
// counts one node here; the graph stage reports it.
MoleculeSize count_before_hydrogens(const RDKit::ROMol& mol) {
  MoleculeSize size;
  const std::int64_t hydrogen_nodes = analysis::orbital_node_count(element_period("H"));
  for (const RDKit::Atom* atom : mol.atoms()) {
    const std::string symbol = atom->getSymbol();
    const std::int64_t hydrogens = atom->getTotalNumHs();
    size.atoms += 1 + hydrogens;
    size.orbital_nodes +=
        (atomic_number_of(symbol) == 0 ? 1 : analysis::orbital_node_count(element_period(symbol))) +
        hydrogens * hydrogen_nodes;
  }
  return size;
}

// The molecule's average and nominal masses.
void set_masses(VifMolecule& m, const RDKit::ROMol& mol) {
  std::vector<int> all(mol.getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  m.mol_mass_avg = massspec::average_mass(mol, all);
  m.mol_mass = massspec::nominal_mass(mol, all);
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
    auto eigen = start_detached([n, edges = m.graph.edges, max_bytes = params.max_analysis_bytes] {
      return analysis::compute_lpi(n, edges, kZeroTolerance, max_bytes);
    });
    StageClock soft_clock;
    analysis::SoftEdgeStats stats;
    auto verdicts = analysis::detect_soft_edges_own_lpi(n, m.graph.edges, candidates,
                                                        kZeroTolerance,
                                                        analysis::SoftEdgeMethod::Auto, &stats,
                                                        params.max_analysis_bytes);
    m.seconds.soft_bonds = soft_clock.lap();
    m.lpi = wait_interruptibly(eigen);
    if (stats.baseline == m.lpi.counts) m.soft_verdicts = std::move(verdicts);
  } else {
    m.lpi = analysis::compute_lpi(n, m.graph.edges, kZeroTolerance, params.max_analysis_bytes);
  }
}

// Refuses parameters outside their ranges, before the molecule is read; returns the
// layout's parameters.
layout::LayoutParams checked_layout_params(const VifParams& params) {
  require_finite(params.target_bond_len, "target_bond_len");
  require_finite(params.radius_ratio, "radius_ratio");
  require_finite(params.bond_kappa, "bond_kappa");
  layout::LayoutParams lp;
  lp.n_iter = params.n_iter;
  lp.target_bond_len = params.target_bond_len;
  layout::check_layout_params(lp);
  return lp;
}

// The prepared molecule (null for an unparsable SMILES) and its size, the memory budget
// checked before the hydrogens are added. The preparation owns what it reads, so that
// a long SMILES (a million atoms take seconds to parse) can be prepared where a stop
// request leaves it behind.
std::pair<std::unique_ptr<RDKit::RWMol>, MoleculeSize> prepare_counted(
    const std::string& smiles, const VifParams& params) {
  const auto prepare = [smiles, recursive = params.recursive_ms,
                        limit = params.max_analysis_bytes] {
    MoleculeSize counted;
    auto prepared = prepare_molecule(smiles, [&](const RDKit::ROMol& heavy) {
      counted = count_before_hydrogens(heavy);
      require_analysis_budget(counted, recursive, limit);
    });
    return std::make_pair(std::move(prepared), counted);
  };
  return smiles.size() >= kInterruptibleSmilesLength ? run_interruptible(prepare) : prepare();
}

// Takes the topology work's LPI and soft-bond verdicts, with their seconds, as the
// molecule's, and its predictions for these parameters.
void adopt_topology(VifMolecule& m, const TopologyFirst& t, std::shared_ptr<TopologyBeside> beside,
                    const VifParams& params) {
  m.lpi = t.lpi;
  m.soft_verdicts = t.verdicts;
  m.seconds.lpi = t.lpi_seconds;
  m.seconds.soft_bonds = t.soft_seconds;
  m.predictions = std::move(beside);
  m.predicted_for = {params.ring_fragmentation, params.recursive_ms, params.max_generations};
}

}  // namespace

std::unique_ptr<VifMolecule> prepare_vif(const std::string& smiles, const VifParams& params) {
  StageClock clock;
  const layout::LayoutParams lp = checked_layout_params(params);
  auto prepared = prepare_counted(smiles, params);
  std::unique_ptr<RDKit::RWMol> mol = std::move(prepared.first);
  const MoleculeSize size = prepared.second;
  if (!mol) return nullptr;
  const std::int64_t n_nodes = size.orbital_nodes;
  std::shared_ptr<TopologyBeside> beside;
  std::shared_ptr<const TopologyFirst> known;  // the first part, when it ran on this thread
  auto m = std::make_unique<VifMolecule>();
  const bool topology_may_stand = params.recursive_ms || n_nodes < kTopologyBesideMaxNodes;
  if (!params.need_coordinates && topology_may_stand &&
      layout_leaves_graph(*mol, analysis::build_bond_orders(*mol))) {
    // No layout can change the graph: its analysis stands without one unless a count
    // rests on the tolerance, where the graph of the layout decides.
    beside = std::make_shared<TopologyBeside>(*mol, params, TopologyBeside::kHere);
    known = beside->first();
    const TopologyRest& rest = beside->rest_here();
    if (known->definite && rest.definite) {
      m->bond_orders = known->bond_orders;
      m->graph = known->graph;
      m->graph.pos.clear();  // the positions of the line the topology analysis used
      set_masses(*m, *mol);
      adopt_topology(*m, *known, std::move(beside), params);
      m->seconds.prepare = std::max(0.0, clock.lap() - rest.total);
      m->predictions_waited = rest.total;  // ran here: none of it beside anything
      m->mol = std::move(mol);
      return m;
    }
  } else if (params.beside_layout && topology_may_stand) {
    beside = std::make_shared<TopologyBeside>(*mol, params);
  }
  layout::Coords depiction = layout::depict(*mol);  // compute_atom_layout, in two timed parts
  m->seconds.prepare = clock.lap();
  std::optional<std::vector<int>> ranks;
  if (beside && !known) ranks = beside->ranks();
  m->layout = layout::layout_from_depiction(*mol, std::move(depiction), lp, std::move(ranks));
  m->seconds.layout = clock.lap();
  check_interrupt();
  m->bond_orders = analysis::build_bond_orders(*mol);
  m->graph = analysis::build_orbital_graph(*mol, m->layout.coords, m->bond_orders, params);
  m->seconds.graph = clock.lap();

  set_masses(*m, *mol);
  if (beside) {
    const auto t = known ? known : beside->first();
    m->predictions_waited = clock.lap();
    if (t->definite && t->bond_orders == m->bond_orders &&
        same_graph_renumbered(t->graph, m->graph)) {
      adopt_topology(*m, *t, std::move(beside), params);
      // The eigenvalues of the layout's own matrix, as NumPy computes them from the
      // result's graph; its counts are the helper's, which are clear of the tolerance.
      if (!same_edges(t->graph.edges, m->graph.edges))
        m->lpi.eigenvalues =
            analysis::compute_lpi(m->graph.n_nodes(), m->graph.edges, kZeroTolerance,
                                  params.max_analysis_bytes)
                .eigenvalues;
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

std::optional<std::uint64_t> analysis_memory_estimate(const std::string& smiles,
                                                      const VifParams& params) {
  const auto mol = parse_molecule(smiles);
  if (!mol) return std::nullopt;
  return analysis_peak_bytes(count_before_hydrogens(*mol), params.recursive_ms);
}

VifFragments fragment_vif(const VifMolecule& m, const VifParams& params) {
  require_analysis_budget(
      {static_cast<std::int64_t>(m.mol->getNumAtoms()), m.graph.n_nodes()},
      params.recursive_ms, params.max_analysis_bytes);
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
                                                    kZeroTolerance, nullptr, m.counter.get(),
                                                    params.max_analysis_bytes);
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
          *m.mol, m.graph, params.max_generations, massspec::kRecursiveMinMz,
          massspec::kRecursiveRingFragmentation, nullptr, params.max_analysis_bytes);
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
        *m.mol, m.graph, params.max_generations, massspec::kRecursiveMinMz,
        massspec::kRecursiveRingFragmentation, m.counter, params.max_analysis_bytes);
    out.seconds.recursive = clock.lap();
  }
  return out;
}

}  // namespace korvane::vif
