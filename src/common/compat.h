// The one place that knows PyTorch versions apart (1.13 on Debian 12, 2.x
// from wheels). Everything version-dependent goes through here.
#pragma once

#include <pybind11/pybind11.h>
#include <torch/version.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "pyutil.h"
#include "unpickle.h"

#define COMMON_TORCH_AT_LEAST(major, minor) \
  (TORCH_VERSION_MAJOR > (major) ||         \
   (TORCH_VERSION_MAJOR == (major) && TORCH_VERSION_MINOR >= (minor)))

namespace compat {
namespace py = pybind11;

// torch.amp.GradScaler(device=...) exists from 2.3; before, the CUDA scaler,
// switched off on devices other than CUDA (where it would only warn). Off on
// the CPU on every version, as CPU epochs run in float32 (see fp16_autocast):
// CPU checkpoints then hold the same empty scaler state on every version.
inline py::object grad_scaler(py::handle device) {
  py::module_ torch = py::module_::import("torch");
  const std::string type = py::str(torch.attr("device")(device).attr("type"));
#if COMMON_TORCH_AT_LEAST(2, 3)
  return torch.attr("amp").attr("GradScaler")(py::arg("device") = device,
                                              py::arg("enabled") = (type != "cpu"));
#else
  return py::module_::import("torch.cuda.amp")
      .attr("GradScaler")(py::arg("enabled") = (type == "cuda"));
#endif
}

// Base class of the learning-rate schedulers (renamed in 2.0).
inline py::object lr_scheduler_base() {
  py::module_ sched = py::module_::import("torch.optim.lr_scheduler");
#if COMMON_TORCH_AT_LEAST(2, 0)
  return sched.attr("LRScheduler");
#else
  return sched.attr("_LRScheduler");
#endif
}

namespace detail {

// Whether torch.autocast(device_type, dtype=torch.float16) really turns
// autocast on. PyTorch 1.13 has no float16 autocast on the CPU: its
// constructor warns and disables itself, and entering it then raises.
inline bool probe_fp16_autocast(const std::string& device_type) {
  py::module_ torch = py::module_::import("torch");
  py::module_ warnings = py::module_::import("warnings");
  py::object quiet = warnings.attr("catch_warnings")();
  quiet.attr("__enter__")();
  bool enabled = false;
  try {
    warnings.attr("simplefilter")("ignore");
    py::object ctx = torch.attr("autocast")(py::arg("device_type") = device_type,
                                            py::arg("dtype") = torch.attr("float16"));
    enabled = py::bool_(py::getattr(ctx, "_enabled", py::bool_(false)));
  } catch (py::error_already_set&) {
    enabled = false;  // an unknown device type has no autocast at all
  }
  quiet.attr("__exit__")(py::none(), py::none(), py::none());
  return enabled;
}

}  // namespace detail

// True where float16 autocast exists for the device type ("cuda", "cpu", ...).
// Probed once per device type and process.
inline bool fp16_autocast_supported(const std::string& device_type) {
  static std::mutex lock;
  static std::map<std::string, bool> known;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = known.find(device_type);
    if (it != known.end()) return it->second;
  }
  const bool supported = detail::probe_fp16_autocast(device_type);
  std::lock_guard<std::mutex> guard(lock);
  known[device_type] = supported;
  return supported;
}

// A context manager for a training forward pass: float16 autocast where the
// device has it, else one that does nothing (no warning, no error). CPU epochs
// run in full precision on every version: PyTorch 1.13 has no float16 autocast
// there, and 2.6's took 8 times as long per training step as float32 (a small
// speech model, benchmarks/cpu_precision.py).
inline py::object fp16_autocast(const std::string& device_type) {
  if (device_type != "cpu" && fp16_autocast_supported(device_type)) {
    py::module_ torch = py::module_::import("torch");
    return torch.attr("autocast")(py::arg("device_type") = device_type,
                                  py::arg("dtype") = torch.attr("float16"));
  }
  return py::module_::import("contextlib").attr("nullcontext")();
}

// The device type ("cuda", "cpu") of a device string such as "cuda:1".
inline std::string device_type(py::handle device) {
  return py::str(py::module_::import("torch").attr("device")(device).attr("type"));
}

namespace detail {

// Whether torch.load(..., weights_only=True) reads a Python float: PyTorch
// 1.13's weights-only unpickler refuses them ("Unsupported operand 71").
inline bool probe_weights_only_floats() {
  py::module_ torch = py::module_::import("torch");
  try {
    py::object buffer = py::module_::import("io").attr("BytesIO")();
    py::dict probe;
    probe["x"] = py::float_(0.5);
    torch.attr("save")(probe, buffer);
    buffer.attr("seek")(0);
    py::object back = torch.attr("load")(buffer, py::arg("weights_only") = true);
    return py::float_(back[py::str("x")]).cast<double>() == 0.5;
  } catch (py::error_already_set&) {
    return false;
  }
}

}  // namespace detail

// True where the weights-only loader reads floats. Probed once per process;
// no lock is held while probing (the probe runs Python, which may switch
// threads), so two threads may both probe, with the same answer.
inline bool weights_only_reads_floats() {
  static std::atomic<int> known{-1};
  int reads = known.load();
  if (reads < 0) {
    reads = detail::probe_weights_only_floats() ? 1 : 0;
    known.store(reads);
  }
  return reads == 1;
}

namespace detail {

// PyTorch 1.13's zip checkpoint container, read the way its torch.load reads
// it, with the pickle in data.pkl interpreted by the restricted reader.
// Storages are read from data/<key> and placed by `map_location` as
// torch.load places them.
class ZipCheckpoint {
 public:
  ZipCheckpoint(py::handle path, py::handle map_location)
      : torch_(py::module_::import("torch")),
        serialization_(torch_.attr("serialization")),
        restore_(serialization_.attr("_get_restore_location")(map_location)) {
    py::object file = py::module_::import("builtins").attr("open")(path, "rb");
    bool zip = false;
    try {
      zip = py::bool_(serialization_.attr("_is_zipfile")(file));
    } catch (py::error_already_set&) {
      file.attr("close")();
      throw;
    }
    file.attr("close")();
    if (!zip)
      common::raise(py::module_::import("pickle").attr("UnpicklingError"),
                    "not a checkpoint in PyTorch's zip format");
    reader_ = torch_.attr("_C").attr("PyTorchFileReader")(
        py::module_::import("os").attr("fspath")(path));
  }

  py::object load() {
    py::dict allowed = py::module_::import("torch._weights_only_unpickler")
                           .attr("_get_allowed_globals")();
    common::RestrictedUnpickler unpickler(
        reader_.attr("get_record")("data.pkl"), allowed, torch_.attr("nn").attr("Parameter"),
        [this](py::handle pid) { return storage(pid); });
    py::object out = unpickler.load();
    torch_.attr("_utils").attr("_validate_loaded_sparse_tensors")();
    return out;
  }

 private:
  // pid: ("storage", storage type, key, location, element count)
  py::object storage(py::handle pid) {
    py::tuple id = py::reinterpret_borrow<py::tuple>(pid);
    if (id.size() != 5) common::raise(PyExc_RuntimeError, "malformed storage id");
    py::object type = id[1], key = id[2], numel = id[4];
    py::object location = serialization_.attr("_maybe_decode_ascii")(id[3]);
    if (!PyUnicode_CheckExact(key.ptr()) || !PyLong_CheckExact(numel.ptr()))
      common::raise(PyExc_RuntimeError, "malformed storage id");
    if (loaded_.contains(key)) return loaded_[key];
    py::object untyped = torch_.attr("UntypedStorage");
    py::object dtype = type.is(untyped) ? torch_.attr("uint8") : type.attr("dtype");
    py::object nbytes = numel * torch_.attr("_utils").attr("_element_size")(dtype);
    py::object raw = reader_.attr("get_storage_from_record")(py::str("data/") + py::str(key),
                                                             nbytes, untyped)
                         .attr("storage")()
                         .attr("untyped")();
    py::object typed = torch_.attr("storage").attr("TypedStorage")(
        py::arg("wrap_storage") = restore_(raw, location), py::arg("dtype") = dtype);
    loaded_[key] = typed;
    return typed;
  }

  py::module_ torch_;
  py::object serialization_;
  py::object restore_;
  py::object reader_;
  py::dict loaded_;
};

}  // namespace detail

// A checkpoint read without running any code it may hold, every tensor
// placed by `map_location`: PyTorch's weights-only torch.load where it reads
// floats; elsewhere (1.13) the restricted reader, which admits what the
// weights-only mode admits plus floats. torch.load is not handed a
// restricted pickle_module instead: 1.13 silently swaps it for pickle.
inline py::object load_checkpoint(py::handle path, py::handle map_location) {
  if (weights_only_reads_floats()) {
    py::module_ torch = py::module_::import("torch");
    return torch.attr("load")(path, py::arg("map_location") = map_location,
                              py::arg("weights_only") = true);
  }
  return detail::ZipCheckpoint(path, map_location).load();
}

}  // namespace compat
