// The public entry korvane::analyze: the staged analysis of vif/, copied into the plain
// data of korvane/korvane.hpp.
#include "korvane/korvane.hpp"

#include <utility>

#include "korvane/vif/fragment_structures.hpp"
#include "korvane/vif/report.hpp"
#include "korvane/vif/vif_run.hpp"

namespace korvane {

namespace {

FragmentPiece piece_of(const massspec::Fragment& f, vif::FragmentStructure s) {
  return {f.formula, f.mass, f.mz, std::move(s.atoms), std::move(s.smiles)};
}

}  // namespace

std::optional<Analysis> analyze(const std::string& smiles, const AnalysisParams& params) {
  const vif::VifParams& p = params;  // the stages take the public parameters as they are
  const auto m = vif::prepare_vif(smiles, p);
  if (!m) return std::nullopt;
  const vif::VifFragments f = vif::fragment_vif(*m, p);
  vif::FragmentStructures structures = vif::fragment_structures(*m, f);

  Analysis a;
  a.n_atoms = static_cast<int>(m->mol->getNumAtoms());
  a.n_plus = m->lpi.counts.n_plus;
  a.n_zero = m->lpi.counts.n_zero;
  a.n_minus = m->lpi.counts.n_minus;
  a.eigenvalues = m->lpi.eigenvalues;
  a.mol_mass = m->mol_mass;
  a.mol_mass_avg = m->mol_mass_avg;
  for (const auto& cb : m->graph.chem_bonds)
    a.chem_bonds.push_back({cb.u_node, cb.v_node, cb.atom_u, cb.atom_v, cb.sym_u, cb.sym_v,
                            cb.order, cb.k});
  a.soft_bonds = f.soft_bonds;
  for (std::size_t i = 0; i < f.fragments.size(); ++i) {
    const auto& cut = f.fragments[i];
    FragmentCutRecord r{cut.bond, cut.split, massspec::cut_mode_name(cut.mode), {}};
    for (std::size_t k = 0; k < cut.fragments.size(); ++k)
      r.pieces.push_back(piece_of(cut.fragments[k], std::move(structures.cuts[i][k])));
    a.fragments.push_back(std::move(r));
  }
  if (f.recursive_peaks) {
    auto& peaks = a.recursive_peaks.emplace();
    for (std::size_t i = 0; i < f.recursive_peaks->size(); ++i) {
      const auto& peak = (*f.recursive_peaks)[i];
      auto& s = (*structures.peaks)[i];
      peaks.push_back({peak.mz, peak.formula, peak.generation, std::move(s.fragment.atoms),
                       std::move(s.fragment.smiles), std::move(s.parent_atoms),
                       std::move(s.cut_path)});
    }
  }
  a.report = vif::report_head(smiles, *m) + "\n" + vif::report_tail(f, p);
  return a;
}

}  // namespace korvane
