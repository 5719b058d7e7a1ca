// The one place that knows PyTorch versions apart (1.13 on Debian 12, 2.x
// from wheels). Everything version-dependent goes through here.
#pragma once

#include <pybind11/pybind11.h>
#include <torch/version.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "binding/pyutil.h"

#define COMMON_TORCH_AT_LEAST(major, minor) \
  (TORCH_VERSION_MAJOR > (major) ||         \
   (TORCH_VERSION_MAJOR == (major) && TORCH_VERSION_MINOR >= (minor)))

namespace common {
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

// A training forward pass under bfloat16 autocast on the CPU where the
// configuration asks for it (training.cpu_bfloat16); else as fp16_autocast.
// Worth it only where the CPU multiplies in bfloat16 natively (the products
// ran 4 times as fast as in float32 on AVX512-BF16): the caller decides.
inline py::object training_autocast(const std::string& device_type, bool cpu_bfloat16) {
  if (device_type == "cpu" && cpu_bfloat16) {
    py::module_ torch = py::module_::import("torch");
    return torch.attr("autocast")(py::arg("device_type") = device_type,
                                  py::arg("dtype") = torch.attr("bfloat16"));
  }
  return fp16_autocast(device_type);
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

}  // namespace compat
}  // namespace common

namespace compat = common::compat;
