// Compact JSON text of a batch record, byte for byte what Python's
// json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False) writes.
//
// A record holds a few thousand small integers (the atom lists of its peaks); the json
// module makes a Python string of each, which took a batch worker about a twentieth of
// its time per molecule. This writes them straight into one buffer. Anything the writer
// does not reproduce exactly (a value that is not None, a bool, str, int, float, list,
// tuple or dict with str keys; a float that is not finite; a str json would write with
// lone surrogates; nesting deeper than a record's) makes it answer None, and the caller
// lets the json module write the value or raise its error.
#include <Python.h>

#include <charconv>
#include <cmath>
#include <string>

#include "bindings.hpp"

namespace korvane::bindings {

namespace {

// A record nests five deep; a cycle or a deeper value is left to the json module, which
// reports a cycle as such.
constexpr int kMaxDepth = 32;

bool write_string(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {  // lone surrogates: no UTF-8 form
    PyErr_Clear();
    return false;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  // Bytes of multi-byte UTF-8 sequences are all >= 0x80: only ASCII needs escaping. The
  // text between escapes is appended in one piece.
  Py_ssize_t plain = 0;  // where the text not yet appended starts
  for (Py_ssize_t i = 0; i < size; ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8 + plain, static_cast<size_t>(i - plain));
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xf];
    }
  }
  out.append(utf8 + plain, static_cast<size_t>(size - plain));
  out += '"';
  return true;
}

bool write_repr(PyObject* repr, std::string& out) {  // takes the new reference
  if (repr == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(repr, &size);
  if (text != nullptr) out.append(text, static_cast<size_t>(size));
  Py_DECREF(repr);
  if (text == nullptr) PyErr_Clear();
  return text != nullptr;
}

bool write_value(PyObject* value, std::string& out, int depth) {
  if (depth > kMaxDepth) return false;
  if (value == Py_None) {
    out += "null";
  } else if (value == Py_True) {
    out += "true";
  } else if (value == Py_False) {
    out += "false";
  } else if (PyUnicode_Check(value)) {
    return write_string(value, out);
  } else if (PyLong_Check(value)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return write_repr(PyLong_Type.tp_repr(value), out);
    if (n == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
  } else if (PyFloat_Check(value)) {
    if (!std::isfinite(PyFloat_AS_DOUBLE(value))) return false;  // json raises
    return write_repr(PyFloat_Type.tp_repr(value), out);           // repr, as json writes
  } else if (PyList_Check(value) || PyTuple_Check(value)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    out += '[';
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i) out += ',';
      if (!write_value(items[i], out, depth + 1)) return false;
    }
    out += ']';
  } else if (PyDict_CheckExact(value)) {  // a subclass's items() may differ
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t pos = 0;
    bool first = true;
    out += '{';
    while (PyDict_Next(value, &pos, &key, &item)) {
      if (!PyUnicode_Check(key)) return false;  // json writes such keys its own way
      if (!first) out += ',';
      first = false;
      if (!write_string(key, out)) return false;
      out += ':';
      if (!write_value(item, out, depth + 1)) return false;
    }
    out += '}';
  } else {
    return false;
  }
  return true;
}

}  // namespace

void bind_json_text(py::module_& m) {
  m.def(
      "json_text",
      [](const py::handle& value) -> py::object {
        std::string out;
        out.reserve(16384);
        if (!write_value(value.ptr(), out, 0)) return py::none();
        PyObject* text =
            PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
        if (text == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(text);
      },
      py::arg("value"),
      "Compact JSON of a record, as json.dumps(value, ensure_ascii=False, "
      "separators=(',', ':'), allow_nan=False) writes it; None where only json can say.");
}

}  // namespace korvane::bindings
