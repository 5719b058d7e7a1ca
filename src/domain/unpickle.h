// A restricted pickle reader for checkpoint records.
//
// It admits exactly what PyTorch's weights-only loader admits (plain lists,
// tuples, dicts and empty sets, None, booleans, integers, strings, tensors and
// parameters rebuilt by torch's own functions, storages through persistent
// ids) plus floats, which PyTorch 1.13's weights-only loader refuses. Every
// other opcode, every global outside the allowed table and every call of
// anything else is refused before it runs, with pickle.UnpicklingError. The
// reader interprets the opcodes itself: no Python unpickler is involved, so
// nothing can swap a permissive one in.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/pyutil.h"
#include "binding/text.h"

namespace common {
namespace unpickle {
namespace py = pybind11;

class RestrictedUnpickler {
 public:
  using PersistentLoad = std::function<py::object(py::handle pid)>;

  // `data` is the pickle; `allowed` maps "module.name" to the object a GLOBAL
  // may name; `parameter` is the one class NEWOBJ may build; `encoding` is
  // applied to SHORT_BINSTRING ("bytes" keeps them as bytes).
  RestrictedUnpickler(py::bytes data, py::dict allowed, py::object parameter,
                      PersistentLoad persistent_load, std::string encoding = "utf-8")
      : data_(std::move(data)),
        allowed_(std::move(allowed)),
        parameter_(std::move(parameter)),
        persistent_load_(std::move(persistent_load)),
        encoding_(std::move(encoding)) {
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data_.ptr(), &buffer, &size) < 0) rethrow();
    begin_ = buffer;
    size_ = static_cast<size_t>(size);
  }

  py::object load() {
    for (size_t ops = 1;; ++ops) {
      if (ops % 65536 == 0 && PyErr_CheckSignals() != 0) rethrow();
      const unsigned char op = byte();
      if (op == '.') return pop();  // STOP
      step(op);
    }
  }

 private:
  // ---- input -------------------------------------------------------------

  const char* take(size_t n) {
    if (n > size_ - pos_) refuse("pickle data was truncated");
    const char* p = begin_ + pos_;
    pos_ += n;
    return p;
  }
  unsigned char byte() { return static_cast<unsigned char>(*take(1)); }
  uint32_t u16() {
    const auto* p = reinterpret_cast<const unsigned char*>(take(2));
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
  }
  uint32_t u32() {
    const auto* p = reinterpret_cast<const unsigned char*>(take(4));
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  double big_endian_double() {
    const auto* p = reinterpret_cast<const unsigned char*>(take(8));
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
    double out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
  }
  std::string line() {
    const void* end = std::memchr(begin_ + pos_, '\n', size_ - pos_);
    if (!end) refuse("pickle data was truncated");
    const size_t n = static_cast<size_t>(static_cast<const char*>(end) - (begin_ + pos_));
    std::string out(take(n), n);
    take(1);
    return out;
  }

  // ---- the stack ---------------------------------------------------------

  [[noreturn]] static void refuse(const py::handle& message) {
    PyErr_SetObject(py::module_::import("pickle").attr("UnpicklingError").ptr(), message.ptr());
    rethrow();
  }
  [[noreturn]] static void refuse(const char* message) { refuse(py::str(message)); }

  void push(py::object v) { stack_.push_back(std::move(v)); }
  py::object pop() {
    if (stack_.empty()) refuse("unpickling stack underflow");
    py::object v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  py::object& top() {
    if (stack_.empty()) refuse("unpickling stack underflow");
    return stack_.back();
  }
  std::vector<py::object> pop_mark() {
    if (metastack_.empty()) refuse("could not find MARK");
    std::vector<py::object> items = std::move(stack_);
    stack_ = std::move(metastack_.back());
    metastack_.pop_back();
    return items;
  }
  static py::tuple as_tuple(const std::vector<py::object>& items) {
    py::tuple out(items.size());
    for (size_t i = 0; i < items.size(); ++i) out[i] = items[i];
    return out;
  }
  py::tuple pop_tuple(size_t n) {
    if (stack_.size() < n) refuse("unpickling stack underflow");
    std::vector<py::object> items(stack_.end() - static_cast<std::ptrdiff_t>(n), stack_.end());
    stack_.resize(stack_.size() - n);
    return as_tuple(items);
  }

  // ---- the risky opcodes -------------------------------------------------

  void global() {
    const std::string module = line(), name = line();
    const std::string full = module + "." + name;
    PyObject* found = PyDict_GetItemString(allowed_.ptr(), full.c_str());  // borrowed
    if (!found) refuse(text("Unsupported class ", py::str(full)));
    push(py::reinterpret_borrow<py::object>(found));
  }

  bool allowed_value(py::handle v) const {
    for (auto kv : allowed_)
      if (kv.second.ptr() == v.ptr()) return true;
    return false;
  }

  static py::tuple arguments(py::handle args) {
    if (!PyTuple_Check(args.ptr())) refuse("call arguments must be a tuple");
    return py::reinterpret_borrow<py::tuple>(args);
  }

  void reduce() {
    py::object args = pop();
    py::object& func = top();
    if (!allowed_value(func))
      refuse(text("Trying to call reduce for unrecognized function ", func));
    func = steal(PyObject_Call(func.ptr(), arguments(args).ptr(), nullptr));
  }

  void newobj() {
    py::object args = pop();
    py::object cls = pop();
    if (cls.ptr() != parameter_.ptr())
      refuse(text("Trying to instantiate unsupported class ", cls));
    push(steal(PyObject_Call(cls.ptr(), arguments(args).ptr(), nullptr)));
  }

  void build() {
    py::object state = pop();
    py::object& inst = top();
    py::module_ torch = py::module_::import("torch");
    py::handle type = py::type::handle_of(inst);
    if (type.is(torch.attr("Tensor"))) {
      steal(PyObject_Call(inst.attr("set_").ptr(), py::tuple(state).ptr(), nullptr));
    } else if (type.is(parameter_)) {
      inst.attr("__setstate__")(state);
    } else if (type.is(ordered_dict())) {
      inst.attr("__dict__").attr("update")(state);
    } else {
      refuse(text("Can only build Tensor, parameter or dict objects, but got ", type));
    }
  }

  static py::object ordered_dict() {
    return py::module_::import("collections").attr("OrderedDict");
  }

  // Items go into plain dicts and ordered dicts only.
  py::object& mapping_on_top() {
    py::object& target = top();
    py::handle type = py::type::handle_of(target);
    if (!type.is(py::handle(reinterpret_cast<PyObject*>(&PyDict_Type))) && !type.is(ordered_dict()))
      refuse(text("Can only set items of dicts, but got ", type));
    return target;
  }

  py::object& list_on_top(const char* what) {
    py::object& target = top();
    if (!PyList_CheckExact(target.ptr()))
      refuse(text("Can only ", what, " lists, but got ", py::type::handle_of(target)));
    return target;
  }

  void persistent_id() {
    py::object pid = pop();
    if (!PyTuple_CheckExact(pid.ptr()) || PyTuple_GET_SIZE(pid.ptr()) == 0)
      refuse("persistent_load id must be a tuple naming a storage");
    py::object kind = py::reinterpret_borrow<py::tuple>(pid)[0];
    if (PyBytes_Check(kind.ptr())) kind = kind.attr("decode")("ascii");
    if (!PyUnicode_Check(kind.ptr()) || py::str(kind).cast<std::string>() != "storage")
      refuse(text("Only persistent_load of storage is allowed, but got ", kind));
    push(persistent_load_(pid));
  }

  // ---- values ------------------------------------------------------------

  py::object unicode(size_t n) {
    const char* p = take(n);
    return steal(PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "surrogatepass"));
  }

  py::object short_binstring() {
    const size_t n = byte();
    const char* p = take(n);
    py::bytes raw(p, n);
    if (encoding_ == "bytes") return raw;
    return raw.attr("decode")(encoding_, "strict");
  }

  py::object long1() {
    const size_t n = byte();
    py::bytes raw(take(n), n);
    return py::module_::import("builtins")
        .attr("int")
        .attr("from_bytes")(raw, "little", py::arg("signed") = true);
  }

  void memo_get(uint32_t idx) {
    auto it = memo_.find(idx);
    if (it == memo_.end()) refuse(text("Memo value not found at index ", py::int_(idx)));
    push(it->second);
  }

  void memo_put(uint32_t idx) {
    py::object v = top();
    memo_[idx] = std::move(v);
  }

  void step(unsigned char op) {
    switch (op) {
      case 'c': return global();
      case 0x81: return newobj();
      case 'R': return reduce();
      case 'b': return build();
      case 'a': {
        py::object v = pop();
        list_on_top("append to").attr("append")(v);
        return;
      }
      case 'e': {
        py::tuple items = as_tuple(pop_mark());
        list_on_top("extend").attr("extend")(items);
        return;
      }
      case 's': {
        py::object v = pop(), k = pop();
        py::object& target = mapping_on_top();
        if (PyObject_SetItem(target.ptr(), k.ptr(), v.ptr()) < 0) rethrow();
        return;
      }
      case 'u': {
        std::vector<py::object> items = pop_mark();
        if (items.size() % 2) refuse("odd number of items for SETITEMS");
        py::object& target = mapping_on_top();
        for (size_t i = 0; i < items.size(); i += 2)
          if (PyObject_SetItem(target.ptr(), items[i].ptr(), items[i + 1].ptr()) < 0) rethrow();
        return;
      }
      case '(':
        metastack_.push_back(std::move(stack_));
        stack_.clear();
        return;
      case 't': return push(as_tuple(pop_mark()));
      case 0x85: return push(pop_tuple(1));
      case 0x86: return push(pop_tuple(2));
      case 0x87: return push(pop_tuple(3));
      case 'N': return push(py::none());
      case 0x89: return push(py::bool_(false));
      case 0x88: return push(py::bool_(true));
      case ')': return push(py::tuple());
      case ']': return push(py::list());
      case '}': return push(py::dict());
      case 0x8f: return push(steal(PySet_New(nullptr)));
      case 'J': return push(py::int_(static_cast<int32_t>(u32())));
      case 'K': return push(py::int_(byte()));
      case 'M': return push(py::int_(u16()));
      case 'G': return push(py::float_(big_endian_double()));
      case 'X': return push(unicode(u32()));
      case 'U': return push(short_binstring());
      case 0x8a: return push(long1());
      case 'Q': return persistent_id();
      case 'h': return memo_get(byte());
      case 'j': return memo_get(u32());
      case 'q': return memo_put(byte());
      case 'r': return memo_put(u32());
      case 0x80: take(1); return;  // PROTO: the version is not needed
      default: refuse(text("Unsupported operand ", py::int_(op)));
    }
  }

  py::bytes data_;
  py::dict allowed_;
  py::object parameter_;
  PersistentLoad persistent_load_;
  std::string encoding_;
  const char* begin_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  std::vector<py::object> stack_;
  std::vector<std::vector<py::object>> metastack_;
  std::unordered_map<uint32_t, py::object> memo_;
};

}  // namespace unpickle
}  // namespace common

namespace unpickle = common::unpickle;
