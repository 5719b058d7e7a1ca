// Steps the language-model and speech trainers take the same way, on the
// trainer's own attributes and the trainer module's `torch` (looked up at the
// call, so a patched module global is what runs).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/bind.h"
#include "binding/compat.h"
#include "binding/pyutil.h"
#include "binding/settings.h"

namespace common {
namespace trainloop {
namespace py = pybind11;

// The base trainer's constructor parameters, which the speech trainer's
// constructors take as they stand.
inline std::vector<Param> trainer_init_params() {
  return {arg("self"),
          arg("model").annotated("nn.Module"),
          arg("tokenizer").annotated("ZelTokenizer"),
          arg("config").annotated("dict"),
          arg("run_name").annotated("str"),
          arg("config_file").annotated("str"),
          arg("device", py::none()).annotated("Optional[str]")};
}

// The names save_checkpoint writes under the experiment's checkpoints folder.
constexpr const char* kLastCheckpoint = "checkpoint-last-epoch-model.pth";
constexpr const char* kBestCheckpoint = "checkpoint-best-metric-model.pth";

// config["training"]["gradient_accumulation_steps"], read at every use so a
// change to the configuration applies at once.
inline py::object accumulation_steps(py::handle self) {
  py::object training = item(self.attr("config"), "training");
  py::object g = item(training, "gradient_accumulation_steps");
  settings::accumulation_steps(g);
  return g;
}

// The context of a training forward pass on `device_type`: float16 autocast
// where the device has it, bfloat16 on the CPU with
// config["training"]["cpu_bfloat16"] true, else full precision.
inline py::object forward_precision(py::handle self, const std::string& device_type) {
  py::object training = item(self.attr("config"), "training");
  return compat::training_autocast(device_type,
                                   truthy(get(training, "cpu_bfloat16", py::bool_(false))));
}

// count % G == 0, G read anew
inline bool window_ends(py::handle self, int64_t count) {
  py::object g = accumulation_steps(self);
  if (compare(g, py::int_(0), Py_EQ)) settings::zero_accumulation();
  return compare(mod(py::int_(count), g), py::int_(0), Py_EQ);
}

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

namespace common {
namespace trainloop {

inline py::object attr_or_none(py::handle o, const char* name) {
  return py::getattr(o, name, py::none());
}

// The model must fit the tokenizer and the features it is summarised and fed
// with; a mismatch would fail later inside the model as an index or shape
// error. Values the objects do not carry are not compared.
inline void check_model_fits(py::handle model, py::handle tokenizer, py::handle config) {
  if (!PyDict_CheckExact(config.ptr())) return;  // the base's argument check reports it
  py::object model_classes = attr_or_none(model, "num_classes");
  py::object tokenizer_classes = attr_or_none(tokenizer, "num_classes");
  if (!model_classes.is_none() && !tokenizer_classes.is_none() &&
      !model_classes.equal(tokenizer_classes))
    common::raise(PyExc_ValueError, "model num_classes (" + std::string(py::str(model_classes)) +
                                        ") must equal the tokenizer's num_classes (" +
                                        std::string(py::str(tokenizer_classes)) + ")");
  py::object input_dim = attr_or_none(model, "input_dim");
  py::object data = py::reinterpret_borrow<py::dict>(config).attr("get")("data");
  if (input_dim.is_none() || !PyDict_Check(data.ptr())) return;
  py::object feats = data.attr("get")("num_feats");
  if (!feats.is_none() && !feats.equal(input_dim))
    common::raise(PyExc_ValueError, "data.num_feats (" + std::string(py::str(py::repr(feats))) +
                                        ") must equal the model's input_dim (" +
                                        std::string(py::str(input_dim)) + ")");
}

// A loss pass over no target token would divide by zero: say why.
[[noreturn]] inline void no_tokens(const char* when) {
  common::raise(PyExc_ZeroDivisionError,
                std::string("float division by zero: ") + when +
                    " (an empty loader, or transcript lengths that sum to 0)");
}

// ce / average characters per token, when the dataset counted no token.
[[noreturn]] inline void no_chars_per_token() {
  common::raise(PyExc_ZeroDivisionError,
                "float division by zero: the dataset's get_avg_chars_per_token() is 0 (its "
                "transcripts hold no token)");
}

}  // namespace trainloop
}  // namespace common

namespace trainloop = common::trainloop;
