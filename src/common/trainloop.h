// Steps the language-model and speech trainers take the same way, on the
// trainer's own attributes and the trainer module's `torch` (looked up at the
// call, so a patched module global is what runs).
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyutil.h"

namespace common {
namespace trainloop {
namespace py = pybind11;

inline bool is_plateau(py::handle torch, py::handle scheduler) {
  py::object plateau = torch.attr("optim").attr("lr_scheduler").attr("ReduceLROnPlateau");
  const int r = PyObject_IsInstance(scheduler.ptr(), plateau.ptr());
  if (r < 0) common::rethrow();
  return r == 1;
}

// The end of an accumulation window: the scaler's optimizer step, the
// scheduler's step (a plateau scheduler waits for the epoch's validation
// metric instead), the scaler's update and zero_grad.
inline void close_window(py::handle self, py::handle torch) {
  self.attr("scaler").attr("step")(self.attr("optimizer"));
  py::object scheduler = self.attr("scheduler");
  if (!is_plateau(torch, scheduler)) scheduler.attr("step")();
  self.attr("scaler").attr("update")();
  self.attr("optimizer").attr("zero_grad")();
}

}  // namespace trainloop
}  // namespace common
