// Small helpers every extension shares: raising Python exceptions, printing
// through Python's print, calling Python callables with ordered keywords, the
// interpreter's operators on values, `with`, and a module's imports.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
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

[[noreturn]] inline void raise(py::handle type, const std::string& msg) { raise(type.ptr(), msg); }

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

// ---- the interpreter's operators on values ----------------------------------

// `a <op> b` for a rich comparison op (Py_LT, Py_EQ, ...), its errors propagated.
inline bool compare(py::handle a, py::handle b, int op) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) rethrow();
  return r == 1;
}

// The binary operators, with the interpreter's own results and errors
// (ZeroDivisionError texts included).
inline py::object add(py::handle a, py::handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }
inline py::object sub(py::handle a, py::handle b) {
  return steal(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
  return steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object div(py::handle a, py::handle b) {
  return steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
inline py::object mod(py::handle a, py::handle b) {
  return steal(PyNumber_Remainder(a.ptr(), b.ptr()));
}
inline py::object floor_div(py::handle a, py::handle b) {
  return steal(PyNumber_FloorDivide(a.ptr(), b.ptr()));
}

// `element in container`
inline bool contains(py::handle container, py::handle element) {
  const int r = PySequence_Contains(container.ptr(), element.ptr());
  if (r < 0) rethrow();
  return r == 1;
}

// operator.index(v) as a C++ integer; one out of range raises OverflowError.
inline int64_t index_of(py::handle v) {
  py::object i = steal(PyNumber_Index(v.ptr()));
  const long long out = PyLong_AsLongLong(i.ptr());
  if (out == -1 && PyErr_Occurred()) rethrow();
  return out;
}

// ---- mappings -------------------------------------------------------------------

// mapping[key], with the mapping's own errors.
inline py::object item(py::handle mapping, const char* key) {
  return steal(PyObject_GetItem(mapping.ptr(), py::str(key).ptr()));
}

// mapping.get(key, fallback), for any mapping that offers it.
inline py::object get(py::handle mapping, const char* key, py::object fallback) {
  return mapping.attr("get")(key, std::move(fallback));
}

// ---- with ----------------------------------------------------------------------

inline py::object or_none(const py::object& o) { return o ? o : py::none(); }

// `with ctx: body()`: __exit__ sees the exception that leaves the body (None
// for a part it lacks, such as the traceback of an error raised natively
// before any Python frame saw it); the contexts used never suppress one.
template <class Body>
void within(const py::object& ctx, Body&& body) {
  ctx.attr("__enter__")();
  try {
    body();
  } catch (py::error_already_set& e) {
    ctx.attr("__exit__")(or_none(e.type()), or_none(e.value()), or_none(e.trace()));
    throw;
  } catch (...) {
    ctx.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  ctx.attr("__exit__")(py::none(), py::none(), py::none());
}

// ---- a module's imports ----------------------------------------------------------

// A module's own globals, looked up at each use so that a patch takes effect.
struct Globals {
  const char* module;
  py::object operator()(const char* name) const { return py::module_::import(module).attr(name); }
};

// The class of `name` in an already imported or importable module.
inline py::object import_attr(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

// The module `name` as a relative import from the module called
// `module_name` finds it: `from .name` at levels 1, `from ..name` at 2.
inline py::module_ relative(const std::string& module_name, const char* name, int levels = 1) {
  std::string package = module_name;
  for (int i = 0; i < levels; ++i) package = package.substr(0, package.rfind('.'));
  return py::module_::import((package + "." + name).c_str());
}

// `from <module> import <names>` into m's globals.
inline void import_into(py::module_& m, const char* module,
                        std::initializer_list<const char*> names) {
  py::module_ from = py::module_::import(module);
  for (const char* name : names) m.attr(name) = from.attr(name);
}

}  // namespace common
