// Package fronts: a package's __init__ built as an extension module.
//
// A front re-exports names of its submodules. It uses multi-phase module
// initialisation so that its body runs after the package is registered in
// sys.modules with its __path__ set, which is what lets it import its own
// submodules (exactly when a package's __init__.py would run).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace common {
namespace py = pybind11;

// Imports `<package>.<submodule>` and binds each listed name in the package,
// replacing the submodule attribute that the import set when a name equals it.
inline void reexport(py::module_& package, const char* submodule,
                     std::initializer_list<const char*> names) {
  const std::string full = std::string(py::str(package.attr("__name__"))) + "." + submodule;
  py::module_ sub = py::module_::import(full.c_str());
  py::list all = package.attr("__all__");
  for (const char* name : names) {
    package.attr(name) = sub.attr(name);
    all.append(name);
  }
}

}  // namespace common

// Defines PyInit_<pkg> for a front whose body is `void body(py::module_&)`.
#define COMMON_PACKAGE_FRONT(pkg, doc, body)                                                      \
  static int pkg##_front_exec(PyObject* self) {                                                   \
    try {                                                                                         \
      pybind11::module_ m = pybind11::reinterpret_borrow<pybind11::module_>(self);                \
      m.attr("__all__") = pybind11::list();                                                       \
      body(m);                                                                                    \
      return 0;                                                                                   \
    } catch (pybind11::error_already_set & e) {                                                   \
      e.restore();                                                                                \
    } catch (const std::exception& e) {                                                           \
      PyErr_SetString(PyExc_ImportError, e.what());                                               \
    }                                                                                             \
    return -1;                                                                                    \
  }                                                                                               \
  static PyModuleDef_Slot pkg##_front_slots[] = {                                                 \
      {Py_mod_exec, reinterpret_cast<void*>(pkg##_front_exec)}, {0, nullptr}};                    \
  static PyModuleDef pkg##_front_def = {PyModuleDef_HEAD_INIT, #pkg,    doc,     0,      nullptr, \
                                        pkg##_front_slots,     nullptr, nullptr, nullptr};        \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##pkg() { return PyModuleDef_Init(&pkg##_front_def); }
