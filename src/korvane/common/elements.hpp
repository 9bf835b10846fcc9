// Element symbols and periodic-table periods for atomic numbers 1 to 118.
#pragma once
#include <string>

namespace korvane {

// Returns the period (row) of the element with this symbol ("H" -> 1, "Cl" -> 3).
// Throws std::invalid_argument naming the symbol when it is not an element of 1..118.
int element_period(const std::string& symbol);

// Returns the atomic number of the element with this symbol, or 0 when there is none.
int atomic_number_of(const std::string& symbol);

}  // namespace korvane
