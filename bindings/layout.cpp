// Bindings of the layout subsystem: atom layout, symmetry refinement, node directions.
#include "bindings.hpp"
#include "korvane/layout/angular_slots.hpp"

namespace korvane::bindings {

void bind_layout(py::module_& m) {
  m.def("yerlestir_dugumler", &layout::yerlestir_dugumler, py::arg("n_nodes"),
        py::arg("target_angles"), "Directions of n_nodes orbital nodes round an atom.");
  m.def("angle_diff", &layout::angle_diff, py::arg("a"), py::arg("b"),
        "Shortest angular distance between two directions, in [0, pi].");
}

}  // namespace korvane::bindings
