// Python classes built from C++.
//
// A ClassBuilder fills a namespace dictionary with C++ methods and then calls
// the metaclass with (name, bases, namespace), exactly as a class statement
// does, so the result is an ordinary Python class: it can derive from
// torch.nn.Module, abc.ABC or another system class, ABCMeta sees its abstract
// methods, and pickle finds it through __module__ and __qualname__. Its
// methods are NativeFunctions (native_function.h).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/native_function.h"
#include "binding/pyutil.h"

namespace common {
namespace py = pybind11;

class ClassBuilder {
 public:
  // An empty `bases` means (object,). The metaclass defaults to the most
  // derived metaclass of the bases, as a class statement chooses it.
  ClassBuilder(py::module_ module, std::string name, py::tuple bases = py::tuple(),
               py::object metaclass = py::none())
      : module_(std::move(module)),
        module_name_(py::str(module_.attr("__name__"))),
        name_(std::move(name)),
        bases_(bases.empty() ? py::make_tuple(builtins_attr("object")) : std::move(bases)),
        meta_(metaclass.is_none() ? winner_metaclass(bases_) : std::move(metaclass)) {
    ns_ = meta_.attr("__prepare__")(name_, bases_);
    ns_["__module__"] = module_name_;
    ns_["__qualname__"] = name_;
  }

  ClassBuilder& doc(const char* text) {
    ns_["__doc__"] = py::str(text);
    return *this;
  }

  // An instance method whose first parameter is the instance.
  ClassBuilder& method(const char* name, std::vector<Param> params, BoundMethod fn,
                       const char* doc = nullptr) {
    ns_[name] = bound(name, std::move(params), std::move(fn), doc, false);
    return *this;
  }

  // A method that takes (args, kwargs) as they came, instance first.
  ClassBuilder& raw_method(const char* name, RawMethod fn, const char* doc = nullptr) {
    ns_[name] =
        native_function(raw_function(name, std::move(fn)), name, qualname(name), module_name_, doc);
    return *this;
  }

  // Marked abstract: ABCMeta lists it in __abstractmethods__ and subclasses
  // must override it to be instantiable.
  ClassBuilder& abstract_method(const char* name, std::vector<Param> params, BoundMethod fn,
                                const char* doc = nullptr) {
    ns_[name] = bound(name, std::move(params), std::move(fn), doc, true);
    return *this;
  }

  ClassBuilder& static_method(const char* name, std::vector<Param> params, BoundMethod fn,
                              const char* doc = nullptr) {
    py::object f = bound(name, std::move(params), std::move(fn), doc, false);
    ns_[name] = builtins_attr("staticmethod")(f);
    return *this;
  }

  ClassBuilder& property(const char* name, BoundMethod getter, const char* doc = nullptr) {
    py::object f = bound(name, {arg("self")}, std::move(getter), doc, false);
    ns_[name] = builtins_attr("property")(f);
    return *this;
  }

  ClassBuilder& attr(const char* name, py::object value) {
    ns_[name] = std::move(value);
    return *this;
  }

  // Creates the class, stores it as a module attribute and returns it.
  py::object finish() {
    py::object cls = meta_(name_, bases_, ns_);
    module_.attr(name_.c_str()) = cls;
    return cls;
  }

 private:
  std::string qualname(const char* name) const { return name_ + "." + name; }

  py::object bound(const char* name, std::vector<Param> params, BoundMethod fn, const char* doc,
                   bool abstract) {
    return bound_native(name, std::move(params), std::move(fn), qualname(name), module_name_, doc,
                        abstract);
  }

  static py::object winner_metaclass(const py::tuple& bases) {
    py::object winner = builtins_attr("type");
    for (auto base : bases) {
      py::object meta = py::type::of(base);
      if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner.ptr()),
                           reinterpret_cast<PyTypeObject*>(meta.ptr())))
        continue;
      if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(meta.ptr()),
                           reinterpret_cast<PyTypeObject*>(winner.ptr()))) {
        winner = meta;
        continue;
      }
      raise(PyExc_TypeError,
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
            "subclass of the metaclasses of all its bases");
    }
    return winner;
  }

  py::module_ module_;
  std::string module_name_;
  std::string name_;
  py::tuple bases_;
  py::object meta_;
  py::object ns_;
};

}  // namespace common
