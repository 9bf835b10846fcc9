// The report text of one analysis: its head block and its tail block.
#include "korvane/vif/report.hpp"

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "korvane/common/numeric.hpp"

namespace korvane::vif {
namespace {

constexpr const char* kIndent = "      ";
constexpr const char* kSubIndent = "        ";

// "C6H5 (m/z=77)  +  Cl (m/z=35)"
std::string fragments_text(const massspec::FragmentCut& cut) {
  std::string s;
  for (std::size_t i = 0; i < cut.fragments.size(); ++i) {
    if (i) s += "  +  ";
    s += cut.fragments[i].formula + " (m/z=" + std::to_string(cut.fragments[i].mz) + ")";
  }
  return s;
}

template <typename It>
std::string join_list(It first, It last, const std::function<std::string(decltype(*first))>& f) {
  std::string s = "[";
  for (It it = first; it != last; ++it) {
    if (it != first) s += ", ";
    s += f(*it);
  }
  return s + "]";
}

}  // namespace

std::string float_list_text(const std::vector<double>& values, int decimals) {
  return join_list(values.begin(), values.end(), [decimals](const double& x) {
    return python_float_repr(round_decimals(x, decimals));
  });
}

std::string descending_list_text(std::vector<int> values) {
  std::sort(values.begin(), values.end(), std::greater<int>());
  return join_list(values.begin(), values.end(), [](const int& x) { return std::to_string(x); });
}

std::string report_head(const std::string& smiles, const VifMolecule& m) {
  const auto& c = m.lpi.counts;
  std::ostringstream os;
  os << "[VIF] " << smiles << "\n"
     << kIndent << "Molecular mass M = " << format_fixed(m.mol_mass_avg, 2)
     << " g/mol (avg)  (M+ peak m/z = " << m.mol_mass << " nominal)\n"
     << kIndent << "LPI = {n+=" << c.n_plus << ", n0=" << c.n_zero << ", n-=" << c.n_minus
     << "}  (" << (c.n_plus + c.n_zero + c.n_minus) << " orbitals total)\n"
     << kIndent << "Eigenvalues: " << float_list_text(m.lpi.eigenvalues);
  return os.str();
}

std::string report_tail(const VifFragments& f, const VifParams& params) {
  std::vector<const massspec::FragmentCut*> single, ringcut;
  int ring_bonds = 0;
  for (const auto& cut : f.fragments) {
    if (!cut.split)
      ++ring_bonds;
    else if (cut.mode == massspec::CutMode::Single)
      single.push_back(&cut);
    else
      ringcut.push_back(&cut);
  }

  std::ostringstream os;
  if (!f.soft_bonds.empty())
    os << kIndent << "Soft bonds: " << f.soft_bonds.size() << "  (" << single.size()
       << " single-cut fragment(s) + " << ring_bonds << " ring bond(s))";
  else
    os << kIndent << "Soft bonds: none (all bonds essential \u2192 stable M+ dominates)";

  std::set<int> mz_peaks;
  if (!single.empty()) {
    os << "\n" << kIndent << "Single-cut MS fragments (m/z):";
    for (const auto* cut : single) {
      os << "\n" << kSubIndent << "if " << cut->bond << " cleaves:  " << fragments_text(*cut);
      for (const auto& fr : cut->fragments) mz_peaks.insert(fr.mz);
    }
  }
  if (!ringcut.empty()) {
    os << "\n"
       << kIndent << "Ring double-cut fragments (" << ringcut.size()
       << " possible cleavages \u2014 not all may be observed):";
    for (const auto* cut : ringcut) {
      os << "\n" << kSubIndent << cut->bond << ":  " << fragments_text(*cut);
      for (const auto& fr : cut->fragments) mz_peaks.insert(fr.mz);
    }
  }
  if (!mz_peaks.empty())
    os << "\n"
       << kIndent << "Expected peak m/z list: "
       << descending_list_text(std::vector<int>(mz_peaks.begin(), mz_peaks.end()));
  else
    os << "\n" << kIndent << "No real fragments \u2192 M+ dominates, single peak";

  if (f.recursive_peaks && !f.recursive_peaks->empty()) {
    std::vector<int> mzs;
    for (const auto& p : *f.recursive_peaks) mzs.push_back(p.mz);
    os << "\n"
       << kIndent << "Multi-generation MS (" << params.max_generations << " generations, "
       << mzs.size() << " peaks):\n"
       << kSubIndent << "m/z list: " << descending_list_text(mzs);
  }
  return os.str();
}

}  // namespace korvane::vif
