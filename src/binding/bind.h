// Argument binding for functions and methods written in C++.
//
// A Signature is a declared list of parameters. bind() fills them from the
// call's (args, kwargs) the way compiled Python extensions do, with the same
// texts for wrong call shapes, so callers see ordinary host errors. Methods
// declare the instance as their first parameter: it counts as a positional
// argument in the messages ("forward() takes exactly 2 positional arguments").
//
// The conversions below are applied by each function in its own order after
// binding: an int parameter keeps an exact int and converts any other number
// as int() does; a float parameter converts as the host's float conversion
// does; str/dict/list/tuple parameters must be exactly that type.
//
// A BoundMethod is the body run after binding. It takes either the Args, or
// the declared parameters in order as C++ parameters, each converted by its
// type (see ArgFrom): `py::object forward(py::handle self, py::object x)`.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/pyutil.h"

namespace common {
namespace py = pybind11;

struct Param {
  std::string name;
  py::object fallback;  // empty handle: the argument is required
  bool keyword_only = false;
  // As the interface writes it: a builtin type's name ("int", "dict") shows as
  // that type, anything else ("Optional[torch.Tensor]") as the string, the way
  // `from __future__ import annotations` keeps it. Empty: none.
  std::string annotation;
  bool is_return = false;  // returns(...): the result's annotation, not a parameter

  // arg("config").annotated("dict"): the annotation as the interface writes it.
  Param annotated(std::string text) && {
    annotation = std::move(text);
    return std::move(*this);
  }
};

// A required positional-or-keyword parameter.
inline Param arg(const char* name) { return Param{name, py::object(), false, {}}; }

// An optional parameter with its default value.
inline Param arg(const char* name, py::object fallback) {
  return Param{name, std::move(fallback), false, {}};
}

inline Param kwonly(const char* name, py::object fallback = py::object()) {
  return Param{name, std::move(fallback), true, {}};
}

// The return annotation, written among the parameters:
// {arg("self"), arg("x").annotated("torch.Tensor"), returns("torch.Tensor")}.
inline Param returns(std::string text) {
  return Param{"return", py::object(), false, std::move(text), true};
}

class Signature;

// The values of one call, in declaration order.
class Args {
 public:
  Args(const Signature* sig, std::vector<py::object> values)
      : sig_(sig), values_(std::move(values)) {}
  const py::object& operator[](int i) const { return values_.at(static_cast<size_t>(i)); }
  const py::object& operator[](const char* name) const;
  size_t size() const { return values_.size(); }
  const Signature& signature() const { return *sig_; }

 private:
  const Signature* sig_;
  std::vector<py::object> values_;
};

class Signature {
 public:
  Signature(std::string func_name, std::vector<Param> params) : name_(std::move(func_name)) {
    for (auto& p : params) {
      if (p.is_return) {
        returns_ = std::move(p.annotation);
        continue;
      }
      if (p.keyword_only) {
        params_.push_back(std::move(p));
        continue;
      }
      if (params_.size() != static_cast<size_t>(max_positional_))
        throw std::logic_error(name_ + "(): positional parameter " + p.name +
                               " after a keyword-only one");
      if (!p.fallback && max_positional_ > min_positional_)
        throw std::logic_error(name_ + "(): required parameter " + p.name +
                               " after one with a default");
      ++max_positional_;
      if (!p.fallback) min_positional_ = max_positional_;
      params_.push_back(std::move(p));
    }
  }

  const std::string& name() const { return name_; }
  const std::vector<Param>& params() const { return params_; }
  const std::string& return_annotation() const { return returns_; }  // empty: none

  size_t index(const char* name) const {
    for (size_t i = 0; i < params_.size(); ++i)
      if (params_[i].name == name) return i;
    throw std::logic_error(name_ + "() has no parameter " + name);
  }

  Args bind(const py::args& args, const py::kwargs& kwargs) const {
    return bind(args.ptr(), kwargs.ptr());
  }

  // args: a tuple; kwargs: a dict or nullptr.
  Args bind(PyObject* args, PyObject* kwargs) const {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > max_positional_) raise_count(nargs);
    std::vector<py::object> values(params_.size());
    for (Py_ssize_t i = 0; i < nargs; ++i)
      values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    const bool has_kw = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    if (!has_kw) {
      if (nargs < min_positional_) raise_count(nargs);
    } else {
      take_positional_keywords(kwargs, nargs, values);
      check_keywords(kwargs, nargs, values);
    }
    fill_defaults(values);
    return Args(this, std::move(values));
  }

 private:
  // Required parameters that were not passed positionally are looked up by
  // name in order; the first one missing is reported as a count error.
  void take_positional_keywords(PyObject* kwargs, Py_ssize_t nargs,
                                std::vector<py::object>& values) const {
    for (Py_ssize_t i = nargs; i < max_positional_; ++i) {
      PyObject* v = lookup(kwargs, params_[i].name);
      if (v) {
        values[i] = py::reinterpret_borrow<py::object>(v);
      } else if (i < min_positional_) {
        raise_count(i);
      }
    }
  }

  // Every keyword must name a parameter not already filled by position.
  void check_keywords(PyObject* kwargs, Py_ssize_t nargs, std::vector<py::object>& values) const {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_.c_str());
        rethrow();
      }
      const char* k = PyUnicode_AsUTF8(key);
      if (!k) rethrow();
      bool matched = false;
      for (size_t i = static_cast<size_t>(nargs); i < params_.size(); ++i) {
        if (params_[i].name == k) {
          values[i] = py::reinterpret_borrow<py::object>(value);
          matched = true;
          break;
        }
      }
      if (matched) continue;
      for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (params_[i].name == k) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", name_.c_str(),
                       k);
          rethrow();
        }
      }
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_.c_str(),
                   key);
      rethrow();
    }
  }

  void fill_defaults(std::vector<py::object>& values) const {
    for (size_t i = 0; i < params_.size(); ++i) {
      if (values[i]) continue;
      if (params_[i].fallback) {
        values[i] = params_[i].fallback;
      } else {
        // only keyword-only parameters can still be missing here
        PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", name_.c_str(),
                     params_[i].name.c_str());
        rethrow();
      }
    }
  }

  static PyObject* lookup(PyObject* kwargs, const std::string& name) {
    PyObject* v = PyDict_GetItemString(kwargs, name.c_str());  // borrowed
    if (!v && PyErr_Occurred()) rethrow();
    return v;
  }

  [[noreturn]] void raise_count(Py_ssize_t found) const {
    const bool exact = min_positional_ == max_positional_;
    Py_ssize_t expected = max_positional_;
    const char* more_or_less = "at most";
    if (found < min_positional_) {
      expected = min_positional_;
      more_or_less = "at least";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_.c_str(), more_or_less, expected, expected == 1 ? "" : "s", found);
    rethrow();
  }

  std::string name_;
  std::vector<Param> params_;
  std::string returns_;
  Py_ssize_t min_positional_ = 0;
  Py_ssize_t max_positional_ = 0;
};

inline const py::object& Args::operator[](const char* name) const {
  return values_.at(sig_->index(name));
}

// ---- conversions ---------------------------------------------------------

[[noreturn]] inline void raise_arg_type(const char* name, const char* expected, py::handle got) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               type_name(got));
  rethrow();
}

inline bool supports_number_protocol(py::handle v) {
  const PyNumberMethods* nb = Py_TYPE(v.ptr())->tp_as_number;
  return nb && (nb->nb_int || nb->nb_index || nb->nb_float);
}

// An exact int unchanged; any other number converted as int() converts it
// (7.9 -> 7, True -> 1); anything else refused with the argument-type text.
inline py::int_ to_int(py::handle v, const char* name) {
  if (PyLong_CheckExact(v.ptr())) return py::reinterpret_borrow<py::int_>(v);
  if (!supports_number_protocol(v)) raise_arg_type(name, "int", v);
  PyObject* out = PyNumber_Long(v.ptr());
  if (!out) rethrow();
  return py::reinterpret_steal<py::int_>(out);
}

// The same rule, then the value as a C integer (OverflowError past int64).
inline int64_t to_int64(py::handle v, const char* name) {
  py::int_ i = to_int(v, name);
  const long long out = PyLong_AsLongLong(i.ptr());
  if (out == -1 && PyErr_Occurred()) rethrow();
  return static_cast<int64_t>(out);
}

// The host's float conversion: floats, ints and anything with __float__ or
// __index__; otherwise its own TypeError ("must be real number, not str").
inline double to_float(py::handle v) {
  const double out = PyFloat_AsDouble(v.ptr());
  if (out == -1.0 && PyErr_Occurred()) rethrow();
  return out;
}

// Exact-type checks: subclasses and None are refused.
template <class T>
T exact(py::handle v, const char* name, PyTypeObject* type, const char* expected) {
  if (Py_TYPE(v.ptr()) != type) raise_arg_type(name, expected, v);
  return py::reinterpret_borrow<T>(v);
}

inline py::str exact_str(py::handle v, const char* name) {
  return exact<py::str>(v, name, &PyUnicode_Type, "str");
}
inline py::dict exact_dict(py::handle v, const char* name) {
  return exact<py::dict>(v, name, &PyDict_Type, "dict");
}
inline py::list exact_list(py::handle v, const char* name) {
  return exact<py::list>(v, name, &PyList_Type, "list");
}
inline py::tuple exact_tuple(py::handle v, const char* name) {
  return exact<py::tuple>(v, name, &PyTuple_Type, "tuple");
}

// Optional forms: None passes through unchanged, anything else as above.
inline py::object optional_exact(py::handle v, const char* name, PyTypeObject* type,
                                 const char* expected) {
  if (v.is_none()) return py::none();
  return exact<py::object>(v, name, type, expected);
}
inline py::object optional_str(py::handle v, const char* name) {
  return optional_exact(v, name, &PyUnicode_Type, "str");
}
inline py::object optional_dict(py::handle v, const char* name) {
  return optional_exact(v, name, &PyDict_Type, "dict");
}
inline py::object optional_list(py::handle v, const char* name) {
  return optional_exact(v, name, &PyList_Type, "list");
}
inline py::object optional_tuple(py::handle v, const char* name) {
  return optional_exact(v, name, &PyTuple_Type, "tuple");
}

// ---- bodies taking their parameters ---------------------------------------

// How a body's parameter of type T is made from the bound value: as passed
// (py::object, py::handle), or by the conversion that type names. nnmodule.h
// adds at::Tensor. A type without a conversion does not compile.
template <class T>
struct ArgFrom;

template <>
struct ArgFrom<py::object> {
  static py::object get(const py::object& v, const char*) { return v; }
};
template <>
struct ArgFrom<py::handle> {
  static py::handle get(const py::object& v, const char*) { return v; }
};
template <>
struct ArgFrom<py::int_> {
  static py::int_ get(const py::object& v, const char* name) { return to_int(v, name); }
};
template <>
struct ArgFrom<int64_t> {
  static int64_t get(const py::object& v, const char* name) { return to_int64(v, name); }
};
template <>
struct ArgFrom<double> {
  static double get(const py::object& v, const char*) { return to_float(v); }
};
template <>
struct ArgFrom<py::str> {
  static py::str get(const py::object& v, const char* name) { return exact_str(v, name); }
};
template <>
struct ArgFrom<py::dict> {
  static py::dict get(const py::object& v, const char* name) { return exact_dict(v, name); }
};
template <>
struct ArgFrom<py::list> {
  static py::list get(const py::object& v, const char* name) { return exact_list(v, name); }
};
template <>
struct ArgFrom<py::tuple> {
  static py::tuple get(const py::object& v, const char* name) { return exact_tuple(v, name); }
};

namespace detail {

// The parameter list of a function, function pointer or lambda.
template <class F>
struct ParamsOf : ParamsOf<decltype(&F::operator())> {};
template <class R, class... Ps>
struct ParamsOf<R (*)(Ps...)> {
  using types = std::tuple<std::decay_t<Ps>...>;
};
template <class C, class R, class... Ps>
struct ParamsOf<R (C::*)(Ps...) const> : ParamsOf<R (*)(Ps...)> {};
template <class C, class R, class... Ps>
struct ParamsOf<R (C::*)(Ps...)> : ParamsOf<R (*)(Ps...)> {};

template <class F, class... Ps, size_t... I>
py::object call_converted(F& fn, const Args& a, std::tuple<Ps...>*, std::index_sequence<I...>) {
  const auto& params = a.signature().params();
  // A braced list: the conversions run left to right, as the parameters read.
  std::tuple<Ps...> values{ArgFrom<Ps>::get(a[static_cast<int>(I)], params[I].name.c_str())...};
  return std::apply(fn, std::move(values));
}

}  // namespace detail

class BoundMethod {
 public:
  // A body taking the Args: any parameter list.
  template <class F, std::enable_if_t<std::is_invocable_r_v<py::object, F&, const Args&>, int> = 0>
  BoundMethod(F fn) : fn_(std::move(fn)) {}

  // A body taking the declared parameters, converted by their types.
  template <class F, std::enable_if_t<!std::is_invocable_r_v<py::object, F&, const Args&>, int> = 0>
  BoundMethod(F fn)
      : arity_(static_cast<int>(std::tuple_size_v<typename detail::ParamsOf<F>::types>)) {
    using types = typename detail::ParamsOf<F>::types;
    fn_ = [fn = std::move(fn)](const Args& a) mutable -> py::object {
      return detail::call_converted(fn, a, static_cast<types*>(nullptr),
                                    std::make_index_sequence<std::tuple_size_v<types>>());
    };
  }

  py::object operator()(const Args& a) const { return fn_(a); }

  // A body whose parameter count is not the declaration's is a programming
  // error: it fails the module's import, naming the function.
  void check(const Signature& sig, const std::string& where) const {
    const size_t declared = sig.params().size();
    if (arity_ < 0 || static_cast<size_t>(arity_) == declared) return;
    std::string names;
    for (const Param& p : sig.params()) names += (names.empty() ? "" : ", ") + p.name;
    throw std::logic_error(where + "(): the body takes " + std::to_string(arity_) + " parameter" +
                           (arity_ == 1 ? "" : "s") + ", its signature declares " +
                           std::to_string(declared) + " (" + names + ")");
  }

 private:
  std::function<py::object(const Args&)> fn_;
  int arity_ = -1;  // -1: takes the Args
};

}  // namespace common
