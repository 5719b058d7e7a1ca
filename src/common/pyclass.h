// Python classes built from C++.
//
// A ClassBuilder fills a namespace dictionary with C++ methods and then calls
// the metaclass with (name, bases, namespace), exactly as a class statement
// does, so the result is an ordinary Python class: it can derive from
// torch.nn.Module, abc.ABC or another system class, ABCMeta sees its abstract
// methods, and pickle finds it through __module__ and __qualname__.
//
// Methods are NativeFunction objects: callables that bind to an instance like
// Python functions do (they are descriptors) and carry __name__, __qualname__,
// __doc__ and __isabstractmethod__.
#pragma once

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <structmember.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bind.h"
#include "pyutil.h"

namespace common {
namespace py = pybind11;

namespace detail {

struct NativeFunctionObject {
  PyObject_HEAD
  PyObject* func;      // the callable doing the work
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  int abstract;
};

inline void nf_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(o->func);
  Py_CLEAR(o->name);
  Py_CLEAR(o->qualname);
  Py_CLEAR(o->module);
  Py_CLEAR(o->doc);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

inline int nf_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  Py_VISIT(o->func);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

inline int nf_clear(PyObject* self) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  Py_CLEAR(o->func);
  return 0;
}

inline PyObject* nf_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return PyObject_Call(reinterpret_cast<NativeFunctionObject*>(self)->func, args, kwargs);
}

// Accessed on an instance it becomes a bound method; on the class, itself.
inline PyObject* nf_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

inline PyObject* nf_repr(PyObject* self) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", o->qualname, self);
}

inline PyObject* nf_get_abstract(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<NativeFunctionObject*>(self)->abstract);
}

// The type is created once per extension and never freed: it must outlive
// every class that holds one of its instances.
inline PyTypeObject* native_function_type() {
  static PyTypeObject* type = [] {
    static PyMemberDef members[] = {
        {"__name__", T_OBJECT, offsetof(NativeFunctionObject, name), READONLY, nullptr},
        {"__qualname__", T_OBJECT, offsetof(NativeFunctionObject, qualname), READONLY, nullptr},
        {"__module__", T_OBJECT, offsetof(NativeFunctionObject, module), READONLY, nullptr},
        {"__doc__", T_OBJECT, offsetof(NativeFunctionObject, doc), READONLY, nullptr},
        {"__wrapped__", T_OBJECT, offsetof(NativeFunctionObject, func), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__isabstractmethod__", nf_get_abstract, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(nf_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(nf_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(nf_clear)},
        {Py_tp_call, reinterpret_cast<void*>(nf_call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(nf_get)},
        {Py_tp_repr, reinterpret_cast<void*>(nf_repr)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr}};
    static PyType_Spec spec = {"native_function", sizeof(NativeFunctionObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(t);
  }();
  return type;
}

}  // namespace detail

using RawMethod = std::function<py::object(py::args, py::kwargs)>;
using BoundMethod = std::function<py::object(const Args&)>;

// Wraps any callable as a function that binds like a Python function.
inline py::object native_function(py::object func, const std::string& name,
                                  const std::string& qualname, const std::string& module,
                                  const char* doc = nullptr, bool abstract = false) {
  PyTypeObject* tp = detail::native_function_type();
  auto* o = PyObject_GC_New(detail::NativeFunctionObject, tp);
  if (!o) throw py::error_already_set();
  o->func = func.release().ptr();
  o->name = py::str(name).release().ptr();
  o->qualname = py::str(qualname).release().ptr();
  o->module = py::str(module).release().ptr();
  o->doc = doc ? py::str(doc).release().ptr() : py::none().release().ptr();
  o->abstract = abstract ? 1 : 0;
  PyObject_GC_Track(o);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(o));
}

// A C++ function taking the call's (args, kwargs) raw. pybind11 treats
// functions named __init__ or __setstate__ as its own constructors, so the
// inner callable gets a name of its own; the NativeFunction carries the real one.
inline py::object raw_function(const std::string& name, RawMethod fn) {
  const std::string inner = "native " + name;
  return py::cpp_function(std::move(fn), py::name(inner.c_str()));
}

// A C++ function whose arguments are bound by `sig` before `fn` runs.
inline py::object bound_function(Signature sig, BoundMethod fn) {
  const std::string name = sig.name();
  return raw_function(name, [sig = std::move(sig), fn = std::move(fn)](
                                py::args args, py::kwargs kwargs) -> py::object {
    return fn(sig.bind(args, kwargs));
  });
}

// A module-level function with bound arguments.
inline void def_function(py::module_& m, const char* name, std::vector<Param> params,
                         BoundMethod fn, const char* doc = nullptr) {
  py::object f = native_function(bound_function(Signature(name, std::move(params)), std::move(fn)),
                                 name, name, py::str(m.attr("__name__")), doc);
  m.attr(name) = f;
}

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
    return add(name, bound_function(Signature(name, std::move(params)), std::move(fn)), doc,
               false);
  }

  // A method that takes (args, kwargs) as they came, instance first.
  ClassBuilder& raw_method(const char* name, RawMethod fn, const char* doc = nullptr) {
    return add(name, raw_function(name, std::move(fn)), doc, false);
  }

  // Marked abstract: ABCMeta lists it in __abstractmethods__ and subclasses
  // must override it to be instantiable.
  ClassBuilder& abstract_method(const char* name, std::vector<Param> params, BoundMethod fn,
                                const char* doc = nullptr) {
    return add(name, bound_function(Signature(name, std::move(params)), std::move(fn)), doc,
               true);
  }

  ClassBuilder& static_method(const char* name, std::vector<Param> params, BoundMethod fn,
                              const char* doc = nullptr) {
    py::object f = function_object(
        name, bound_function(Signature(name, std::move(params)), std::move(fn)), doc, false);
    ns_[name] = builtins_attr("staticmethod")(f);
    return *this;
  }

  ClassBuilder& property(const char* name, BoundMethod getter, const char* doc = nullptr) {
    py::object f = function_object(
        name, bound_function(Signature(name, {arg("self")}), std::move(getter)), doc, false);
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
  py::object function_object(const char* name, py::object fn, const char* doc, bool abstract) {
    return native_function(std::move(fn), name, name_ + "." + name, module_name_, doc, abstract);
  }

  ClassBuilder& add(const char* name, py::object fn, const char* doc, bool abstract) {
    ns_[name] = function_object(name, std::move(fn), doc, abstract);
    return *this;
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

// The class of `name` in an already imported or importable module.
inline py::object import_attr(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

}  // namespace common
