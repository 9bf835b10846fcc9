// Bindings of the shared numeric conventions and the element table.
#include "bindings.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/common/numeric.hpp"

namespace korvane::bindings {

void bind_common(py::module_& m) {
  m.def("element_period", &element_period, py::arg("symbol"),
        "Period of the element with this symbol; ValueError for an unknown symbol.");
  m.def("python_float_repr", &python_float_repr, py::arg("x"),
        "Shortest round-trip text of a float, as repr writes it.");
  m.def("format_fixed", &format_fixed, py::arg("x"), py::arg("decimals"),
        "Fixed-point text with this many decimals, correctly rounded.");
  m.def("round_nearest_decimal", &round_nearest_decimal, py::arg("x"), py::arg("decimals"),
        "Rounds to decimals places as Python's round does.");
  m.def("round_decimals", &round_decimals, py::arg("x"), py::arg("decimals"),
        "Rounds to decimals places, halves to even, as NumPy's round.");
}

}  // namespace korvane::bindings
