// Test-only extension exercising the shared binding layer directly.
#include <pybind11/pybind11.h>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/native_function.h"
#include "binding/pyutil.h"

namespace py = pybind11;
using common::arg;
using common::Args;

namespace {

py::object values(const Args& a) {
  py::list out;
  for (size_t i = 0; i < a.size(); ++i) out.append(a[static_cast<int>(i)]);
  return py::tuple(out);
}

// convert(kind, value): applies one conversion of the layer by name.
py::object convert(const Args& a) {
  const std::string kind = py::str(a["kind"]);
  py::handle v = a["value"];
  if (kind == "int") return common::to_int(v, "value");
  if (kind == "int64") return py::int_(common::to_int64(v, "value"));
  if (kind == "float") return py::float_(common::to_float(v));
  if (kind == "str") return common::exact_str(v, "value");
  if (kind == "dict") return common::exact_dict(v, "value");
  if (kind == "list") return common::exact_list(v, "value");
  if (kind == "tuple") return common::exact_tuple(v, "value");
  if (kind == "str?") return common::optional_str(v, "value");
  if (kind == "dict?") return common::optional_dict(v, "value");
  if (kind == "list?") return common::optional_list(v, "value");
  if (kind == "tuple?") return common::optional_tuple(v, "value");
  common::raise(PyExc_ValueError, "unknown conversion " + kind);
}

void define_functions(py::module_& m) {
  common::def_function(m, "exact2", {arg("a"), arg("b")}, values);
  common::def_function(m, "range13", {arg("a"), arg("b", py::int_(2)), arg("c", py::int_(3))},
                       values);
  common::def_function(m, "kwonly",
                       {arg("a"), common::kwonly("k"), common::kwonly("j", py::none())}, values);
  common::def_function(
      m, "annotated",
      {arg("n").annotated("int"), arg("mask", py::none()).annotated("Optional[torch.Tensor]"),
       common::kwonly("flag", py::bool_(false)).annotated("bool"),
       common::returns("Tuple[int, int]")},
      values);
  // malformed(kind): declares a parameter list no Python function could have.
  common::def_function(m, "malformed", {arg("kind")}, [](const Args& a) {
    const std::string kind = py::str(a["kind"]);
    if (kind == "required after default")
      common::Signature("f", {arg("a", py::none()), arg("b")});
    else
      common::Signature("f", {common::kwonly("k"), arg("a")});
    return py::none();
  });
  common::def_function(m, "convert", {arg("kind"), arg("value")}, convert);
  common::def_function(m, "say", {arg("text")}, [](const Args& a) {
    common::print(a["text"], py::arg("end") = "!\n");
    return py::none();
  });
  common::def_function(m, "call_ordered", {arg("fn")}, [](const Args& a) {
    return common::call(a["fn"], py::make_tuple(1),
                        {{"zeta", py::int_(26)}, {"alpha", py::int_(1)}, {"mu", py::int_(12)}});
  });
  common::def_function(m, "fail", {arg("type"), arg("text")}, [](const Args& a) -> py::object {
    common::raise(a["type"], std::string(py::str(a["text"])));
  });
}

// Base: an abstract class; Concrete derives from it and implements the step.
void define_classes(py::module_& m) {
  py::object abc = py::module_::import("abc");
  py::object base =
      common::ClassBuilder(m, "Base", py::make_tuple(abc.attr("ABC")))
          .doc("Abstract test base.")
          .method("__init__", {arg("self"), arg("x")},
                  [](const Args& a) {
                    a[0].attr("x") = common::to_int(a["x"], "x");
                    return py::none();
                  })
          .method("twice", {arg("self")},
                  [](const Args& a) { return a[0].attr("step")() * py::int_(2); })
          .abstract_method("step", {arg("self")}, [](const Args&) { return py::none(); })
          .static_method("plus", {arg("a"), arg("b")},
                         [](const Args& a) { return a["a"] + a["b"]; })
          .finish();
  common::ClassBuilder(m, "Concrete", py::make_tuple(base))
      .method("step", {arg("self")}, [](const Args& a) { return a[0].attr("x"); })
      .raw_method("raw",
                  [](py::args args, py::kwargs kwargs) -> py::object {
                    return py::make_tuple(args, kwargs);
                  })
      .property(
          "double",
          [](const Args& a) -> py::object { return py::object(a[0].attr("x")) * py::int_(2); },
          "x, twice")
      .finish();
}

// Items: a torch Dataset of encoded texts, to cross DataLoader workers.
void define_dataset(py::module_& m) {
  common::ClassBuilder(m, "Items",
                       py::make_tuple(common::import_attr("torch.utils.data", "Dataset")))
      .method("__init__", {arg("self"), arg("texts"), arg("tokenizer")},
              [](const Args& a) {
                a[0].attr("texts") = common::exact_list(a["texts"], "texts");
                a[0].attr("tokenizer") = a["tokenizer"];
                return py::none();
              })
      .method("__len__", {arg("self")},
              [](const Args& a) { return py::int_(py::len(a[0].attr("texts"))); })
      .method("__getitem__", {arg("self"), arg("i")},
              [](const Args& a) {
                py::object text = a[0].attr("texts")[a["i"]];
                return a[0].attr("tokenizer").attr("encode")(text);
              })
      .finish();
}

// Bodies that take their parameters, converted by their types.
py::object typed(int64_t n, double x, py::str s, py::handle any) {
  return py::make_tuple(n, x, s, any);
}

void define_typed(py::module_& m) {
  common::def_function(m, "typed", {arg("n"), arg("x"), arg("s"), arg("any", py::none())}, typed);
  // mismatched(kind): declares a body whose parameter count is not its signature's, in a
  // scratch module of this module's name.
  common::def_function(m, "mismatched", {arg("kind")}, [](py::str kind) -> py::object {
    auto scratch =
        py::module_::import("types").attr("ModuleType")("_bindingcheck").cast<py::module_>();
    if (std::string(kind) == "function")
      common::def_function(scratch, "broken", {arg("a"), arg("b")},
                           [](py::object x) -> py::object { return x; });
    else
      common::ClassBuilder(scratch, "Broken")
          .method("step", {arg("self")}, [](py::handle, py::int_ n) -> py::object { return n; })
          .finish();
    return py::none();
  });
}

}  // namespace

PYBIND11_MODULE(_bindingcheck, m) {
  define_functions(m);
  define_classes(m);
  define_dataset(m);
  define_typed(m);
}
