// Trainer framework: BaseTrainer, the abstract base of the trainers. It owns
// the device choice, the gradient scaler, the experiment directory with its
// configuration copy and model summary, optional experiment tracking, the
// metric history and console metric tree, attention heat-maps, generated-text
// files, and saving and restoring checkpoints.
//
// Every dependency is a module attribute looked up at call time, so a patched
// `torch`, `plt`, `summary` or `json` is the one used. The tracking client is
// imported only when tracking is switched on, through sys.modules each time.
#include <torch/extension.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/compat.h"
#include "binding/pyutil.h"
#include "binding/text.h"
#include "domain/checkpoint.h"
#include "domain/trainloop.h"

namespace py = pybind11;
using common::arg;
using common::Args;
using common::Param;
using common::say;
using common::steal;
using common::truthy;

namespace {

constexpr const char* kModule = "corvantis.trainers.tolvery";

constexpr common::Globals global{kModule};

using common::get;
using common::item;

// a / b, as the path-join operator of pathlib.
py::object join(py::handle a, const char* b) { return common::div(a, py::str(b)); }

py::object join(py::handle a, py::handle b) { return common::div(a, b); }

bool is_instance(py::handle obj, py::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) common::rethrow();
  return r == 1;
}

py::object format(py::handle value, const char* spec) {
  return common::builtins_attr("format")(value, spec);
}

// ---- experiment tracking -------------------------------------------------

// The tracking client, found again at every use so a stand-in module works.
py::object tracker() { return py::module_::import("wandb"); }

void require_tracker() {
  try {
    tracker();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    py::raise_from(e, PyExc_ImportError,
                   "Experiment tracking (training.use_wandb) needs the wandb client, which is "
                   "not installed; install wandb or set training.use_wandb to false");
    throw py::error_already_set();
  }
}

bool tracking(py::handle self) { return truthy(self.attr("use_wandb")); }

// ---- construction --------------------------------------------------------

// Six results of _init_experiment, unpacked as a tuple assignment unpacks them.
std::vector<py::object> unpack(py::handle value, size_t n) {
  std::vector<py::object> out;
  for (py::handle v : py::iter(value)) {
    if (out.size() == n)
      common::raise_text(PyExc_ValueError, "too many values to unpack (expected ", py::int_(n),
                         ")");
    out.push_back(py::reinterpret_borrow<py::object>(v));
  }
  if (out.size() < n)
    common::raise_text(PyExc_ValueError, "not enough values to unpack (expected ", py::int_(n),
                       ", got ", py::int_(out.size()), ")");
  return out;
}

// The value kinds a checkpoint holds and every loader reads back: a
// configuration is stored in every checkpoint, so it may hold nothing else.
bool plain_value(py::handle v) {
  PyObject* p = v.ptr();
  return p == Py_None || PyBool_Check(p) || PyLong_CheckExact(p) || PyFloat_CheckExact(p) ||
         PyUnicode_CheckExact(p) || PyDict_CheckExact(p) || PyList_CheckExact(p) ||
         PyTuple_CheckExact(p);
}

py::str qualified_type_name(py::handle v) {
  py::handle type = py::type::handle_of(v);
  py::str module = type.attr("__module__"), name = type.attr("__qualname__");
  if (module.equal(py::str("builtins"))) return name;
  return py::str(module) + py::str(".") + name;
}

constexpr size_t kConfigDepth = 64;
// values counted once per reference, so that a checkpoint's bounds on shared
// references always admit the configuration
constexpr uint64_t kConfigExpanded = 100000;

// Refuses a configuration that a checkpoint could not hold as plain values
// (NumPy scalars, paths, arbitrary objects), that contains itself, or whose
// shared references expand beyond bounds, naming the key path. Walked without
// recursion, each container once.
void check_config(py::handle config) {
  struct Open {
    py::object value, path;
    std::vector<std::pair<py::object, py::object>> items;  // (key, value) still to visit
    uint64_t weight = 1;  // values reached so far, counting shared ones at every reference
  };
  std::vector<Open> stack;
  auto add_weight = [](Open& parent, uint64_t weight, const py::object& path) {
    parent.weight += weight;
    if (parent.weight > kConfigExpanded)
      common::raise_text(PyExc_ValueError, "Configuration value ", path,
                         " shares references that expand to more than ", py::int_(kConfigExpanded),
                         " values; a checkpoint cannot hold it");
  };
  std::unordered_map<PyObject*, uint64_t> done;  // checked already, with its weight
  auto enter = [&](py::handle value, py::object path) {
    for (const Open& o : stack)
      if (o.value.is(value))
        common::raise_text(PyExc_ValueError, "Configuration value ", path,
                           " contains itself; a checkpoint cannot hold it");
    if (stack.size() == kConfigDepth)
      common::raise_text(PyExc_ValueError, "Configuration value ", path, " is nested more than ",
                         py::int_(kConfigDepth), " levels deep");
    Open o{py::reinterpret_borrow<py::object>(value), std::move(path), {}};
    if (PyDict_CheckExact(value.ptr())) {
      for (auto kv : py::reinterpret_borrow<py::dict>(value))
        o.items.emplace_back(py::reinterpret_borrow<py::object>(kv.first),
                             py::reinterpret_borrow<py::object>(kv.second));
    } else {
      py::list seq = py::list(py::reinterpret_borrow<py::object>(value));
      for (size_t i = 0; i < seq.size(); ++i) o.items.emplace_back(py::int_(i), seq[i]);
    }
    std::reverse(o.items.begin(), o.items.end());
    stack.push_back(std::move(o));
  };
  enter(config, py::str("config"));
  while (!stack.empty()) {
    Open& o = stack.back();
    if (o.items.empty()) {
      const uint64_t weight = o.weight;
      done[o.value.ptr()] = weight;
      py::object path = o.path;
      stack.pop_back();
      if (!stack.empty()) add_weight(stack.back(), weight, path);
      continue;
    }
    auto [key, value] = std::move(o.items.back());
    o.items.pop_back();
    const bool in_dict = PyDict_CheckExact(o.value.ptr());
    py::object path = o.path + py::str("[") + py::repr(key) + py::str("]");
    if (in_dict && (!plain_value(key) || PyDict_CheckExact(key.ptr()) ||
                    PyList_CheckExact(key.ptr()) || PyTuple_CheckExact(key.ptr())))
      common::raise_text(PyExc_TypeError, "Configuration key ", py::repr(key), " in ", o.path,
                         " has type ", qualified_type_name(key),
                         ", which a checkpoint cannot hold; use a str, int, float, bool or None");
    if (!plain_value(value))
      common::raise_text(PyExc_TypeError, "Configuration value ", path, " has type ",
                         qualified_type_name(value),
                         ", which a checkpoint cannot hold; use a plain int, float, str, bool, "
                         "None, list, tuple or dict");
    const bool container = PyDict_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr()) ||
                           PyTuple_CheckExact(value.ptr());
    auto seen = done.find(value.ptr());
    if (container && seen == done.end())
      enter(value, path);
    else
      add_weight(o, container ? seen->second : 1, path);
  }
}

constexpr const char* kPathNames[] = {"expt_root", "checkpoint_dir",  "attn_dir",
                                      "text_dir",  "best_model_path", "last_model_path"};

std::vector<Param> init_params() { return common::trainloop::trainer_init_params(); }
py::object init(const py::object& self, py::handle model, py::handle tokenizer, py::dict config,
                py::str run_name, py::str config_file, py::handle device_arg) {
  py::object device = common::optional_str(device_arg, "device");
  check_config(config);
  if (device.is_none()) {
    const bool cuda = truthy(global("torch").attr("cuda").attr("is_available")());
    device = py::str(cuda ? "cuda" : "cpu");
  }
  say("Using device: ", device);
  self.attr("device") = device;
  self.attr("model") = model.attr("to")(self.attr("device"));
  self.attr("tokenizer") = tokenizer;
  self.attr("config") = config;
  self.attr("optimizer") = py::none();
  self.attr("scheduler") = py::none();
  self.attr("scaler") = compat::grad_scaler(self.attr("device"));
  self.attr("use_wandb") = get(item(config, "training"), "use_wandb", py::bool_(false));
  // before any directory exists, so a missing client leaves nothing behind
  if (tracking(self)) require_tracker();
  py::object paths = self.attr("_init_experiment")(run_name, config_file);
  const std::vector<py::object> values = unpack(paths, 6);
  for (size_t i = 0; i < values.size(); ++i) self.attr(kPathNames[i]) = values[i];
  self.attr("current_epoch") = py::int_(0);
  self.attr("best_metric") = py::float_(INFINITY);
  self.attr("training_history") = py::list();
  return py::none();
}

// ---- the experiment directory --------------------------------------------

py::list long_dtypes(size_t n, py::handle first) {
  py::list out;
  out.append(first);
  for (size_t i = 1; i < n; ++i) out.append(global("torch").attr("long"));
  return out;
}

py::object text_model_summary(py::handle self, py::handle model) {
  py::object batch = get(item(self.attr("config"), "data"), "batch_size", py::int_(8));
  py::object length = model.attr("max_len");
  py::list sizes;
  sizes.append(py::make_tuple(batch, length));
  sizes.append(py::make_tuple(batch));
  return common::call(
      global("summary"), py::make_tuple(model),
      {{"input_size", sizes}, {"dtypes", long_dtypes(2, global("torch").attr("long"))}});
}

// Dummy speech inputs: 1000 frames, 100 target tokens, frame lengths in
// [500, 1000), transcript lengths in [50, 100), all on the trainer's device.
py::object speech_model_summary(py::handle self, py::handle model) {
  py::object data = item(self.attr("config"), "data");
  py::object batch = get(data, "batch_size", py::int_(8));
  const long frames = 1000;
  py::object feats = item(data, "num_feats");
  py::object torch = global("torch");
  py::object device = self.attr("device");
  py::int_ t(frames);
  py::list inputs;
  inputs.append(torch.attr("randn")(batch, t, feats).attr("to")(device));
  inputs.append(
      torch.attr("randint")(0, model.attr("num_classes"), py::make_tuple(batch, frames / 10))
          .attr("to")(device));
  inputs.append(
      torch.attr("randint")(frames / 2, frames, py::make_tuple(batch)).attr("to")(device));
  inputs.append(
      torch.attr("randint")(frames / 20, frames / 10, py::make_tuple(batch)).attr("to")(device));
  return common::call(global("summary"), py::make_tuple(model),
                      {{"input_data", inputs}, {"dtypes", long_dtypes(4, torch.attr("float32"))}});
}

py::object model_summary(py::handle self) {
  py::object model = self.attr("model");
  if (is_instance(model, global("DecoderOnlyTransformer"))) return text_model_summary(self, model);
  if (is_instance(model, global("EncoderDecoderTransformer")))
    return speech_model_summary(self, model);
  common::raise(PyExc_NotImplementedError, "Model architecture summary not implemented");
}

// body(file) with `path` open for writing in text mode; closed however body ends.
void with_open(py::handle path, const char* mode, const std::function<void(py::handle)>& body) {
  py::object file = common::builtins_attr("open")(path, mode);
  try {
    body(file);
  } catch (...) {
    try {
      file.attr("close")();
    } catch (py::error_already_set&) {
      // the body's error is the one to report
    }
    throw;
  }
  file.attr("close")();
}

void mkdir(py::handle path, bool parents) {
  if (parents)
    common::call(path.attr("mkdir"), {{"parents", py::bool_(true)}, {"exist_ok", py::bool_(true)}});
  else
    common::call(path.attr("mkdir"), {{"exist_ok", py::bool_(true)}});
}

void start_tracking(py::handle self, py::handle run_name) {
  py::object training = item(self.attr("config"), "training");
  py::object run_id = get(training, "wandb_run_id", py::none());
  py::object init = tracker().attr("init");
  bool resume = false;
  if (truthy(run_id)) {
    const int other =
        PyObject_RichCompareBool(run_id.attr("lower")().ptr(), py::str("none").ptr(), Py_NE);
    if (other < 0) common::rethrow();
    resume = other == 1;
  }
  py::object project = get(training, "wandb_project", py::str("default-project"));
  py::object config = self.attr("config");
  py::object run =
      resume ? common::call(init, {{"project", project},
                                   {"id", run_id},
                                   {"resume", py::str("must")},
                                   {"config", config}})
             : common::call(init, {{"project", project},
                                   {"config", config},
                                   {"name", py::reinterpret_borrow<py::object>(run_name)}});
  self.attr("wandb_run") = run;
}

// A run name may nest directories, but never leads out of "expts" (an
// absolute name, or one that climbs with "..").
void require_inside(py::handle base, py::handle root, py::handle run_name) {
  py::object path = global("os").attr("path");
  py::str inside = path.attr("normpath")(global("os").attr("fspath")(base));
  py::str where = path.attr("normpath")(global("os").attr("fspath")(root));
  const bool ok =
      where.equal(inside) || truthy(where.attr("startswith")(inside + py::str(path.attr("sep"))));
  if (!ok)
    common::raise_text(PyExc_ValueError, "Run name ", py::repr(run_name),
                       " leads outside the experiment root ", inside,
                       "; use a relative name without '..'");
}

std::vector<Param> init_experiment_params() {
  return {arg("self"), arg("run_name").annotated("str"), arg("config_file").annotated("str")};
}
py::object init_experiment(const py::object& self, py::str run_name, py::str config_file) {
  py::object base = join(global("Path")(global("os").attr("getcwd")()), "expts");
  py::object root = join(base, run_name);
  require_inside(base, root, run_name);
  mkdir(root, true);
  global("shutil").attr("copy2")(config_file, join(root, "config.yaml"));
  with_open(join(root, "model_arch.txt"), "w",
            [&](py::handle file) { file.attr("write")(py::str(model_summary(self))); });
  py::object checkpoints = join(root, "checkpoints");
  py::object attn = join(root, "attn");
  py::object text = join(root, "text");
  for (const py::object& dir : {checkpoints, attn, text}) mkdir(dir, false);
  py::object best = join(checkpoints, common::trainloop::kBestCheckpoint);
  py::object last = join(checkpoints, common::trainloop::kLastCheckpoint);
  if (tracking(self)) start_tracking(self, run_name);
  return py::make_tuple(root, checkpoints, attn, text, best, last);
}

// ---- metric history and metric tree --------------------------------------

// The learning rate of the first parameter group, as it stands now.
py::object first_lr(py::handle self) {
  return self.attr("optimizer").attr("param_groups")[py::int_(0)][py::str("lr")];
}

py::dict tracking_record(const py::dict& metrics, py::handle lr) {
  py::dict out;
  for (auto split : metrics) {
    py::str prefix = py::str(split.first) + py::str("/");
    for (py::handle pair : split.second.attr("items")()) {
      py::tuple kv = py::reinterpret_borrow<py::tuple>(pair);
      out[prefix + py::str(kv[0])] = kv[1];
    }
  }
  out["learning_rate"] = lr;
  return out;
}

void print_tree(const py::dict& metrics) {
  py::list splits = common::builtins_attr("sorted")(metrics);
  const size_t n = splits.size();
  for (size_t i = 0; i < n; ++i) {
    const bool last_split = i + 1 == n;
    py::object split = splits[i];
    say(last_split ? "└──" : "├──", " ", split.attr("upper")(), ":");
    py::list values = common::builtins_attr("sorted")(metrics[split].attr("items")());
    const size_t m = values.size();
    for (size_t j = 0; j < m; ++j) {
      const bool last_metric = j + 1 == m;
      const char* prefix = last_split ? (last_metric ? "    └──" : "    ├──")
                                      : (last_metric ? "│   └──" : "│   ├──");
      py::object pair = values[j];
      say(prefix, " ", pair[py::int_(0)], ": ", format(pair[py::int_(1)], ".4f"));
    }
  }
}

std::vector<Param> log_metrics_params() {
  return {arg("self"), arg("metrics").annotated("Dict[str, Dict[str, float]]"),
          arg("step").annotated("int")};
}
// step is converted before metrics.
py::object log_metrics(const py::object& self, py::handle metrics_arg, py::int_ step) {
  py::dict metrics = common::exact_dict(metrics_arg, "metrics");
  py::object history = self.attr("training_history");
  py::dict entry;
  entry["epoch"] = step;
  entry.attr("update")(metrics);
  entry["lr"] = first_lr(self);
  history.attr("append")(entry);
  if (tracking(self)) {
    py::dict record = tracking_record(metrics, first_lr(self));
    common::call(tracker().attr("log"), py::make_tuple(record), {{"step", step}});
  }
  say("\n📊 Metrics (Epoch ", step, "):");
  print_tree(metrics);
  say("└── TRAINING:");
  say("    └── learning_rate: ", format(first_lr(self), ".6f"));
  return py::none();
}

// ---- heat-maps and generated text ----------------------------------------

// A new file in `dir` named after `base`, opened with `mode` ("x...": never an
// existing one); `suffix` ends the name.
std::pair<py::object, py::object> create_temporary(py::handle os, py::handle dir, py::handle base,
                                                   const char* mode = "xb",
                                                   const char* suffix = ".tmp") {
  static std::atomic<unsigned long> counter{0};
  py::object open = common::builtins_attr("open");
  for (int attempt = 0;; ++attempt) {
    py::object name = os.attr("path").attr("join")(
        dir, common::text(".", base, ".", os.attr("getpid")(), ".", py::int_(++counter), suffix));
    try {
      return {name, open(name, mode)};
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_FileExistsError) || attempt == 100) throw;
    }
  }
}

void remove_quietly(py::handle os, py::handle name) {
  try {
    os.attr("remove")(name);
  } catch (py::error_already_set&) {
    // gone already, or never created; the save's own error is the one to report
  }
}

// fsync of a file or a directory, by name.
void sync_path(py::handle os, py::handle path) {
  py::object fd = os.attr("open")(path, os.attr("O_RDONLY"));
  try {
    os.attr("fsync")(fd);
  } catch (...) {
    os.attr("close")(fd);
    throw;
  }
  os.attr("close")(fd);
}

// The directory and file name of a path, as text.
std::pair<py::object, py::object> split_path(py::handle os, py::handle path) {
  py::object target = os.attr("fspath")(path);
  py::object dir = os.attr("path").attr("dirname")(target);
  if (!truthy(dir)) dir = py::str(".");
  return {dir, os.attr("path").attr("basename")(target)};
}

void close_quietly(py::handle file) {
  try {
    file.attr("close")();
  } catch (py::error_already_set&) {
    // the write's own error is the one to report
  }
}

// write(file) into a temporary file beside `path`, flushed and synced, then
// renamed over `path`: a failure, a kill or a full disk leaves the previous
// file or the new one, never a part of one, and no temporary.
void replace_atomically(py::handle path, const char* mode,
                        const std::function<void(py::handle file)>& write) {
  py::object os = global("os");
  auto [dir, base] = split_path(os, path);
  auto [name, file] = create_temporary(os, dir, base, mode);
  try {
    write(file);
    file.attr("flush")();
    os.attr("fsync")(file.attr("fileno")());
    file.attr("close")();
    os.attr("replace")(name, os.attr("fspath")(path));
  } catch (...) {
    close_quietly(file);
    remove_quietly(os, name);
    throw;
  }
}

// Closes `figure` after a failure; the failure is what the caller reports.
void close_quietly(py::handle plt, py::handle figure) {
  try {
    plt.attr("close")(figure);
  } catch (py::error_already_set&) {
  }
}

// savefig into a temporary file named like the image (so the format follows
// from ".png"), synced, then renamed over `path`: the image is whole or absent.
void save_figure(py::handle plt, py::handle path) {
  py::object os = global("os");
  auto [dir, base] = split_path(os, path);
  auto [name, file] = create_temporary(os, dir, base, "xb", ".tmp.png");
  close_quietly(file);
  try {
    plt.attr("savefig")(name);
    sync_path(os, name);
    os.attr("replace")(name, os.attr("fspath")(path));
  } catch (...) {
    remove_quietly(os, name);
    throw;
  }
}

std::vector<Param> save_attention_plot_params() {
  return {arg("self"), arg("attn_weights"), arg("epoch").annotated("int"),
          arg("attn_type", py::str("self")).annotated("str")};
}
py::object save_attention_plot(const py::object& self, py::object matrix, py::int_ epoch,
                               py::str attn_type) {
  py::object torch = global("torch");
  if (is_instance(matrix, torch.attr("Tensor"))) {
    matrix = matrix.attr("cpu")().attr("detach")();
    // numpy has no bfloat16: the maps of an epoch under the CPU's bfloat16 autocast
    if (matrix.attr("dtype").equal(torch.attr("bfloat16"))) matrix = matrix.attr("float")();
    matrix = matrix.attr("numpy")();
  }
  py::object plt = global("plt");
  py::object figure = common::call(plt.attr("figure"), {{"figsize", py::make_tuple(10, 8)}});
  py::object plot_path;
  try {
    common::call(global("sns").attr("heatmap"), py::make_tuple(matrix),
                 {{"cmap", py::str("viridis")}, {"cbar", py::bool_(true)}});
    plt.attr("title")(common::text("Attention Weights - Epoch ", epoch));
    plt.attr("xlabel")("Source Sequence");
    plt.attr("ylabel")("Target Sequence");
    plot_path = global("os").attr("path").attr("join")(
        self.attr("attn_dir"), common::text(attn_type, "_attention_epoch", epoch, ".png"));
    save_figure(plt, plot_path);
  } catch (...) {
    // no figure outlives the call, whatever went wrong
    close_quietly(plt, figure);
    throw;
  }
  plt.attr("close")();
  if (tracking(self)) {
    py::object wandb = tracker();
    py::dict record;
    record[common::text(attn_type, "_attention")] = wandb.attr("Image")(plot_path);
    common::call(wandb.attr("log"), py::make_tuple(record), {{"step", epoch}});
  }
  return py::none();
}

std::vector<Param> save_generated_text_params() {
  return {arg("self"), arg("text"), arg("suffix").annotated("str")};
}
py::object save_generated_text(const py::object& self, py::object value, py::str suffix) {
  py::object text_path = global("os").attr("path").attr("join")(
      self.attr("text_dir"), common::text("text_", suffix, ".json"));
  replace_atomically(text_path, "x", [&](py::handle file) {
    common::call(global("json").attr("dump"), py::make_tuple(value, file),
                 {{"indent", py::int_(4)}});
  });
  if (tracking(self)) tracker().attr("save")(text_path);
  return py::none();
}

// ---- checkpoints ---------------------------------------------------------

py::dict checkpoint_record(py::handle self) {
  py::dict record;
  record["epoch"] = self.attr("current_epoch");
  record["model_state_dict"] = self.attr("model").attr("state_dict")();
  record["optimizer_state_dict"] = self.attr("optimizer").attr("state_dict")();
  py::object scheduler = self.attr("scheduler");
  record["scheduler_state_dict"] = truthy(scheduler) ? scheduler.attr("state_dict")() : py::none();
  record["scaler_state_dict"] = self.attr("scaler").attr("state_dict")();
  record["best_metric"] = self.attr("best_metric");
  record["training_history"] = self.attr("training_history");
  record["config"] = self.attr("config");
  return record;
}

// What torch.save writes through: PyTorch's zip writer cannot survive a
// failed write (a full disk makes it throw again from its destructor, and the
// process aborts), so a failure is kept, the rest of the stream dropped, and
// the failure raised once torch.save has returned.
struct GuardedWrites {
  py::object file;
  std::optional<py::error_already_set> error;
};

py::object guarded_writer(const std::shared_ptr<GuardedWrites>& state) {
  py::object writer = py::module_::import("types").attr("SimpleNamespace")();
  writer.attr("write") = py::cpp_function([state](py::object data) -> py::object {
    const Py_ssize_t n = PyObject_Size(data.ptr());
    if (n < 0) common::rethrow();
    if (!state->error) {
      try {
        return state->file.attr("write")(data);
      } catch (py::error_already_set& e) {
        state->error = std::move(e);
      }
    }
    return py::int_(n);
  });
  writer.attr("flush") = py::cpp_function([state]() {
    if (state->error) return;
    try {
      state->file.attr("flush")();
    } catch (py::error_already_set& e) {
      state->error = std::move(e);
    }
  });
  return writer;
}

// torch.save into a temporary file in the same directory, renamed over `path`,
// then the directory synced: a crash, a kill or a full disk at any moment
// leaves the previous checkpoint or the new one, never a truncated file.
void save_atomically(py::handle record, py::handle path) {
  replace_atomically(path, "xb", [&](py::handle file) {
    auto state = std::make_shared<GuardedWrites>();
    state->file = py::reinterpret_borrow<py::object>(file);
    global("torch").attr("save")(record, guarded_writer(state));
    if (state->error) throw *state->error;
  });
  py::object os = global("os");
  sync_path(os, split_path(os, path).first);
}

// (self, filename), as saving and loading take them.
std::vector<Param> checkpoint_params() { return {arg("self"), arg("filename").annotated("str")}; }

py::object save_checkpoint(const py::object& self, py::str filename) {
  py::object path = join(self.attr("checkpoint_dir"), filename);
  py::dict record = checkpoint_record(self);
  save_atomically(record, path);
  if (tracking(self)) tracker().attr("save")(py::str(path));
  return py::none();
}

// Raises `type(message)` with the exception held by `cause` as its context,
// as a raise inside an except block would.
[[noreturn]] void raise_in_context(PyObject* type, py::handle message,
                                   py::error_already_set& cause) {
  py::object context = cause.value();
  PyErr_SetObject(type, message.ptr());
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  PyException_SetContext(v, context.release().ptr());
  PyErr_Restore(t, v, tb);
  throw py::error_already_set();
}

// Runs one restore step; an Exception is printed as a warning, anything else
// (an interrupt, a system exit) ends the restore.
bool restore_step(const char* warning, const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    say(warning, e.value());
    return false;
  }
}

// ---- what a restored state may hold ---------------------------------------
// Values the training loops would otherwise use as they come (a NaN rate, a
// negative epoch) or that would replace a component's own attributes.

bool is_number(py::handle v) {
  return !PyBool_Check(v.ptr()) && (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()));
}

py::object checked_epoch(py::object epoch) {
  if (PyBool_Check(epoch.ptr()) || !PyLong_Check(epoch.ptr()) ||
      PyObject_RichCompareBool(epoch.ptr(), py::int_(0).ptr(), Py_LT) != 0)
    common::raise_text(PyExc_ValueError, "epoch must be an integer >= 0, got ", py::repr(epoch));
  return epoch;
}

py::object checked_best(py::object best) {
  if (!is_number(best) || std::isnan(py::float_(best).cast<double>()))
    common::raise_text(PyExc_ValueError, "best_metric must be a number, got ", py::repr(best));
  return best;
}

py::object checked_history(py::object history) {
  if (!PyList_CheckExact(history.ptr()))
    common::raise_text(PyExc_TypeError, "training_history must be a list, got ",
                       common::type_name(history));
  return history;
}

// Every group's learning rate a finite number >= 0 (a one-element tensor counts).
void check_optimizer_state(py::handle, py::handle state) {
  if (!PyDict_Check(state.ptr())) return;  // the optimizer's own error follows
  PyObject* groups = PyDict_GetItemString(state.ptr(), "param_groups");
  if (!groups || !PyList_Check(groups)) return;
  py::list list = py::reinterpret_borrow<py::list>(groups);
  for (size_t i = 0; i < list.size(); ++i) {
    py::object group = list[i];
    if (!PyDict_Check(group.ptr())) continue;
    PyObject* lr = PyDict_GetItemString(group.ptr(), "lr");
    if (!lr) continue;
    py::object rate = py::reinterpret_borrow<py::object>(lr);
    bool ok = false;
    if (is_number(rate)) {
      const double v = py::float_(rate).cast<double>();
      ok = std::isfinite(v) && v >= 0;
    } else if (is_instance(rate, global("torch").attr("Tensor")) &&
               py::int_(rate.attr("numel")()).cast<long>() == 1) {
      const double v = py::float_(rate.attr("item")()).cast<double>();
      ok = std::isfinite(v) && v >= 0;
    }
    if (!ok)
      common::raise_text(PyExc_ValueError, "the learning rate of parameter group ", py::int_(i),
                         " must be a finite number >= 0, got ", py::repr(rate));
  }
}

// A scheduler's load_state_dict copies the stored keys into its attributes,
// so a key may not name what the scheduler keeps out of its state on purpose
// (a stray "optimizer" would replace the optimizer it steps) nor shadow a
// method; chained schedulers' states are checked against their own.
// Whether `cls` has `name` as a method or another descriptor (a plain class
// attribute, such as a default flag, may be stored in an instance's state).
bool shadows_a_method(py::handle cls, py::handle name) {
  if (!py::hasattr(cls, name)) return false;
  py::object attr = cls.attr(name);
  return PyCallable_Check(attr.ptr()) || py::hasattr(py::type::handle_of(attr), "__get__");
}

void check_scheduler_keys(py::handle scheduler, py::handle state, const std::string& where) {
  if (!PyDict_CheckExact(state.ptr()))
    common::raise_text(PyExc_TypeError, py::str(where), " must be a dict, got ",
                       common::type_name(state));
  py::dict own = scheduler.attr("state_dict")();
  py::dict attrs = py::reinterpret_borrow<py::dict>(scheduler.attr("__dict__"));
  py::handle cls = py::type::handle_of(scheduler);
  for (auto kv : py::reinterpret_borrow<py::dict>(state)) {
    const bool text = PyUnicode_CheckExact(kv.first.ptr());
    if (!text || (attrs.contains(kv.first) && !own.contains(kv.first)) ||
        shadows_a_method(cls, kv.first))
      common::raise_text(PyExc_ValueError, py::str(where), " holds key ", py::repr(kv.first),
                         ", which is not part of the scheduler's state");
    if (!attrs.contains(kv.first) || !PyList_Check(kv.second.ptr())) continue;
    py::object mine = attrs[kv.first];
    if (!PyList_Check(mine.ptr())) continue;
    py::list subs = py::reinterpret_borrow<py::list>(mine);
    py::list stored = py::reinterpret_borrow<py::list>(kv.second);
    for (size_t i = 0; i < subs.size() && i < stored.size(); ++i)
      if (py::hasattr(subs[i], "load_state_dict"))
        check_scheduler_keys(subs[i], stored[i],
                             where + "[" + std::string(py::str(py::repr(kv.first))) + "][" +
                                 std::to_string(i) + "]");
  }
}

void check_scheduler_state(py::handle scheduler, py::handle state) {
  check_scheduler_keys(scheduler, state, "the scheduler state");
}

py::object read_checkpoint(py::handle self, py::handle path) {
  try {
    return checkpoint::load_checkpoint(path, self.attr("device"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_in_context(PyExc_RuntimeError,
                     common::text("Failed to load checkpoint file: ", e.value()), e);
  }
}

py::object load_checkpoint(const py::object& self, py::str filename) {
  py::object path = join(self.attr("checkpoint_dir"), filename);
  if (!truthy(path.attr("exists")()))
    common::raise_text(PyExc_FileNotFoundError, "No checkpoint found at ", path);
  py::object record = read_checkpoint(self, path);

  std::vector<std::pair<const char*, bool>> status;
  using Check = void (*)(py::handle component, py::handle state);
  auto component = [&](const char* name, const char* attr, const char* key, const char* warning,
                       Check check) {
    status.emplace_back(name, restore_step(warning, [&] {
                          py::object target = self.attr(attr);
                          py::object state = item(record, key);
                          if (check) check(target, state);
                          target.attr("load_state_dict")(state);
                        }));
  };
  component("model", "model", "model_state_dict", "Warning: Failed to load model state: ", nullptr);
  component("optimizer", "optimizer", "optimizer_state_dict",
            "Warning: Failed to load optimizer state: ", check_optimizer_state);
  if (truthy(get(record, "scheduler_state_dict", py::none())) && truthy(self.attr("scheduler")))
    component("scheduler", "scheduler", "scheduler_state_dict",
              "Warning: Failed to load scheduler state: ", check_scheduler_state);
  component("scaler", "scaler", "scaler_state_dict",
            "Warning: Failed to load scaler state: ", nullptr);
  status.emplace_back(
      "training_state", restore_step("Warning: Failed to load training state: ", [&] {
        self.attr("current_epoch") = checked_epoch(item(record, "epoch"));
        self.attr("best_metric") = checked_best(item(record, "best_metric"));
        self.attr("training_history") = checked_history(item(record, "training_history"));
      }));

  py::list done, failed;
  for (const auto& [name, ok] : status) (ok ? done : failed).append(py::str(name));
  if (done.empty()) common::raise(PyExc_RuntimeError, "Failed to load any checkpoint components");
  say("Checkpoint loaded from epoch ", get(record, "epoch", py::str("unknown")));
  say("Successfully loaded: ", py::str(", ").attr("join")(done));
  if (!failed.empty()) say("Failed to load: ", py::str(", ").attr("join")(failed));
  return py::none();
}

py::object cleanup(const py::object& self) {
  if (tracking(self) && truthy(self.attr("wandb_run"))) tracker().attr("finish")();
  return py::none();
}

py::object nothing(const Args&) { return py::none(); }

// ---- module --------------------------------------------------------------

// With no display and no backend chosen by the user, draw with Agg: a GUI
// backend configured system-wide would otherwise be tried for every figure.
void prefer_headless_backend() {
  py::dict modules = py::module_::import("sys").attr("modules");
  if (modules.contains("matplotlib.pyplot")) return;  // the backend is settled already
  py::object environ = py::module_::import("os").attr("environ");
  if (truthy(get(environ, "MPLBACKEND", py::str("")))) return;
  const std::string platform = py::str(py::module_::import("sys").attr("platform"));
  if (platform.rfind("linux", 0) != 0 && platform.rfind("freebsd", 0) != 0) return;
  if (truthy(get(environ, "DISPLAY", py::str(""))) ||
      truthy(get(environ, "WAYLAND_DISPLAY", py::str(""))))
    return;
  py::module_ matplotlib = py::module_::import("matplotlib");
  PyObject* chosen = PyDict_GetItemString(matplotlib.attr("rcParams").ptr(), "backend");
  if (chosen && PyUnicode_Check(chosen)) {
    static const char* const gui[] = {"gtk3agg",  "gtk3cairo", "gtk4agg", "gtk4cairo", "macosx",
                                      "nbagg",    "notebook",  "qtagg",   "qtcairo",   "qt5agg",
                                      "qt5cairo", "tkagg",     "tkcairo", "webagg",    "wx",
                                      "wxagg",    "wxcairo"};
    const std::string name = py::str(py::handle(chosen).attr("lower")());
    bool interactive = false;
    for (const char* g : gui) interactive = interactive || name == g;
    if (!interactive) return;  // a file-only backend the user picked
  }
  matplotlib.attr("use")("Agg");
}

void bind_globals(py::module_& m) {
  m.attr("json") = py::module_::import("json");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("torch") = py::module_::import("torch");
  prefer_headless_backend();
  m.attr("plt") = py::module_::import("matplotlib.pyplot");
  m.attr("sns") = py::module_::import("seaborn");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("ZelTokenizer") = common::import_attr("corvantis.data.tokenizer", "ZelTokenizer");
  m.attr("yarrowind") = common::import_attr("corvantis.utils", "yarrowind");
  py::module_ models = py::module_::import("corvantis.model");
  m.attr("DecoderOnlyTransformer") = models.attr("DecoderOnlyTransformer");
  m.attr("EncoderDecoderTransformer") = models.attr("EncoderDecoderTransformer");
  m.attr("os") = py::module_::import("os");
  m.attr("shutil") = py::module_::import("shutil");
  py::module_ abc = py::module_::import("abc");
  m.attr("ABC") = abc.attr("ABC");
  m.attr("abstractmethod") = abc.attr("abstractmethod");
  common::import_into(m, "typing", {"Dict", "Any", "Optional", "Tuple"});
  m.attr("summary") = common::import_attr("corvantis.utils.summary", "summary");
}

constexpr const char* kClassDoc =
    "Abstract base of the trainers.\n\n"
    "BaseTrainer(model, tokenizer, config, run_name, config_file, device=None)\n\n"
    "Chooses the device (CUDA when available), moves the model there, creates the\n"
    "gradient scaler and the experiment directory expts/<run_name> (config.yaml,\n"
    "model_arch.txt, checkpoints/, attn/, text/) and starts experiment tracking when\n"
    "config['training']['use_wandb'] is true. The driver assigns `optimizer` and\n"
    "`scheduler` afterwards. Subclasses supply _train_epoch, _validate_epoch, train\n"
    "and evaluate.";

}  // namespace

PYBIND11_MODULE(tolvery, m) {
  m.doc() = "Trainer framework: the abstract trainer BaseTrainer.";
  bind_globals(m);
  common::ClassBuilder(m, "BaseTrainer", py::make_tuple(m.attr("ABC")))
      .doc(kClassDoc)
      .method("__init__", init_params(), init,
              "Places the model on `device` (default: CUDA when available, else the CPU),\n"
              "sets up the gradient scaler and the experiment directory expts/<run_name>\n"
              "(a copy of config_file, the model summary, checkpoints/, attn/, text/).")
      .abstract_method("_train_epoch", {arg("self"), arg("dataloader")}, nothing,
                       "One training pass: (metrics, attention maps of the last batch).")
      .abstract_method("_validate_epoch", {arg("self"), arg("dataloader")}, nothing,
                       "One validation pass: the metric dictionary first.")
      .abstract_method("train", {arg("self"), arg("train_dataloader"), arg("val_dataloader")},
                       nothing, "The epoch loop.")
      .abstract_method("evaluate", {arg("self"), arg("dataloader")}, nothing,
                       "Evaluation on a test loader: a metric dictionary.")
      .method("_init_experiment", init_experiment_params(), init_experiment,
              "Creates expts/<run_name> with config.yaml, model_arch.txt, checkpoints/, attn/\n"
              "and text/, starts tracking when enabled, and returns (expt_root,\n"
              "checkpoint_dir, attn_dir, text_dir, best_model_path, last_model_path).")
      .method("_log_metrics", log_metrics_params(), log_metrics,
              "Appends a history entry, logs to tracking when enabled and prints the metric\n"
              "tree.")
      .method(
          "_save_attention_plot", save_attention_plot_params(), save_attention_plot,
          "Saves a heat-map of a 2-D attention matrix as attn/<attn_type>_attention_epoch<N>.png.")
      .method("_save_generated_text", save_generated_text_params(), save_generated_text,
              "Writes `text` as JSON (indent 4) to text/text_<suffix>.json.")
      .method("save_checkpoint", checkpoint_params(), save_checkpoint,
              "Saves the training state to checkpoints/<filename>.")
      .method("load_checkpoint", checkpoint_params(), load_checkpoint,
              "Restores what it can from checkpoints/<filename> and reports what it restored.")
      .method("cleanup", {arg("self")}, cleanup, "Finishes the tracking run when there is one.")
      .finish();
}
