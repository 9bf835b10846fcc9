// Predicted relative intensities from counted fragment sources.
#include "korvane/massspec/predicted_spectrum.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>

#include "korvane/massspec/masses.hpp"

namespace korvane::massspec {

FragmentSources fragment_sources(const RDKit::ROMol& mol, const std::vector<FragmentCut>& cuts,
                                 const std::vector<Peak>& recursive_peaks) {
  std::vector<int> all(mol.getNumAtoms());
  std::iota(all.begin(), all.end(), 0);
  FragmentSources out;
  out.nominal_mass = nominal_mass(mol, all);
  out.isotopes = isotope_envelope(mol);

  std::map<int, SourceCounts> by_mz;
  const auto at = [&](int mz) -> SourceCounts* {
    if (mz >= out.nominal_mass || mz < 0) return nullptr;
    SourceCounts& c = by_mz[mz];
    c.mz = mz;
    return &c;
  };
  const AtomGraph graph = build_atom_graph(mol, all);
  const bool connected = components_without(graph, {}).size() == 1;
  if (connected) {
    const AtomMasses masses(mol);
    for (const auto& bond : graph.bonds) {
      const auto pieces = components_without(graph, {bond});
      if (pieces.size() != 2) continue;
      for (const auto& piece : pieces)
        if (auto* c = at(masses.nominal(piece))) ++c->cut_pieces;
    }
  }
  for (const auto& cut : cuts) {
    if (!cut.split) continue;
    for (const auto& f : cut.fragments) {
      auto* c = at(f.mz);
      if (c == nullptr) continue;
      if (cut.mode == CutMode::Ring)
        ++c->ring;
      else
        ++c->soft_single;
    }
  }
  for (const auto& p : recursive_peaks) {
    if (p.generation == 0) continue;
    auto* c = at(p.mz);
    if (c == nullptr) continue;
    if (p.generation == 1)
      c->generation1 = 1;
    else
      c->generation2 = 1;
  }
  for (const auto& [mz, c] : by_mz) out.counts.push_back(c);
  return out;
}

std::vector<NominalPeak> predicted_spectrum(const FragmentSources& sources,
                                            const SpectrumWeights& w) {
  for (double x : {w.cut_piece, w.cut_repeat, w.soft_single, w.ring, w.generation1,
                   w.generation2, w.molecular_ion})
    if (!std::isfinite(x) || x < 0.0)
      throw std::invalid_argument("spectrum weights must be finite and not negative");
  std::vector<NominalPeak> out;
  for (const auto& c : sources.counts) {
    const double cuts = c.cut_pieces > 0 ? w.cut_piece + w.cut_repeat * (c.cut_pieces - 1) : 0.0;
    const double sum = cuts + w.soft_single * c.soft_single +
                       w.ring * c.ring + w.generation1 * c.generation1 +
                       w.generation2 * c.generation2;
    if (sum > 0.0) out.push_back({c.mz, sum});
  }
  if (w.molecular_ion > 0.0) {
    out.push_back({sources.nominal_mass, w.molecular_ion});
    for (int k = 1; k <= kIsotopePeaks; ++k) {
      const double r = sources.isotopes[static_cast<std::size_t>(k - 1)];
      if (r > 0.0) out.push_back({sources.nominal_mass + k, w.molecular_ion * r});
    }
  }
  double base = 0.0;
  for (const auto& p : out) base = std::max(base, p.intensity);
  for (auto& p : out) p.intensity *= 999.0 / base;
  return out;
}

}  // namespace korvane::massspec
