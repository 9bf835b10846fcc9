// korvane._core: the compiled core; the Python package decides what is public.
#include "bindings.hpp"
#include "korvane/common/version.hpp"

PYBIND11_MODULE(_core, m) {
  m.doc() = "korvane's C++ core: orbital graphs, LPI, soft bonds, layout, mass spectra";
  m.attr("__version__") = KORVANE_VERSION;
  korvane::bindings::bind_common(m);
  korvane::bindings::bind_layout(m);
  korvane::bindings::bind_analysis(m);
  korvane::bindings::bind_massspec(m);
  korvane::bindings::bind_vif(m);
  korvane::bindings::bind_spectra(m);
  korvane::bindings::bind_json_text(m);
  korvane::bindings::register_translators();
  korvane::bindings::install_interrupt_hook();
}
