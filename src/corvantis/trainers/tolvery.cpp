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

#include <atomic>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/bind.h"
#include "common/compat.h"
#include "common/pyclass.h"
#include "common/pyutil.h"
#include "common/text.h"

namespace py = pybind11;
using common::arg;
using common::Args;
using common::say;
using common::steal;
using common::truthy;

namespace {

constexpr const char* kModule = "corvantis.trainers.tolvery";

py::object global(const char* name) { return common::import_attr(kModule, name); }

py::object get(py::handle mapping, const char* key, py::object fallback) {
  return mapping.attr("get")(key, std::move(fallback));
}

py::object item(py::handle mapping, const char* key) { return mapping[py::str(key)]; }

// a / b, as the path-join operator of pathlib.
py::object join(py::handle a, const char* b) {
  return steal(PyNumber_TrueDivide(a.ptr(), py::str(b).ptr()));
}

py::object join(py::handle a, py::handle b) { return steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

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

constexpr const char* kPathNames[] = {"expt_root",  "checkpoint_dir",  "attn_dir",
                                      "text_dir",   "best_model_path", "last_model_path"};

py::object init(const Args& a) {
  const py::object& self = a[0];
  py::dict config = common::exact_dict(a["config"], "config");
  py::str run_name = common::exact_str(a["run_name"], "run_name");
  py::str config_file = common::exact_str(a["config_file"], "config_file");
  py::object device = common::optional_str(a["device"], "device");
  if (device.is_none()) {
    const bool cuda = truthy(global("torch").attr("cuda").attr("is_available")());
    device = py::str(cuda ? "cuda" : "cpu");
  }
  say("Using device: ", device);
  self.attr("device") = device;
  self.attr("model") = a["model"].attr("to")(self.attr("device"));
  self.attr("tokenizer") = a["tokenizer"];
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
  return common::call(global("summary"), py::make_tuple(model),
                      {{"input_size", sizes},
                       {"dtypes", long_dtypes(2, global("torch").attr("long"))}});
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
  inputs.append(torch.attr("randint")(0, model.attr("num_classes"), py::make_tuple(batch, frames / 10))
                    .attr("to")(device));
  inputs.append(torch.attr("randint")(frames / 2, frames, py::make_tuple(batch)).attr("to")(device));
  inputs.append(
      torch.attr("randint")(frames / 20, frames / 10, py::make_tuple(batch)).attr("to")(device));
  return common::call(global("summary"), py::make_tuple(model),
                      {{"input_data", inputs},
                       {"dtypes", long_dtypes(4, torch.attr("float32"))}});
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
    const int other = PyObject_RichCompareBool(run_id.attr("lower")().ptr(),
                                               py::str("none").ptr(), Py_NE);
    if (other < 0) common::rethrow();
    resume = other == 1;
  }
  py::object project = get(training, "wandb_project", py::str("default-project"));
  py::object config = self.attr("config");
  py::object run = resume ? common::call(init, {{"project", project},
                                                {"id", run_id},
                                                {"resume", py::str("must")},
                                                {"config", config}})
                          : common::call(init, {{"project", project},
                                                {"config", config},
                                                {"name", py::reinterpret_borrow<py::object>(run_name)}});
  self.attr("wandb_run") = run;
}

py::object init_experiment(const Args& a) {
  const py::object& self = a[0];
  py::str run_name = common::exact_str(a["run_name"], "run_name");
  py::str config_file = common::exact_str(a["config_file"], "config_file");
  py::object root = join(join(global("Path")(global("os").attr("getcwd")()), "expts"), run_name);
  mkdir(root, true);
  global("shutil").attr("copy2")(config_file, join(root, "config.yaml"));
  with_open(join(root, "model_arch.txt"), "w", [&](py::handle file) {
    file.attr("write")(py::str(model_summary(self)));
  });
  py::object checkpoints = join(root, "checkpoints");
  py::object attn = join(root, "attn");
  py::object text = join(root, "text");
  for (const py::object& dir : {checkpoints, attn, text}) mkdir(dir, false);
  py::object best = join(checkpoints, "checkpoint-best-metric-model.pth");
  py::object last = join(checkpoints, "checkpoint-last-epoch-model.pth");
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

py::object log_metrics(const Args& a) {
  const py::object& self = a[0];
  py::int_ step = common::to_int(a["step"], "step");
  py::dict metrics = common::exact_dict(a["metrics"], "metrics");
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

// Closes `figure` after a failure; the failure is what the caller reports.
void close_quietly(py::handle plt, py::handle figure) {
  try {
    plt.attr("close")(figure);
  } catch (py::error_already_set&) {
  }
}

py::object save_attention_plot(const Args& a) {
  const py::object& self = a[0];
  py::int_ epoch = common::to_int(a["epoch"], "epoch");
  py::str attn_type = common::exact_str(a["attn_type"], "attn_type");
  py::object matrix = a["attn_weights"];
  if (is_instance(matrix, global("torch").attr("Tensor")))
    matrix = matrix.attr("cpu")().attr("detach")().attr("numpy")();
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
    plt.attr("savefig")(plot_path);
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

py::object save_generated_text(const Args& a) {
  const py::object& self = a[0];
  py::str suffix = common::exact_str(a["suffix"], "suffix");
  py::object text_path = global("os").attr("path").attr("join")(
      self.attr("text_dir"), common::text("text_", suffix, ".json"));
  py::object value = a["text"];
  with_open(text_path, "w", [&](py::handle file) {
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
  record["scheduler_state_dict"] =
      truthy(scheduler) ? scheduler.attr("state_dict")() : py::none();
  record["scaler_state_dict"] = self.attr("scaler").attr("state_dict")();
  record["best_metric"] = self.attr("best_metric");
  record["training_history"] = self.attr("training_history");
  record["config"] = self.attr("config");
  return record;
}

// A new file beside `target`, opened for writing ("xb": never an existing one).
std::pair<py::object, py::object> create_temporary(py::handle os, py::handle dir, py::handle base) {
  static std::atomic<unsigned long> counter{0};
  py::object open = common::builtins_attr("open");
  for (int attempt = 0;; ++attempt) {
    py::object name = os.attr("path").attr("join")(
        dir, common::text(".", base, ".", os.attr("getpid")(), ".", py::int_(++counter), ".tmp"));
    try {
      return {name, open(name, "xb")};
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

void sync_directory(py::handle os, py::handle dir) {
  py::object fd = os.attr("open")(dir, os.attr("O_RDONLY"));
  try {
    os.attr("fsync")(fd);
  } catch (...) {
    os.attr("close")(fd);
    throw;
  }
  os.attr("close")(fd);
}

// torch.save into a temporary file in the same directory, flushed and synced,
// then renamed over `path` and the directory synced: a crash, a kill or a full
// disk at any moment leaves the previous checkpoint or the new one, never a
// truncated file.
void save_atomically(py::handle record, py::handle path) {
  py::object os = global("os");
  py::object target = os.attr("fspath")(path);
  py::object dir = os.attr("path").attr("dirname")(target);
  if (!truthy(dir)) dir = py::str(".");
  auto [name, file] = create_temporary(os, dir, os.attr("path").attr("basename")(target));
  try {
    global("torch").attr("save")(record, file);
    file.attr("flush")();
    os.attr("fsync")(file.attr("fileno")());
    file.attr("close")();
    os.attr("replace")(name, target);
  } catch (...) {
    try {
      file.attr("close")();
    } catch (py::error_already_set&) {
    }
    remove_quietly(os, name);
    throw;
  }
  sync_directory(os, dir);
}

py::object save_checkpoint(const Args& a) {
  const py::object& self = a[0];
  py::str filename = common::exact_str(a["filename"], "filename");
  py::object path = join(self.attr("checkpoint_dir"), filename);
  py::dict record = checkpoint_record(self);
  save_atomically(record, path);
  if (tracking(self)) tracker().attr("save")(py::str(path));
  return py::none();
}

// Raises `type(message)` with the exception held by `cause` as its context,
// as a raise inside an except block would.
[[noreturn]] void raise_in_context(PyObject* type, py::handle message, py::error_already_set& cause) {
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

py::object read_checkpoint(py::handle self, py::handle path) {
  try {
    return compat::load_checkpoint(path, self.attr("device"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_in_context(PyExc_RuntimeError, common::text("Failed to load checkpoint file: ", e.value()),
                     e);
  }
}

py::object load_checkpoint(const Args& a) {
  const py::object& self = a[0];
  py::str filename = common::exact_str(a["filename"], "filename");
  py::object path = join(self.attr("checkpoint_dir"), filename);
  if (!truthy(path.attr("exists")()))
    common::raise_text(PyExc_FileNotFoundError, "No checkpoint found at ", path);
  py::object record = read_checkpoint(self, path);

  std::vector<std::pair<const char*, bool>> status;
  auto component = [&](const char* name, const char* attr, const char* key, const char* warning) {
    status.emplace_back(name, restore_step(warning, [&] {
                          self.attr(attr).attr("load_state_dict")(item(record, key));
                        }));
  };
  component("model", "model", "model_state_dict", "Warning: Failed to load model state: ");
  component("optimizer", "optimizer", "optimizer_state_dict",
            "Warning: Failed to load optimizer state: ");
  if (truthy(get(record, "scheduler_state_dict", py::none())) && truthy(self.attr("scheduler")))
    component("scheduler", "scheduler", "scheduler_state_dict",
              "Warning: Failed to load scheduler state: ");
  component("scaler", "scaler", "scaler_state_dict", "Warning: Failed to load scaler state: ");
  status.emplace_back("training_state",
                      restore_step("Warning: Failed to load training state: ", [&] {
                        self.attr("current_epoch") = item(record, "epoch");
                        self.attr("best_metric") = item(record, "best_metric");
                        self.attr("training_history") = item(record, "training_history");
                      }));

  py::list done, failed;
  for (const auto& [name, ok] : status) (ok ? done : failed).append(py::str(name));
  if (done.empty()) common::raise(PyExc_RuntimeError, "Failed to load any checkpoint components");
  say("Checkpoint loaded from epoch ", get(record, "epoch", py::str("unknown")));
  say("Successfully loaded: ", py::str(", ").attr("join")(done));
  if (!failed.empty()) say("Failed to load: ", py::str(", ").attr("join")(failed));
  return py::none();
}

py::object cleanup(const Args& a) {
  const py::object& self = a[0];
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
    static const char* const gui[] = {"gtk3agg", "gtk3cairo", "gtk4agg", "gtk4cairo", "macosx",
                                      "nbagg",   "notebook",  "qtagg",   "qtcairo",   "qt5agg",
                                      "qt5cairo", "tkagg",    "tkcairo", "webagg",    "wx",
                                      "wxagg",   "wxcairo"};
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
  py::module_ typing = py::module_::import("typing");
  for (const char* name : {"Dict", "Any", "Optional", "Tuple"}) m.attr(name) = typing.attr(name);
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
      .method("__init__",
              {arg("self"), arg("model").annotated("nn.Module"),
               arg("tokenizer").annotated("ZelTokenizer"), arg("config").annotated("dict"),
               arg("run_name").annotated("str"), arg("config_file").annotated("str"),
               arg("device", py::none()).annotated("Optional[str]")},
              init,
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
      .method("_init_experiment",
              {arg("self"), arg("run_name").annotated("str"), arg("config_file").annotated("str")},
              init_experiment,
              "Creates expts/<run_name> with config.yaml, model_arch.txt, checkpoints/, attn/\n"
              "and text/, starts tracking when enabled, and returns (expt_root,\n"
              "checkpoint_dir, attn_dir, text_dir, best_model_path, last_model_path).")
      .method("_log_metrics",
              {arg("self"), arg("metrics").annotated("Dict[str, Dict[str, float]]"),
               arg("step").annotated("int")},
              log_metrics,
              "Appends a history entry, logs to tracking when enabled and prints the metric\n"
              "tree.")
      .method("_save_attention_plot",
              {arg("self"), arg("attn_weights"), arg("epoch").annotated("int"),
               arg("attn_type", py::str("self")).annotated("str")},
              save_attention_plot,
              "Saves a heat-map of a 2-D attention matrix as attn/<attn_type>_attention_epoch<N>.png.")
      .method("_save_generated_text", {arg("self"), arg("text"), arg("suffix").annotated("str")},
              save_generated_text, "Writes `text` as JSON (indent 4) to text/text_<suffix>.json.")
      .method("save_checkpoint", {arg("self"), arg("filename").annotated("str")}, save_checkpoint,
              "Saves the training state to checkpoints/<filename>.")
      .method("load_checkpoint", {arg("self"), arg("filename").annotated("str")}, load_checkpoint,
              "Restores what it can from checkpoints/<filename> and reports what it restored.")
      .method("cleanup", {arg("self")}, cleanup, "Finishes the tracking run when there is one.")
      .finish();
}
