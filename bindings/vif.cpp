// Bindings of the analysis entry: the staged run of one SMILES and its report.
#include "bindings.hpp"

namespace korvane::bindings {

void bind_vif(py::module_& m) { (void)m; }

}  // namespace korvane::bindings
