// The one place that knows PyTorch versions apart (1.13 on Debian 12, 2.x
// from wheels). Everything version-dependent goes through here.
#pragma once

#include <pybind11/pybind11.h>
#include <torch/version.h>

#define COMMON_TORCH_AT_LEAST(major, minor) \
  (TORCH_VERSION_MAJOR > (major) ||         \
   (TORCH_VERSION_MAJOR == (major) && TORCH_VERSION_MINOR >= (minor)))

namespace compat {
namespace py = pybind11;

// torch.amp.GradScaler(device=...) exists from 2.3; before, the CUDA scaler,
// switched off on devices other than CUDA (where it would only warn).
inline py::object grad_scaler(py::handle device) {
  py::module_ torch = py::module_::import("torch");
#if COMMON_TORCH_AT_LEAST(2, 3)
  return torch.attr("amp").attr("GradScaler")(py::arg("device") = device);
#else
  const std::string type = py::str(torch.attr("device")(device).attr("type"));
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

}  // namespace compat
