// Small helpers every extension shares: raising Python exceptions, printing
// through Python's print, and calling Python callables with ordered keywords.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace common {
namespace py = pybind11;

// Raises `type(msg)` as the pending Python exception and unwinds to the
// binding boundary, where pybind11 hands it back to the interpreter.
[[noreturn]] inline void raise(PyObject* type, const std::string& msg) {
  PyErr_SetString(type, msg.c_str());
  throw py::error_already_set();
}

[[noreturn]] inline void raise(py::handle type, const std::string& msg) {
  raise(type.ptr(), msg);
}

// Unwinds with whatever exception CPython has already set (after PyErr_Format
// or a failed C-API call).
[[noreturn]] inline void rethrow() { throw py::error_already_set(); }

// A new reference from the C API as an object; a null one rethrows.
inline py::object steal(PyObject* p) {
  if (!p) rethrow();
  return py::reinterpret_steal<py::object>(p);
}

// The interpreter's truth test, its errors propagated.
inline bool truthy(py::handle v) {
  const int r = PyObject_IsTrue(v.ptr());
  if (r < 0) rethrow();
  return r == 1;
}

inline py::object builtins_attr(const char* name) {
  return py::module_::import("builtins").attr(name);
}

// print(*args, **kwargs) through the interpreter's own print, so redirection,
// capture and tqdm.write-style patching all see the line.
template <class... Args>
void print(Args&&... args) {
  builtins_attr("print")(std::forward<Args>(args)...);
}

using Keyword = std::pair<const char*, py::object>;

// Keyword arguments in the order given (dicts keep insertion order, and the
// callee sees them in that order).
inline py::dict kwargs(std::initializer_list<Keyword> items) {
  py::dict out;
  for (const auto& kv : items) out[py::str(kv.first)] = kv.second;
  return out;
}

// fn(*positional, **keywords) with the keywords passed in the order listed.
inline py::object call(py::handle fn, py::tuple positional,
                       std::initializer_list<Keyword> keywords = {}) {
  PyObject* out = PyObject_Call(fn.ptr(), positional.ptr(), kwargs(keywords).ptr());
  if (!out) rethrow();
  return py::reinterpret_steal<py::object>(out);
}

inline py::object call(py::handle fn, std::initializer_list<Keyword> keywords) {
  return call(fn, py::tuple(), keywords);
}

// Full name of an object's type, as CPython's own messages print it.
inline const char* type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// The module `name` in the package of the module called `module_name`, as a
// one-level relative import finds it.
inline py::module_ sibling(const std::string& module_name, const char* name) {
  const std::string package = module_name.substr(0, module_name.rfind('.'));
  return py::module_::import((package + "." + name).c_str());
}

}  // namespace common
