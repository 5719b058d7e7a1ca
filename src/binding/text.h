// Console lines built from Python values the way an f-string builds them
// from str(): the pieces are joined as Python strings, so any text survives
// (no round trip through UTF-8 std::string).
#pragma once

#include <pybind11/pybind11.h>

#include "binding/pyutil.h"

namespace common {
namespace py = pybind11;

namespace detail {
inline py::str text_piece(const char* s) { return py::str(s); }
inline py::str text_piece(py::handle v) { return py::str(v); }
}  // namespace detail

// str() of every piece, concatenated: text("a: ", 1, ...) needs handles, so
// numbers are passed as Python objects.
template <class... Parts>
py::str text(const Parts&... parts) {
  py::list pieces;
  (pieces.append(detail::text_piece(parts)), ...);
  return py::str("").attr("join")(pieces);
}

// Raises `type` with the joined pieces as its message.
template <class... Parts>
[[noreturn]] void raise_text(PyObject* type, const Parts&... parts) {
  PyErr_SetObject(type, text(parts...).ptr());
  throw py::error_already_set();
}

// One print() call of the joined pieces.
template <class... Parts>
void say(const Parts&... parts) {
  common::print(text(parts...));
}

}  // namespace common
