// Registration functions of the extension module korvane._core, one per subsystem,
// and the conversion helpers they share.
#pragma once
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "korvane/common/molecule.hpp"

namespace korvane::bindings {

namespace py = pybind11;

void bind_common(py::module_& m);    // common.cpp
void bind_analysis(py::module_& m);  // analysis.cpp
void bind_layout(py::module_& m);    // layout.cpp
void bind_massspec(py::module_& m);  // massspec.cpp
void bind_vif(py::module_& m);       // vif.cpp

// Molecules cross the boundary as RDKit's binary pickle (Python's Mol.ToBinary()).
inline std::unique_ptr<RDKit::RWMol> mol_from_bytes(const py::bytes& pickle) {
  return molecule_from_pickle(std::string(pickle));
}

}  // namespace korvane::bindings
