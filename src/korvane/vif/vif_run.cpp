#include "korvane/vif/vif_run.hpp"

#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/molecule.hpp"
#include "korvane/massspec/masses.hpp"

namespace korvane::vif {
namespace {

void require_finite(double x, const char* name) {
  if (!std::isfinite(x))
    throw std::invalid_argument(std::string(name) + " must be a finite number, got " +
                                std::to_string(x));
}

}  // namespace

std::unique_ptr<VifMolecule> prepare_vif(const std::string& smiles, const VifParams& params) {
  require_finite(params.target_bond_len, "target_bond_len");
  require_finite(params.radius_ratio, "radius_ratio");
  require_finite(params.bond_kappa, "bond_kappa");

  auto mol = prepare_molecule(smiles);
  if (!mol) return nullptr;
  auto m = std::make_unique<VifMolecule>();
  layout::LayoutParams lp;
  lp.n_iter = params.n_iter;
  lp.target_bond_len = params.target_bond_len;
  m->layout = layout::compute_atom_layout(*mol, lp);
  m->bond_orders = analysis::build_bond_orders(*mol);
  analysis::GraphParams gp;
  gp.target_bond_len = params.target_bond_len;
  gp.radius_ratio = params.radius_ratio;
  gp.bond_kappa = params.bond_kappa;
  m->graph = analysis::build_orbital_graph(*mol, m->layout.coords, m->bond_orders, gp);
  m->lpi = analysis::compute_lpi(m->graph.n_nodes(), m->graph.edges);

  std::vector<int> all(mol->getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  m->mol_mass_avg = massspec::average_mass(*mol, all);
  m->mol_mass = massspec::nominal_mass(*mol, all);
  m->mol = std::move(mol);
  return m;
}

VifFragments fragment_vif(const VifMolecule& m, const VifParams& params) {
  VifFragments out;
  const auto& bonds = m.graph.chem_bonds;
  std::vector<std::pair<int, int>> candidates;
  candidates.reserve(bonds.size());
  for (const auto& cb : bonds) candidates.emplace_back(cb.u_node, cb.v_node);
  const auto verdicts = analysis::detect_soft_edges(m.graph.n_nodes(), m.graph.edges, candidates,
                                                    m.lpi.counts);
  std::vector<analysis::ChemBond> softs;
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    if (verdicts[i] != analysis::SoftTest::Soft) continue;
    out.soft_bonds.push_back(static_cast<int>(i));
    softs.push_back(bonds[i]);
  }
  out.fragments = massspec::predict_fragments(*m.mol, softs, params.ring_fragmentation);
  if (params.recursive_ms) {
    // The multi-generation prediction always opens rings, whatever the
    // single-generation setting is.
    out.recursive_peaks = massspec::predict_fragments_recursive(
        *m.mol, m.graph, params.max_generations, /*min_mz=*/25, /*ring_fragmentation=*/true);
  }
  return out;
}

}  // namespace korvane::vif
