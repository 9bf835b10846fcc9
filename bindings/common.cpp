// Bindings of the shared numeric conventions, the element table and the default memory
// budget; the interrupt hook and the exception translators the other bindings share.
#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "korvane/common/elements.hpp"
#include "korvane/common/inchi.hpp"
#include "korvane/common/interrupt.hpp"
#include "korvane/common/limits.hpp"
#include "korvane/common/numeric.hpp"

namespace korvane::bindings {

namespace {

std::atomic<unsigned long> g_main_thread{0};

// Python runs signal handlers on its main thread only: other threads answer at once,
// without waiting for the GIL, so that polling costs them nothing.
bool python_signal_pending() {
  if (PyThread_get_thread_ident() != g_main_thread.load(std::memory_order_relaxed)) return false;
  py::gil_scoped_acquire gil;  // the analyses run with the GIL released
  return PyErr_CheckSignals() != 0;
}

}  // namespace

void install_interrupt_hook() {
  const py::object main = py::module_::import("threading").attr("main_thread")();
  g_main_thread.store(main.attr("ident").cast<unsigned long>(), std::memory_order_relaxed);
  set_interrupt_hook(&python_signal_pending);
}

void register_translators() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Interrupted&) {
      // The handler's own exception is already set; a hook set by other code may not.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const AnalysisTooLarge& e) {
      const std::string msg = std::string(e.what()) +
                              "; raise korvane.MAX_ANALYSIS_BYTES to allow it";
      PyErr_SetString(PyExc_MemoryError, msg.c_str());
    }
  });
}

void bind_common(py::module_& m) {
  m.def("is_smiles_text", &is_smiles_text, py::arg("smiles"),
        "Whether the text can be a SMILES: ASCII without NUL.");
  m.def("element_period", &element_period, py::arg("symbol"),
        "Period of the element with this symbol; ValueError for an unknown symbol.");
  // The four numeric conventions below are bound for the tests only, which check them
  // against Python's repr, format, round and NumPy's round on thousands of values.
  m.def("python_float_repr", &python_float_repr, py::arg("x"),
        "Shortest round-trip text of a float, as repr writes it.");
  m.def("format_fixed", &format_fixed, py::arg("x"), py::arg("decimals"),
        "Fixed-point text with this many decimals, correctly rounded.");
  m.def("round_nearest_decimal", &round_nearest_decimal, py::arg("x"), py::arg("decimals"),
        "Rounds to decimals places as Python's round does.");
  m.def("round_decimals", &round_decimals, py::arg("x"), py::arg("decimals"),
        "Rounds to decimals places, halves to even, as NumPy's round.");
  m.def(
      "standard_inchi",
      [](const py::bytes& mol_pickle) -> std::optional<std::pair<std::string, std::string>> {
        const auto r = standard_inchi(*mol_from_bytes(mol_pickle));
        if (!r) return std::nullopt;
        return std::pair{r->inchi, r->key};
      },
      py::arg("mol_pickle"),
      "(InChI, InChIKey) of the molecule, or None where they cannot be made (stereochemistry).");
  m.attr("DEFAULT_MAX_ANALYSIS_BYTES") = kDefaultMaxAnalysisBytes;
}

}  // namespace korvane::bindings
