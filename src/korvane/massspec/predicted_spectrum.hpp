// Predicted relative intensities of an EI spectrum: per nominal m/z, the weighted count
// of the fragment sources that reach it, with the molecular ion and its isotope envelope.
#pragma once
#include <GraphMol/ROMol.h>

#include <array>
#include <vector>

#include "korvane/massspec/fragments.hpp"            // FragmentCut
#include "korvane/massspec/fragments_recursive.hpp"  // Peak
#include "korvane/massspec/isotopes.hpp"
#include "korvane/massspec/spectrum_match.hpp"  // NominalPeak

namespace korvane::massspec {

// How many fragments of each kind reach one nominal m/z.
struct SourceCounts {
  int mz = 0;
  int cut_pieces = 0;   // pieces of the bonds whose removal splits the molecule (every bond)
  int soft_single = 0;  // pieces of soft single cuts
  int ring = 0;         // pieces of soft ring cuts
  int generation1 = 0;  // 1 when the recursive peak at this m/z is of the first generation
  int generation2 = 0;  // 1 when it is of a later generation
};

// Everything a predicted spectrum is made from.
struct FragmentSources {
  int nominal_mass = 0;
  std::array<double, kIsotopePeaks> isotopes{};  // M+1 .. M+4 relative to M
  std::vector<SourceCounts> counts;               // ascending m/z, below nominal_mass
};

// The weight each source adds to the m/z it reaches. The defaults are the values that
// bench/identification.py chose by a coordinate search over a grid on 728 measured
// spectra outside the shipped set (started from 1, 0, 2, 0.5, 0.5, 0).
struct SpectrumWeights {
  // An m/z that some piece of a splitting cut reaches gets cut_piece once, and
  // cut_repeat for each further such piece (C-H cuts put as many pieces at M-1 as the
  // molecule has hydrogens).
  double cut_piece = 1.0;
  double cut_repeat = 0.0;
  double soft_single = 1.0;   // per piece of a soft single cut
  double ring = 0.25;         // per piece of a soft ring cut
  double generation1 = 0.25;  // a recursive peak of the first generation
  double generation2 = 0.0;   // a recursive peak of a later generation
  // The molecular ion's weight; M+k gets it times the isotope ratio k.
  double molecular_ion = 2.0;
};

// Counts the sources of a molecule with explicit hydrogens: the pieces of every
// splitting bond cut (single_cut_mz's cuts, each piece counted), the split records of
// predict_fragments (single and ring cuts), and the recursive peaks of
// predict_fragments_recursive (generation 0, the molecule, is left out). Pieces at the
// molecule's nominal mass or above are not counted.
FragmentSources fragment_sources(const RDKit::ROMol& mol, const std::vector<FragmentCut>& cuts,
                                 const std::vector<Peak>& recursive_peaks);

// The predicted spectrum: per m/z the weighted sum of its sources (cut pieces as
// SpectrumWeights says, the other sources per count), M with molecular_ion
// and M+k with molecular_ion times the isotope ratio, scaled so that the highest is 999;
// ascending m/z, m/z of zero sum left out. Throws std::invalid_argument for a negative
// or non-finite weight.
std::vector<NominalPeak> predicted_spectrum(const FragmentSources& sources,
                                            const SpectrumWeights& weights = {});

}  // namespace korvane::massspec
