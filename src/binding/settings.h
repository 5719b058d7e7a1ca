// Checks of configuration values at the point they are read: a value of the
// wrong kind raises TypeError, one outside its domain ValueError, each naming
// the key, the value and what is expected ("loss.ctc_weight must be a finite
// number, got nan").
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <string>

#include "binding/pyutil.h"

namespace common {
namespace settings {
namespace py = pybind11;

[[noreturn]] inline void refuse(PyObject* kind, const std::string& key, const std::string& expected,
                                py::handle value) {
  std::string got = py::str(py::repr(value));
  if (kind == PyExc_TypeError) got = std::string(type_name(value)) + " " + got;
  std::string msg = key + " must be " + expected + ", got " + got;
  // YAML 1.1 reads 1e-3 (no dot) as a string
  if (PyUnicode_Check(value.ptr()) && kind == PyExc_TypeError) {
    const std::string text = py::str(value);
    PyObject* f = PyFloat_FromString(value.ptr());
    if (!f) PyErr_Clear();
    Py_XDECREF(f);
    if (f && text.find_first_of("eE") != std::string::npos)
      msg += " (YAML reads an exponent without a dot and a sign as text: write 1.0e-3, not 1e-3)";
  }
  raise(kind, msg);
}

// An int, a float or another real number (NumPy scalars, 0-d tensors);
// strings, None and booleans are refused.
inline bool is_number(py::handle v) {
  if (PyBool_Check(v.ptr()) || PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr())) return false;
  const PyNumberMethods* nb = Py_TYPE(v.ptr())->tp_as_number;
  return nb && (nb->nb_float || nb->nb_index);
}

// An integer (int, NumPy integers; not bool, not float).
inline bool is_integer(py::handle v) { return !PyBool_Check(v.ptr()) && PyIndex_Check(v.ptr()); }

inline double number(py::handle v, const std::string& key, const std::string& expected) {
  if (!is_number(v)) refuse(PyExc_TypeError, key, expected, v);
  const double out = PyFloat_AsDouble(v.ptr());
  if (out == -1.0 && PyErr_Occurred()) rethrow();
  return out;
}

inline double finite(py::handle v, const std::string& key) {
  const char* expected = "a finite number";
  const double x = number(v, key, expected);
  if (!std::isfinite(x)) refuse(PyExc_ValueError, key, expected, v);
  return x;
}

// Label smoothing: a number in [0, 1].
inline void probability(py::handle v, const std::string& key) {
  const char* expected = "a number in [0, 1]";
  const double x = number(v, key, expected);
  if (!(x >= 0.0 && x <= 1.0)) refuse(PyExc_ValueError, key, expected, v);
}

// A fraction of a data set: a number in (0, 1].
inline void fraction(py::handle v, const std::string& key) {
  const char* expected = "a fraction in (0, 1]";
  const double x = number(v, key, expected);
  if (!(x > 0.0 && x <= 1.0)) refuse(PyExc_ValueError, key, expected, v);
}

inline void positive(py::handle v, const std::string& key) {
  const char* expected = "a finite number above 0";
  const double x = number(v, key, expected);
  if (!(x > 0.0) || !std::isfinite(x)) refuse(PyExc_ValueError, key, expected, v);
}

inline int64_t integer(py::handle v, const std::string& key, const std::string& expected) {
  if (!is_integer(v)) refuse(PyExc_TypeError, key, expected, v);
  return index_of(v);
}

// An integer of at least `low`.
inline int64_t at_least(py::handle v, const std::string& key, int64_t low,
                        const std::string& expected) {
  const int64_t n = integer(v, key, expected);
  if (n < low) refuse(PyExc_ValueError, key, expected, v);
  return n;
}

// The batches per optimizer step. 0 passes here: it fails at the window test
// with ZeroDivisionError, as a modulo by zero does.
inline void accumulation_steps(py::handle v) {
  at_least(v, "training.gradient_accumulation_steps", 0, "a positive integer");
}

[[noreturn]] inline void zero_accumulation() {
  raise(PyExc_ZeroDivisionError,
        "integer modulo by zero: training.gradient_accumulation_steps is 0; it must be a "
        "positive integer");
}

}  // namespace settings
}  // namespace common

namespace settings = common::settings;
