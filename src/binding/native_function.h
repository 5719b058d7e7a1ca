// Functions written in C++ that behave as Python functions: the CPython type
// NativeFunction and the ways to make one.
//
// A NativeFunction is a callable that binds to an instance like a Python
// function does (it is a descriptor) and carries __name__, __qualname__,
// __doc__ and __isabstractmethod__. It also describes itself as a Python
// function does: __signature__ (read by inspect.signature, help() and IDEs),
// __defaults__, __kwdefaults__ and __annotations__, all made from the
// Signature it binds with; raw functions show (*args, **kwargs).
#pragma once

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <structmember.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/pyutil.h"

namespace common {
namespace py = pybind11;

namespace detail {

struct NativeFunctionObject {
  PyObject_HEAD PyObject* func;  // the callable doing the work
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  int abstract;
  std::shared_ptr<const Signature>* sig;  // what `func` binds with; null: raw
  PyObject* signature;                    // its inspect.Signature, made on first use
};

inline void nf_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(o->func);
  Py_CLEAR(o->name);
  Py_CLEAR(o->qualname);
  Py_CLEAR(o->module);
  Py_CLEAR(o->doc);
  Py_CLEAR(o->signature);
  delete o->sig;
  o->sig = nullptr;
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

inline int nf_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  Py_VISIT(o->func);
  Py_VISIT(o->signature);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

inline int nf_clear(PyObject* self) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  Py_CLEAR(o->func);
  Py_CLEAR(o->signature);
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

// ---- self-description ------------------------------------------------------

// A builtin type where the text names one ("int" -> int), else the text.
inline py::object annotation_object(const std::string& text) {
  py::dict builtins = py::module_::import("builtins").attr("__dict__");
  PyObject* found = PyDict_GetItemString(builtins.ptr(), text.c_str());  // borrowed
  if (found && PyType_Check(found)) return py::reinterpret_borrow<py::object>(found);
  return py::str(text);
}

inline py::object make_parameter(py::handle parameter_type, const Param& p) {
  py::dict kw;
  if (p.fallback) kw["default"] = p.fallback;
  if (!p.annotation.empty()) kw["annotation"] = annotation_object(p.annotation);
  const char* kind = p.keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD";
  return parameter_type(p.name, parameter_type.attr(kind), **kw);
}

// The inspect.Signature of a parameter list; (*args, **kwargs) for none.
inline py::object make_signature(const Signature* sig) {
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter_type = inspect.attr("Parameter");
  py::list params;
  py::dict kw;
  if (!sig) {
    params.append(parameter_type("args", parameter_type.attr("VAR_POSITIONAL")));
    params.append(parameter_type("kwargs", parameter_type.attr("VAR_KEYWORD")));
  } else {
    for (const Param& p : sig->params()) params.append(make_parameter(parameter_type, p));
    if (!sig->return_annotation().empty())
      kw["return_annotation"] = annotation_object(sig->return_annotation());
  }
  return inspect.attr("Signature")(params, **kw);
}

inline const Signature* nf_signature_of(PyObject* self) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  return o->sig ? o->sig->get() : nullptr;
}

// Each getter returns a new reference, or null with the error set.
template <class F>
PyObject* nf_describe(F make) {
  try {
    return make().release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

inline PyObject* nf_get_signature(PyObject* self, void*) {
  auto* o = reinterpret_cast<NativeFunctionObject*>(self);
  if (!o->signature) {
    PyObject* made = nf_describe([&] { return make_signature(nf_signature_of(self)); });
    if (!made) return nullptr;
    o->signature = made;
  }
  Py_INCREF(o->signature);
  return o->signature;
}

// The parameters with defaults among the positional or the keyword-only ones.
inline std::vector<const Param*> defaulted(PyObject* self, bool keyword_only) {
  std::vector<const Param*> out;
  if (const Signature* sig = nf_signature_of(self))
    for (const Param& p : sig->params())
      if (p.keyword_only == keyword_only && p.fallback) out.push_back(&p);
  return out;
}

// As a Python function keeps them: a tuple and a dict, or None for none.
inline PyObject* nf_get_defaults(PyObject* self, void*) {
  return nf_describe([&]() -> py::object {
    const auto params = defaulted(self, false);
    if (params.empty()) return py::none();
    py::tuple out(params.size());
    for (size_t i = 0; i < params.size(); ++i) out[i] = params[i]->fallback;
    return out;
  });
}

inline PyObject* nf_get_kwdefaults(PyObject* self, void*) {
  return nf_describe([&]() -> py::object {
    const auto params = defaulted(self, true);
    if (params.empty()) return py::none();
    py::dict out;
    for (const Param* p : params) out[py::str(p->name)] = p->fallback;
    return out;
  });
}

inline PyObject* nf_get_annotations(PyObject* self, void*) {
  return nf_describe([&]() -> py::object {
    const Signature* sig = nf_signature_of(self);
    py::dict out;
    if (!sig) return out;
    for (const Param& p : sig->params())
      if (!p.annotation.empty()) out[py::str(p.name)] = annotation_object(p.annotation);
    if (!sig->return_annotation().empty())
      out["return"] = annotation_object(sig->return_annotation());
    return out;
  });
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
        {"__signature__", nf_get_signature, nullptr, nullptr, nullptr},
        {"__defaults__", nf_get_defaults, nullptr, nullptr, nullptr},
        {"__kwdefaults__", nf_get_kwdefaults, nullptr, nullptr, nullptr},
        {"__annotations__", nf_get_annotations, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(nf_dealloc)},
                                  {Py_tp_traverse, reinterpret_cast<void*>(nf_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void*>(nf_clear)},
                                  {Py_tp_call, reinterpret_cast<void*>(nf_call)},
                                  {Py_tp_descr_get, reinterpret_cast<void*>(nf_get)},
                                  {Py_tp_repr, reinterpret_cast<void*>(nf_repr)},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {0, nullptr}};
    // Made only by native_function(): an instance from Python would have null
    // fields, so the type refuses to be called, as builtin function types do.
    static PyType_Spec spec = {
        "native_function", sizeof(NativeFunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(t);
  }();
  return type;
}

}  // namespace detail

using RawMethod = std::function<py::object(py::args, py::kwargs)>;

using SignaturePtr = std::shared_ptr<const Signature>;

// Wraps any callable as a function that binds like a Python function. `sig`
// is the parameter list `func` binds with, shown by inspect; without one the
// function shows (*args, **kwargs).
inline py::object native_function(py::object func, const std::string& name,
                                  const std::string& qualname, const std::string& module,
                                  const char* doc = nullptr, bool abstract = false,
                                  SignaturePtr sig = nullptr) {
  PyTypeObject* tp = detail::native_function_type();
  auto holder = sig ? std::make_unique<SignaturePtr>(std::move(sig)) : nullptr;
  auto* o = PyObject_GC_New(detail::NativeFunctionObject, tp);
  if (!o) throw py::error_already_set();
  o->func = func.release().ptr();
  o->name = py::str(name).release().ptr();
  o->qualname = py::str(qualname).release().ptr();
  o->module = py::str(module).release().ptr();
  o->doc = doc ? py::str(doc).release().ptr() : py::none().release().ptr();
  o->abstract = abstract ? 1 : 0;
  o->sig = holder.release();
  o->signature = nullptr;
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
inline py::object bound_function(SignaturePtr sig, BoundMethod fn) {
  const std::string name = sig->name();
  return raw_function(
      name,
      [sig = std::move(sig), fn = std::move(fn)](py::args args, py::kwargs kwargs) -> py::object {
        return fn(sig->bind(args, kwargs));
      });
}

inline py::object bound_function(Signature sig, BoundMethod fn) {
  return bound_function(std::make_shared<const Signature>(std::move(sig)), std::move(fn));
}

// A NativeFunction binding `params`, which it also shows as its signature.
inline py::object bound_native(const char* name, std::vector<Param> params, BoundMethod fn,
                               const std::string& qualname, const std::string& module,
                               const char* doc = nullptr, bool abstract = false) {
  auto sig = std::make_shared<const Signature>(name, std::move(params));
  fn.check(*sig, module + "." + qualname);
  py::object impl = bound_function(sig, std::move(fn));
  return native_function(std::move(impl), name, qualname, module, doc, abstract, std::move(sig));
}

// A module-level function with bound arguments.
inline void def_function(py::module_& m, const char* name, std::vector<Param> params,
                         BoundMethod fn, const char* doc = nullptr) {
  m.attr(name) =
      bound_native(name, std::move(params), std::move(fn), name, py::str(m.attr("__name__")), doc);
}

}  // namespace common
