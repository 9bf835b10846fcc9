// libFuzzer entry over the analysis of one SMILES: preparation, layout, orbital graph,
// LPI, soft bonds, single-generation fragments with ring cuts, recursive fragmentation
// and both report blocks. Besides the sanitizers' findings, a result that breaks an
// invariant of the analysis (non-finite numbers, counts that do not add up) aborts.
#include <RDGeneral/RDLog.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "korvane/common/limits.hpp"
#include "korvane/vif/report.hpp"
#include "korvane/vif/vif_run.hpp"

namespace {

// Molecules whose memory estimate exceeds that of this many atoms with this many orbital
// nodes are refused through the memory guard (so the guard's own path is fuzzed too):
// every soft-bond test is an eigen-decomposition, cubic in the nodes, and larger
// molecules would only slow the search down without reaching code that smaller ones do
// not. Fewer atoms with more nodes fit too, up to about 150 nodes of heavy atoms alone.
constexpr std::int64_t kMaxFuzzNodes = 80;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void check_result(const korvane::vif::VifMolecule& m, const korvane::vif::VifFragments& f) {
  const auto& lpi = m.lpi;
  const int n = m.graph.n_nodes();
  if (lpi.counts.n_plus + lpi.counts.n_zero + lpi.counts.n_minus != n)
    broken("LPI counts do not add up to the node count");
  if (static_cast<int>(lpi.eigenvalues.size()) != n) broken("one eigenvalue per node");
  for (std::size_t i = 0; i < lpi.eigenvalues.size(); ++i) {
    if (!std::isfinite(lpi.eigenvalues[i])) broken("non-finite eigenvalue");
    if (i > 0 && lpi.eigenvalues[i] < lpi.eigenvalues[i - 1]) broken("eigenvalues not ascending");
  }
  for (const auto& p : m.layout.coords)
    if (!std::isfinite(p[0]) || !std::isfinite(p[1])) broken("non-finite atom position");
  for (const auto& p : m.graph.pos)
    if (!std::isfinite(p[0]) || !std::isfinite(p[1])) broken("non-finite node position");
  for (int i : f.soft_bonds)
    if (i < 0 || i >= static_cast<int>(m.graph.chem_bonds.size())) broken("soft bond index");
  if (!f.recursive_peaks || f.recursive_peaks->empty()) broken("recursive peaks missing");
  if (f.recursive_peaks->front().mz != m.mol_mass) broken("first peak is not the molecule");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RDLog::InitLogs();
  boost::logging::disable_logs("rdApp.*");  // parse errors of every other input
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string smiles(reinterpret_cast<const char*>(data), size);
  korvane::vif::VifParams params;
  params.ring_fragmentation = true;
  params.recursive_ms = true;
  params.max_analysis_bytes = korvane::analysis_peak_bytes({kMaxFuzzNodes, kMaxFuzzNodes}, true);
  try {
    const auto m = korvane::vif::prepare_vif(smiles, params);
    if (!m) return 0;  // not a SMILES: an ordinary outcome
    const auto f = korvane::vif::fragment_vif(*m, params);
    check_result(*m, f);
    const std::string text = korvane::vif::report_head(smiles, *m) + "\n" +
                             korvane::vif::report_tail(f, params);
    if (text.empty()) broken("empty report");
  } catch (const std::invalid_argument&) {
    // Documented: an element without a period ("*", "[R]").
  } catch (const korvane::AnalysisTooLarge&) {
    // Documented: refused before any large allocation.
  }
  return 0;
}
