// Prints korvane's report of a molecule, then its recursive peaks with the SMILES and
// the path of cuts of the fragment behind each.
#include <korvane/korvane.hpp>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " SMILES\n";
    return 2;
  }
  korvane::AnalysisParams params;
  params.recursive_ms = true;
  const auto analysis = korvane::analyze(argv[1], params);
  if (!analysis) {
    std::cerr << "cannot parse " << argv[1] << "\n";
    return 1;
  }
  std::cout << analysis->report << "\n";
  for (const auto& peak : *analysis->recursive_peaks) {
    std::cout << "m/z " << peak.mz << "  " << peak.formula << "  " << peak.smiles;
    for (const auto& cut : peak.cut_path) std::cout << "  / " << cut;
    std::cout << "\n";
  }
  return 0;
}
