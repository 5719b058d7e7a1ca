// Test-only extension: the version shims of binding/compat.h.
#include <pybind11/pybind11.h>
#include <torch/extension.h>

#include "binding/compat.h"
#include "domain/checkpoint.h"

namespace py = pybind11;

PYBIND11_MODULE(_compatcheck, m) {
  m.def("grad_scaler", [](py::object device) { return compat::grad_scaler(device); });
  m.def("fp16_autocast", [](const std::string& t) { return compat::fp16_autocast(t); });
  m.def("fp16_autocast_supported",
        [](const std::string& t) { return compat::fp16_autocast_supported(t); });
  m.def("device_type", [](py::object device) { return compat::device_type(device); });
  m.def("weights_only_reads_floats", [] { return compat::weights_only_reads_floats(); });
  m.def("load_checkpoint", [](py::object path, py::object map_location) {
    return checkpoint::load_checkpoint(path, map_location);
  });
}
