// Helpers for torch.nn.Module subclasses written in C++: the base class,
// tensor <-> object conversion, result unpacking and the
// range checks that model constructors share.
#pragma once

#include <pybind11/pybind11.h>
#include <torch/extension.h>

#include <string>
#include <vector>

#include "binding/bind.h"
#include "binding/pyutil.h"

namespace common {
namespace nn {
namespace py = pybind11;

inline py::module_ torch_nn() { return py::module_::import("torch.nn"); }

// The bases of a model class: (torch.nn.Module,).
inline py::tuple module_bases() { return py::make_tuple(torch_nn().attr("Module")); }

// nn.Module.__init__(self): must run before any attribute is set.
inline void init_module(py::handle self) { torch_nn().attr("Module").attr("__init__")(self); }

inline bool is_tensor(py::handle obj) { return THPVariable_Check(obj.ptr()); }

inline at::Tensor tensor(py::handle obj) {
  if (!is_tensor(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a Tensor, got %.200s", type_name(obj));
    rethrow();
  }
  return THPVariable_Unpack(obj.ptr());
}

inline py::object object(at::Tensor t) { return py::cast(std::move(t)); }

// Parameters and results as the model components annotate them (the names
// resolve in the modules' globals, see bind_common_imports).
inline Param tensor_arg(const char* name) { return arg(name).annotated("torch.Tensor"); }
inline Param mask_arg(const char* name) {
  return arg(name, py::none()).annotated("Optional[torch.Tensor]");
}
inline Param returns_tensors(int n) {
  if (n == 1) return returns("torch.Tensor");
  std::string text = "Tuple[torch.Tensor";
  for (int i = 1; i < n; ++i) text += ", torch.Tensor";
  return returns(text + "]");
}

// Binds the names a model module's body imports: nn, torch, Tuple, Optional.
inline void bind_common_imports(py::module_& m) {
  m.attr("nn") = torch_nn();
  m.attr("torch") = py::module_::import("torch");
  import_into(m, "typing", {"Tuple", "Optional"});
}

// `a, b = value` with the interpreter's messages when the count is wrong.
inline std::vector<py::object> unpack(py::handle value, size_t n) {
  std::vector<py::object> out;
  for (py::handle item : py::iter(value)) {
    if (out.size() == n)
      raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(n) + ")");
    out.push_back(py::reinterpret_borrow<py::object>(item));
  }
  if (out.size() < n)
    raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) +
                                ", got " + std::to_string(out.size()) + ")");
  return out;
}

// value > 0 with the interpreter's comparison (works for any int size).
inline bool positive(py::handle value) {
  const int r = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_GT);
  if (r < 0) rethrow();
  return r == 1;
}

// "All dimension values must be positive" for the first value that is not.
inline void check_dimensions(const std::vector<py::handle>& values) {
  for (py::handle v : values)
    if (!positive(v)) raise(PyExc_ValueError, "All dimension values must be positive");
}

// 0 <= p < 1; NaN fails both comparisons.
inline void check_dropout(double p) {
  if (!(p >= 0.0 && p < 1.0)) raise(PyExc_ValueError, "Dropout rate must be between 0 and 1");
}

// The constructor of an encoder or decoder layer: (self, d_model, num_heads,
// d_ff, dropout=0.1) converted in that order, then each sub-layer built with
// (d_model, num_heads or d_ff, dropout) under its attribute. The sub-layer
// classes are looked up in `module_name` at every construction.
struct SubLayer {
  const char* attribute;
  const char* class_name;
  bool feed_forward;  // takes d_ff rather than num_heads
};

inline std::vector<Param> layer_init_params() {
  return {arg("self"), arg("d_model").annotated("int"), arg("num_heads").annotated("int"),
          arg("d_ff").annotated("int"), arg("dropout", py::float_(0.1)).annotated("float")};
}

inline BoundMethod layer_init(std::string module_name, std::vector<SubLayer> layers) {
  return [module_name, layers](py::handle self, py::int_ d_model, py::int_ num_heads, py::int_ d_ff,
                               double dropout) -> py::object {
    py::float_ p(dropout);
    init_module(self);
    py::module_ mod = py::module_::import(module_name.c_str());
    for (const SubLayer& s : layers)
      self.attr(s.attribute) =
          mod.attr(s.class_name)(d_model, s.feed_forward ? d_ff : num_heads, p);
    return py::none();
  };
}

}  // namespace nn

// A body's at::Tensor parameter: nn::tensor's check and text.
template <>
struct ArgFrom<at::Tensor> {
  static at::Tensor get(const py::object& v, const char*) { return nn::tensor(v); }
};

}  // namespace common

namespace nn = common::nn;
