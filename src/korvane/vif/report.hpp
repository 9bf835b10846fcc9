// The console report of one analysis, as text: a head block (masses, LPI,
// eigenvalues) and a tail block (soft bonds, fragments, peaks).
#pragma once
#include <string>
#include <vector>

#include "korvane/vif/vif_run.hpp"

namespace korvane::vif {

// Returns the head block, lines joined by "\n", without a final newline.
std::string report_head(const std::string& smiles, const VifMolecule& m);

// Returns the tail block, lines joined by "\n", without a final newline.
std::string report_tail(const VifFragments& f, const VifParams& params);

// Returns values rounded to 3 decimals (halves to even) written as a list of floats:
// "[-1.53, -1.328, -0.0, 3.0]".
std::string float_list_text(const std::vector<double>& values, int decimals = 3);

// Returns integers sorted descending, written as a list: "[77, 51]".
std::string descending_list_text(std::vector<int> values);

}  // namespace korvane::vif
