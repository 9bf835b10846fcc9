// Bindings of the comparison of predicted m/z values with measured spectra.
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "korvane/massspec/spectrum_match.hpp"

namespace korvane::bindings {

namespace {

using Peak = std::pair<int, double>;  // nominal m/z, intensity on the 0-999 scale

std::vector<massspec::NominalPeak> to_peaks(const std::vector<Peak>& peaks) {
  std::vector<massspec::NominalPeak> out;
  for (const auto& [mz, intensity] : peaks) out.push_back({mz, intensity});
  return out;
}

}  // namespace

void bind_spectra(py::module_& m) {
  using namespace massspec;
  py::class_<PredictionScores>(m, "PredictionScores")
      .def_readonly("recall_1", &PredictionScores::recall_1)
      .def_readonly("recall_exact", &PredictionScores::recall_exact)
      .def_readonly("distinct_mz", &PredictionScores::distinct_mz)
      .def_readonly("precision", &PredictionScores::precision)
      .def_readonly("chance_1", &PredictionScores::chance_1);
  m.def(
      "nominal_spectrum",
      [](const std::vector<double>& mz, const std::vector<double>& intensity) {
        std::vector<Peak> out;
        for (const auto& p : massspec::nominal_spectrum(mz, intensity))
          out.emplace_back(p.mz, p.intensity);
        return out;
      },
      py::arg("mz"), py::arg("intensity"),
      "[(nominal m/z, intensity scaled to a base peak of 999)] ascending by m/z");
  m.def(
      "score_prediction",
      [](const std::vector<Peak>& spectrum, int nominal_mass, const std::vector<int>& mz) {
        return massspec::score_prediction(to_peaks(spectrum), nominal_mass, mz);
      },
      py::arg("spectrum"), py::arg("nominal_mass"), py::arg("predicted_mz"),
      "Recall, precision and chance scores of predicted m/z against a spectrum");
  m.def("match_peaks", &massspec::match_peaks, py::arg("measured_mz"),
        py::arg("predicted_mz"), py::arg("tolerance"),
        "Per measured m/z, the positions of the predicted m/z within tolerance of it");
  m.def("candidate_ranks", &massspec::candidate_ranks, py::arg("scores"),
        "Per (recall, precision) score, 1 + the number of others at least as good");
  m.def(
      "single_cut_mz",
      [](const py::bytes& mol) { return massspec::single_cut_mz(*mol_from_bytes(mol)); },
      py::arg("mol"), "Nominal masses of both pieces of every bond whose removal splits it");
}

}  // namespace korvane::bindings
