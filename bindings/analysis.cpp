// Bindings of the analysis subsystem: LPI and its zero tolerance, soft-bond test, bond
// orders, orbital graph.
#include <pybind11/numpy.h>

#include "bindings.hpp"
#include "korvane/analysis/bond_orders.hpp"
#include "korvane/analysis/lpi.hpp"
#include "korvane/analysis/orbital_graph.hpp"
#include "korvane/analysis/soft_bonds.hpp"
#include "korvane/common/limits.hpp"

namespace korvane::bindings {

namespace {

using Edge = std::tuple<int, int, double>;

std::vector<analysis::WeightedEdge> to_edges(const std::vector<Edge>& edges) {
  std::vector<analysis::WeightedEdge> out;
  out.reserve(edges.size());
  for (const auto& [u, v, w] : edges) out.push_back({u, v, w});
  return out;
}

// The verdicts as the integers Python reads: 0 absent, 1 essential, 2 soft.
std::vector<int> verdict_codes(const std::vector<analysis::SoftTest>& verdicts) {
  std::vector<int> out;
  out.reserve(verdicts.size());
  for (auto t : verdicts) out.push_back(static_cast<int>(t));
  return out;
}

// The verdict codes of the soft-edge test of the candidates against the baseline, by
// the analysis's choice of method or (Direct) by one decomposition per candidate.
template <bool Direct>
std::vector<int> soft_edge_verdicts(int n_nodes, const std::vector<Edge>& edges,
                                    const std::vector<std::pair<int, int>>& candidates,
                                    std::tuple<int, int, int> baseline, double tol,
                                    std::uint64_t budget) {
  const auto [np, nz, nm] = baseline;
  std::vector<analysis::SoftTest> r;
  {
    py::gil_scoped_release release;
    const auto e = to_edges(edges);
    r = Direct ? analysis::detect_soft_edges_direct(n_nodes, e, candidates, {np, nz, nm}, tol,
                                                    budget)
               : analysis::detect_soft_edges(n_nodes, e, candidates, {np, nz, nm}, tol, nullptr,
                                             nullptr, budget);
  }
  return verdict_codes(r);
}

}  // namespace

void bind_analysis(py::module_& m) {
  m.attr("ZERO_TOLERANCE") = analysis::kZeroTolerance;

  py::class_<analysis::LpiCounts>(m, "LpiCounts")
      .def_readonly("n_plus", &analysis::LpiCounts::n_plus)
      .def_readonly("n_zero", &analysis::LpiCounts::n_zero)
      .def_readonly("n_minus", &analysis::LpiCounts::n_minus);

  m.def(
      "compute_lpi",
      [](int n_nodes, const std::vector<Edge>& edges, double tol, std::uint64_t budget) {
        analysis::LpiSignature s;
        {
          py::gil_scoped_release release;
          s = analysis::compute_lpi(n_nodes, to_edges(edges), tol, budget);
        }
        return std::make_tuple(s.counts.n_plus, s.counts.n_zero, s.counts.n_minus,
                               py::array_t<double>(s.eigenvalues.size(), s.eigenvalues.data()));
      },
      py::arg("n_nodes"), py::arg("edges"), py::arg("tol"), budget_arg(),
      "(n+, n0, n-, ascending eigenvalues) of the graph on nodes 0..n-1 with (u, v, w) edges.");

  m.def("detect_soft_edges", &soft_edge_verdicts<false>,
        py::arg("n_nodes"), py::arg("edges"), py::arg("candidates"), py::arg("baseline"),
        py::arg("tol"), budget_arg(), "Per candidate pair: 0 absent, 1 essential, 2 soft.");

  // The methods of the soft-edge test side by side, and the test of parts against one
  // decomposition of the whole graph, for the differential tests and benchmarks only:
  // verdicts as above, with the update's (tested, fallbacks) counts.
  m.def("detect_soft_edges_direct", &soft_edge_verdicts<true>,
        py::arg("n_nodes"), py::arg("edges"), py::arg("candidates"), py::arg("baseline"),
        py::arg("tol"), budget_arg(),
        "Per candidate pair, one decomposition each: 0 absent, 1 essential, 2 soft.");
  m.def(
      "detect_soft_edges_fast",
      [](int n_nodes, const std::vector<Edge>& edges,
         const std::vector<std::pair<int, int>>& candidates,
         std::optional<std::tuple<int, int, int>> baseline, double tol,
         const std::string& method, std::uint64_t budget) {
        analysis::SoftEdgeMethod how;
        if (method == "update")
          how = analysis::SoftEdgeMethod::Update;
        else if (method == "factor")
          how = analysis::SoftEdgeMethod::Factor;
        else if (method == "auto")
          how = analysis::SoftEdgeMethod::Auto;
        else
          throw py::value_error("method must be 'update', 'factor' or 'auto', not '" + method +
                                "'");
        std::vector<analysis::SoftTest> r;
        analysis::SoftEdgeStats st;
        {
          py::gil_scoped_release release;
          const auto e = to_edges(edges);
          if (baseline) {
            const auto [np, nz, nm] = *baseline;
            r = analysis::detect_soft_edges_fast(n_nodes, e, candidates, {np, nz, nm}, tol, &st,
                                                 how, budget);
          } else {
            r = analysis::detect_soft_edges_own_lpi(n_nodes, e, candidates, tol, how, &st, budget);
          }
        }
        return std::make_tuple(verdict_codes(r), st.tested, st.fallbacks);
      },
      py::arg("n_nodes"), py::arg("edges"), py::arg("candidates"), py::arg("baseline"),
      py::arg("tol"), py::arg("method") = "update", budget_arg(),
      "(verdicts, tested, fallbacks) by the rank-2 update (method 'update'), sparse "
      "factorizations ('factor') or the analysis' choice ('auto'); baseline None: the "
      "graph's own.");
  m.def(
      "detect_soft_edges_in_parts",
      [](int n_nodes, const std::vector<Edge>& edges, const std::vector<std::vector<int>>& parts,
         const std::vector<std::pair<int, int>>& candidates, double tol,
         std::uint64_t budget) {
        std::vector<std::tuple<std::vector<int>, int, int>> out;
        py::gil_scoped_release release;
        const analysis::SoftEdgeContext whole(n_nodes, to_edges(edges), tol, budget);
        for (const auto& part : parts) {
          analysis::SoftEdgeStats st;
          auto v = verdict_codes(whole.detect_in_part(part, candidates, &st));
          out.emplace_back(std::move(v), st.tested, st.fallbacks);
        }
        return out;
      },
      py::arg("n_nodes"), py::arg("edges"), py::arg("parts"), py::arg("candidates"),
      py::arg("tol"), budget_arg(),
      "Per part (ascending node ids): (verdicts, tested, fallbacks) of the candidates inside "
      "the induced subgraph against its own LPI, from one decomposition of the whole graph.");

  m.def(
      "build_bond_orders",
      [](const py::bytes& pickle) { return analysis::build_bond_orders(*mol_from_bytes(pickle)); },
      py::arg("mol_pickle"), "Integer bond order per bond index.");
}

}  // namespace korvane::bindings
