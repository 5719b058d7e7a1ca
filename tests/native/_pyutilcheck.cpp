// Test-only extension: the operations on values and the import helpers of
// binding/pyutil.h, with is_tensor from binding/nnmodule.h.
#include <pybind11/pybind11.h>
#include <torch/extension.h>

#include <stdexcept>
#include <string>

#include "binding/nnmodule.h"
#include "binding/pyutil.h"

namespace py = pybind11;

namespace {

py::object binary(const std::string& op, py::handle a, py::handle b) {
  if (op == "add") return common::add(a, b);
  if (op == "sub") return common::sub(a, b);
  if (op == "mul") return common::mul(a, b);
  if (op == "truediv") return common::div(a, b);
  if (op == "mod") return common::mod(a, b);
  if (op == "floordiv") return common::floor_div(a, b);
  throw std::invalid_argument(op);
}

// within(ctx, how): the body returns ("none"), calls back into Python
// ("python", a callable), or fails natively with a Python error that no
// frame has seen yet ("set") or with a C++ exception ("native").
void within(py::object ctx, const std::string& how, py::object body) {
  common::within(ctx, [&] {
    if (how == "python") body();
    if (how == "set") common::raise(PyExc_ValueError, "set natively");
    if (how == "native") throw std::runtime_error("native failure");
  });
}

}  // namespace

PYBIND11_MODULE(_pyutilcheck, m) {
  const std::string name = py::str(m.attr("__name__"));
  m.def("compare", [](py::object a, py::object b, int op) { return common::compare(a, b, op); });
  m.def("binary", &binary);
  m.def("index_of", [](py::object v) { return common::index_of(v); });
  m.def("contains", [](py::object c, py::object e) { return common::contains(c, e); });
  m.def("within", &within, py::arg("ctx"), py::arg("how"), py::arg("body") = py::none());
  m.def("is_tensor", [](py::object v) { return common::nn::is_tensor(v); });
  m.def("relative", [](const std::string& module_name, const std::string& target, int levels) {
    return common::relative(module_name, target.c_str(), levels);
  });
  m.def("global_",
        [name](const std::string& key) { return common::Globals{name.c_str()}(key.c_str()); });
  common::import_into(m, "typing", {"Tuple", "Optional"});
}
