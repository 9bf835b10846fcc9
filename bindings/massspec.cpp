// Bindings of the mass-spectrum subsystem.
#include "bindings.hpp"

namespace korvane::bindings {

void bind_massspec(py::module_& m) { (void)m; }

}  // namespace korvane::bindings
