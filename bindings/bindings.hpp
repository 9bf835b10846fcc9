// Registration functions of the extension module korvane._core, one per subsystem,
// and the conversion helpers they share.
#pragma once
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "korvane/common/limits.hpp"
#include "korvane/common/molecule.hpp"

namespace korvane::bindings {

namespace py = pybind11;

void bind_common(py::module_& m);    // common.cpp
void bind_analysis(py::module_& m);  // analysis.cpp
void bind_layout(py::module_& m);    // layout.cpp
void bind_massspec(py::module_& m);  // massspec.cpp
void bind_vif(py::module_& m);       // vif.cpp
void bind_spectra(py::module_& m);   // spectra.cpp
void bind_json_text(py::module_& m);  // json_text.cpp

// Installs the core's interrupt hook (common.cpp): on Python's main thread it runs the
// pending signal handlers and stops the analysis when one raised (Ctrl-C's
// KeyboardInterrupt), that exception left set for the caller.
void install_interrupt_hook();

// Raises the core's Interrupted as the signal handler's exception (KeyboardInterrupt) and
// AnalysisTooLarge as MemoryError (common.cpp).
void register_translators();

// The memory-budget argument of the entries that build dense matrices: the caller passes
// the package's budget (korvane.MAX_ANALYSIS_BYTES); the core's default otherwise.
inline py::arg_v budget_arg() {
  return py::arg("max_analysis_bytes") = kDefaultMaxAnalysisBytes;
}

// Molecules cross the boundary as RDKit's binary pickle (Python's Mol.ToBinary()).
inline std::unique_ptr<RDKit::RWMol> mol_from_bytes(const py::bytes& pickle) {
  return molecule_from_pickle(std::string(pickle));
}

// Copies the pickle's bytes while the GIL is held, then releases it, unpickles the
// molecule and returns what `work` makes of it (a C++ value: no Python object may be
// made while the GIL is released).
template <class Work>
auto with_unpickled(const py::bytes& pickle, Work work) {
  const std::string bytes = pickle;
  py::gil_scoped_release release;
  return work(*molecule_from_pickle(bytes));
}

}  // namespace korvane::bindings
