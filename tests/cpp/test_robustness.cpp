// Robustness of the analysis entry: the memory budget, the interrupt hook, non-finite
// parameters, and the inputs the fuzzer once broke (fuzz/regressions).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/interrupt.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/layout/atom_layout.hpp"
#include "korvane/massspec/fragments_recursive.hpp"
#include "korvane/vif/report.hpp"
#include "korvane/vif/vif_run.hpp"

using namespace korvane;
using namespace korvane::vif;

namespace {

// Runs f, which must throw E; returns the message.
template <typename E, typename F>
std::string thrown_message(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected an exception";
  return {};
}

// Restores "no hook" whatever a test leaves installed.
class InterruptHookTest : public ::testing::Test {
 protected:
  void TearDown() override { set_interrupt_hook(nullptr); }
};

int g_polls = 0;
bool count_and_continue() { return ++g_polls, false; }
bool always_stop() { return ++g_polls, true; }

// Everything of an analysis that a caller reads, as text, to compare two runs.
std::string result_text(const std::string& smiles, const VifParams& p) {
  const auto m = prepare_vif(smiles, p);
  if (!m) return "unparsable";
  const auto f = fragment_vif(*m, p);
  std::ostringstream os;
  os.precision(17);
  os << report_head(smiles, *m) << '\n' << report_tail(f, p) << '\n';
  for (double ev : m->lpi.eigenvalues) os << ev << ' ';
  for (const auto& pt : m->graph.pos) os << pt[0] << ',' << pt[1] << ' ';
  for (const auto& peak : *f.recursive_peaks) os << peak.mz << peak.formula << peak.generation;
  return os.str();
}

VifParams full_params() {
  VifParams p;
  p.ring_fragmentation = true;
  p.recursive_ms = true;
  return p;
}

}  // namespace

TEST(AnalysisBudget, DenseBytesAreThreeMatricesOfDoublesAndSaturate) {
  EXPECT_EQ(dense_analysis_bytes(0), 0u);
  EXPECT_EQ(dense_analysis_bytes(-7), 0u);
  EXPECT_EQ(dense_analysis_bytes(1), 24u);
  EXPECT_EQ(dense_analysis_bytes(36002), 24ull * 36002 * 36002);
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(dense_analysis_bytes(std::int64_t{1} << 31), kMax);  // n*n fits, *24 does not
  EXPECT_EQ(dense_analysis_bytes(std::int64_t{1} << 32), kMax);  // n*n overflows
  EXPECT_EQ(dense_analysis_bytes(std::numeric_limits<std::int64_t>::max()), kMax);
}

TEST(AnalysisBudget, RefusesAboveTheLimitWithNodesAndBytes) {
  EXPECT_NO_THROW(require_analysis_budget(100, 240000));  // exactly the limit
  const std::string msg =
      thrown_message<AnalysisTooLarge>([] { require_analysis_budget(100, 239999); });
  EXPECT_NE(msg.find("100 orbital nodes"), std::string::npos) << msg;
  EXPECT_NE(msg.find("240000 bytes (234.4 KiB)"), std::string::npos) << msg;
  EXPECT_NE(msg.find("limit of 239999 bytes"), std::string::npos) << msg;
  const std::string big = thrown_message<AnalysisTooLarge>(
      [] { require_analysis_budget(36002, kDefaultMaxAnalysisBytes); });
  EXPECT_NE(big.find("31107456096 bytes (29.0 GiB)"), std::string::npos) << big;
  EXPECT_NE(big.find("4294967296 bytes (4.0 GiB)"), std::string::npos) << big;
}

TEST(AnalysisBudget, PrepareVifCountsTheAtomsAndNodesItWillBuild) {
  // Periods 1 to 5 and a charged, aromatic, bracketed mix: the counts made before the
  // hydrogens are added must be those of the molecule and graph built, so a budget of
  // exactly their estimate passes and one byte less fails.
  for (const std::string smiles : {"O", "[H][H]", "CCl", "[Fe]", "Br[Se]C", "C[Li]", "I",
                                   "c1ccc(cc1)[N+](=O)[O-]", "[2H]OC(=O)[13CH3]"}) {
    const auto ref = prepare_vif(smiles);
    ASSERT_TRUE(ref) << smiles;
    const MoleculeSize size{static_cast<std::int64_t>(ref->mol->getNumAtoms()),
                            ref->graph.n_nodes()};
    for (const bool recursive : {false, true}) {
      VifParams p;
      p.recursive_ms = recursive;
      p.max_analysis_bytes = analysis_peak_bytes(size, recursive);
      EXPECT_EQ(analysis_memory_estimate(smiles, p), p.max_analysis_bytes) << smiles;
      EXPECT_TRUE(prepare_vif(smiles, p)) << smiles;
      --p.max_analysis_bytes;
      const std::string msg = thrown_message<AnalysisTooLarge>([&] { prepare_vif(smiles, p); });
      EXPECT_NE(msg.find(std::to_string(size.atoms) + " atoms with " +
                         std::to_string(size.orbital_nodes) + " orbital nodes"),
                std::string::npos)
          << msg;
    }
  }
}

TEST(AnalysisBudget, LongPolyethyleneIsRefusedAtTheDefaultLimit) {
  // 6000 carbons and 12002 hydrogens: 36002 nodes, 29 GiB of dense matrices.
  const std::string msg =
      thrown_message<AnalysisTooLarge>([] { prepare_vif(std::string(6000, 'C')); });
  EXPECT_NE(msg.find("36002 orbital nodes"), std::string::npos) << msg;
}

TEST(AnalysisBudget, UnknownElementStillReportsItself) {
  // The estimate counts an unknown element as one node; the graph stage names it.
  const std::string msg = thrown_message<std::invalid_argument>([] { prepare_vif("*C"); });
  EXPECT_NE(msg.find("'*'"), std::string::npos) << msg;
}

TEST(AnalysisBudget, FragmentStageChecksItsOwnParameters) {
  const auto m = prepare_vif("CCO");
  ASSERT_TRUE(m);
  VifParams p;
  p.max_analysis_bytes = 100;
  EXPECT_THROW(fragment_vif(*m, p), AnalysisTooLarge);
}

TEST(AnalysisBudget, EveryLowerLevelEntryChecksTheBudgetItIsGiven) {
  // Acetyl chloride: 18 orbital nodes. A budget one byte short of them refuses every
  // dense entry at once; exactly enough lets each one run.
  const auto m = prepare_vif("CC(=O)Cl");
  ASSERT_TRUE(m);
  const auto& g = m->graph;
  const int n = g.n_nodes();
  std::vector<std::pair<int, int>> candidates;
  for (const auto& cb : g.chem_bonds) candidates.emplace_back(cb.u_node, cb.v_node);
  const auto baseline = m->lpi.counts;
  std::vector<int> atoms(m->mol->getNumAtoms());
  for (std::size_t i = 0; i < atoms.size(); ++i) atoms[i] = static_cast<int>(i);
  const std::vector<std::pair<std::string, std::function<void(std::uint64_t)>>> entries = {
      {"compute_lpi", [&](std::uint64_t b) { analysis::compute_lpi(n, g.edges, 1e-9, b); }},
      {"detect_soft_edges",
       [&](std::uint64_t b) {
         analysis::detect_soft_edges(n, g.edges, candidates, baseline, 1e-9, nullptr, nullptr, b);
       }},
      {"detect_soft_edges_direct",
       [&](std::uint64_t b) {
         analysis::detect_soft_edges_direct(n, g.edges, candidates, baseline, 1e-9, b);
       }},
      {"detect_soft_edges_fast",
       [&](std::uint64_t b) {
         analysis::detect_soft_edges_fast(n, g.edges, candidates, baseline, 1e-9, nullptr,
                                          analysis::SoftEdgeMethod::Factor, b);
       }},
      {"detect_soft_edges_own_lpi",
       [&](std::uint64_t b) {
         analysis::detect_soft_edges_own_lpi(n, g.edges, candidates, 1e-9,
                                             analysis::SoftEdgeMethod::Auto, nullptr, b);
       }},
      {"SoftEdgeContext",
       [&](std::uint64_t b) { analysis::SoftEdgeContext(n, g.edges, 1e-9, b); }},
      {"fragment_atom_softs",
       [&](std::uint64_t b) { massspec::fragment_atom_softs(g, atoms, 1e-9, nullptr, b); }},
      {"predict_fragments_recursive",
       [&](std::uint64_t b) {
         massspec::predict_fragments_recursive(*m->mol, g, 2, 25, true, nullptr, b);
       }},
  };
  for (const auto& [name, call] : entries) {
    EXPECT_THROW(call(dense_analysis_bytes(n) - 1), AnalysisTooLarge) << name;
    EXPECT_NO_THROW(call(dense_analysis_bytes(n))) << name;
  }
  // A fragment is held to its own nodes: a lone hydrogen has one.
  const int h = static_cast<int>(atoms.size()) - 1;
  EXPECT_TRUE(
      massspec::fragment_atom_softs(g, {h}, 1e-9, nullptr, dense_analysis_bytes(1)).empty());
}

TEST(NonFiniteParameters, AreRefusedByName) {
  const double bad[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (double x : bad) {
    for (const std::string name : {"target_bond_len", "radius_ratio", "bond_kappa"}) {
      VifParams p;
      if (name == "target_bond_len") p.target_bond_len = x;
      if (name == "radius_ratio") p.radius_ratio = x;
      if (name == "bond_kappa") p.bond_kappa = x;
      const std::string msg = thrown_message<std::invalid_argument>([&] { prepare_vif("CO", p); });
      EXPECT_EQ(msg.rfind(name + " must be a finite number", 0), 0u) << msg;
    }
  }
}

TEST_F(InterruptHookTest, SetReturnsThePreviousHook) {
  EXPECT_EQ(set_interrupt_hook(&count_and_continue), nullptr);
  EXPECT_EQ(set_interrupt_hook(&always_stop), &count_and_continue);
  EXPECT_EQ(set_interrupt_hook(nullptr), &always_stop);
}

TEST_F(InterruptHookTest, PollsAreRateLimited) {
  set_interrupt_hook(&count_and_continue);
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kInterruptPollMs));
  g_polls = 0;
  for (int i = 0; i < 1000; ++i) check_interrupt();
  EXPECT_GE(g_polls, 1);   // the first call after an interval polls
  EXPECT_LE(g_polls, 10);  // 1000 calls take far less than ten poll intervals
  g_polls = 0;
  for (int i = 0; i < 5; ++i) check_interrupt_now();
  EXPECT_EQ(g_polls, 5);
}

TEST_F(InterruptHookTest, HelperThreadsAnswerTheirStopFlagNotTheHook) {
  // A helper that has adopted a flag ignores the hook (which answers only on the thread
  // of the host's signal handlers) and stops once the flag is raised.
  set_interrupt_hook(&always_stop);
  StopFlag flag;
  std::promise<void> checked, raised;
  auto checked_future = checked.get_future();
  auto helper = std::async(std::launch::async, [&flag, &checked, wait = raised.get_future()] {
    const StopScope scope(&flag);
    check_interrupt_now();  // the hook would stop it; the flag does not yet
    checked.set_value();
    wait.wait();
    try {
      check_interrupt();
    } catch (const Interrupted&) {
      return true;
    }
    return false;
  });
  checked_future.wait();
  flag.raise();
  raised.set_value();
  EXPECT_TRUE(helper.get());
  EXPECT_THROW(check_interrupt_now(), Interrupted);  // this thread still polls the hook
}

TEST_F(InterruptHookTest, StopsEachLongStageAndLeavesLaterRunsUnchanged) {
  const std::string smiles = "CC(=O)Oc1ccccc1C(=O)O";
  const std::string reference = result_text(smiles, full_params());

  // A hook that never asks to stop changes nothing.
  set_interrupt_hook(&count_and_continue);
  EXPECT_EQ(result_text(smiles, full_params()), reference);

  // One that always asks stops the first stage (at the layout) and the second on its own
  // (at the soft-bond tests, when the first left them to it). check_interrupt polls only
  // once the poll interval since this thread's last poll has passed.
  VifParams in_turn = full_params();
  in_turn.beside_layout = false;
  const auto m = prepare_vif(smiles, in_turn);
  ASSERT_TRUE(m);
  set_interrupt_hook(&always_stop);
  const auto interval = std::chrono::milliseconds(2 * kInterruptPollMs);
  std::this_thread::sleep_for(interval);
  EXPECT_THROW(prepare_vif(smiles, full_params()), Interrupted);
  std::this_thread::sleep_for(interval);
  EXPECT_THROW(fragment_vif(*m, in_turn), Interrupted);
  // Each long loop polls on its own: the layout iterations, the soft-bond candidates
  // and the queue of recursive fragmentation.
  std::this_thread::sleep_for(interval);
  EXPECT_THROW(layout::compute_atom_layout(*m->mol), Interrupted);
  std::this_thread::sleep_for(interval);
  EXPECT_THROW(analysis::detect_soft_edges(m->graph.n_nodes(), m->graph.edges, {{0, 1}},
                                           m->lpi.counts),
               Interrupted);
  std::this_thread::sleep_for(interval);
  EXPECT_THROW(massspec::visit_fragments(*m->mol, m->graph, 2, 25, true), Interrupted);
  set_interrupt_hook(nullptr);
  EXPECT_EQ(result_text(smiles, full_params()), reference);
}

TEST(FuzzRegressions, EveryInputRunsToAResultOrADocumentedError) {
  const std::filesystem::path dir =
      std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "regressions";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file()) files.push_back(entry.path());
  ASSERT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::string smiles{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    VifParams p = full_params();
    p.max_analysis_bytes = analysis_peak_bytes({80, 80}, true);  // the fuzzer's own bound
    try {
      const auto m = prepare_vif(smiles, p);
      if (!m) continue;
      const auto f = fragment_vif(*m, p);
      const auto& c = m->lpi.counts;
      EXPECT_EQ(c.n_plus + c.n_zero + c.n_minus, m->graph.n_nodes());
      for (double ev : m->lpi.eigenvalues) EXPECT_TRUE(std::isfinite(ev));
      for (const auto& pt : m->layout.coords)
        EXPECT_TRUE(std::isfinite(pt[0]) && std::isfinite(pt[1]));
      ASSERT_TRUE(f.recursive_peaks.has_value());
      EXPECT_EQ(f.recursive_peaks->front().mz, m->mol_mass);
    } catch (const std::invalid_argument&) {
    } catch (const AnalysisTooLarge&) {
    }
  }
}
