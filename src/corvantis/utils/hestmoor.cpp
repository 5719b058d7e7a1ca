// Learning-rate scheduler factory (plateau, cosine, cosine with restarts,
// optional linear warm-up) and a plot of a schedule simulated ahead of time.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <functional>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/native_function.h"
#include "binding/pyutil.h"
#include "binding/text.h"

namespace py = pybind11;
using common::arg;
using common::Param;
using common::say;
using common::steal;
using common::truthy;

namespace {

constexpr const char* kModule = "corvantis.utils.hestmoor";

constexpr common::Globals global{kModule};

py::object sched(const char* name) { return global("lr_scheduler").attr(name); }

bool equals(py::handle a, const char* b) { return common::compare(a, py::str(b), Py_EQ); }

using common::get;

py::int_ length(py::handle loader) { return py::int_(py::len(loader)); }

// ---- epochs and steps ----------------------------------------------------

// Scheduler steps per epoch: one per optimizer step.
py::object steps_per_epoch(py::handle loader, py::handle accumulation) {
  return common::floor_div(length(loader), accumulation);
}

py::object epochs_to_steps(py::handle epochs, py::handle loader, py::handle accumulation) {
  py::int_ n = common::to_int(epochs, "epochs");
  py::int_ acc = common::to_int(accumulation, "gradient_accumulation_steps");
  return n * steps_per_epoch(loader, acc);
}

// ---- the schedule kinds --------------------------------------------------

py::object build_plateau(py::handle optimizer, py::handle cfg) {
  py::object patience = get(cfg, "patience", py::int_(10));
  py::object cooldown = get(cfg, "cooldown", py::int_(0));
  say("├── ReduceLROnPlateau Settings:");
  say("│   ├── Mode: ", get(cfg, "mode", py::str("min")));
  say("│   ├── Factor: ", get(cfg, "factor", py::float_(0.1)));
  say("│   ├── Patience: ", patience, " epochs");
  say("│   ├── Threshold: ", get(cfg, "threshold", py::float_(1e-4)));
  say("│   ├── Threshold Mode: ", get(cfg, "threshold_mode", py::str("rel")));
  say("│   ├── Cooldown: ", cooldown, " epochs");
  say("│   └── Min LR: ", get(cfg, "min_lr", py::float_(1e-5)));
  return common::call(sched("ReduceLROnPlateau"), py::make_tuple(optimizer),
                      {{"mode", get(cfg, "mode", py::str("min"))},
                       {"factor", get(cfg, "factor", py::float_(0.1))},
                       {"patience", patience},
                       {"threshold", get(cfg, "threshold", py::float_(1e-4))},
                       {"threshold_mode", get(cfg, "threshold_mode", py::str("rel"))},
                       {"cooldown", cooldown},
                       {"min_lr", get(cfg, "min_lr", py::float_(1e-5))},
                       {"eps", get(cfg, "eps", py::float_(1e-8))}});
}

py::object build_cosine(py::handle optimizer, py::handle cfg, py::handle loader, py::handle acc) {
  py::object epochs = get(cfg, "T_max", py::int_(60));
  py::object steps = epochs_to_steps(epochs, loader, acc);
  say("├── Cosine Annealing Settings:");
  say("│   ├── T_max: ", epochs, " epochs (", steps, " steps)");
  say("│   └── Min LR: ", get(cfg, "eta_min", py::float_(1e-4)));
  return common::call(sched("CosineAnnealingLR"), py::make_tuple(optimizer),
                      {{"T_max", steps},
                       {"eta_min", get(cfg, "eta_min", py::float_(1e-4))},
                       {"last_epoch", get(cfg, "last_epoch", py::int_(-1))}});
}

py::object build_cosine_warm(py::handle optimizer, py::handle cfg, py::handle loader,
                             py::handle acc) {
  py::object epochs = get(cfg, "T_0", py::int_(10));
  py::object steps = epochs_to_steps(epochs, loader, acc);
  say("├── Cosine Annealing Warm Restarts Settings:");
  say("│   ├── T_0: ", epochs, " epochs (", steps, " steps)");
  say("│   ├── T_mult: ", get(cfg, "T_mult", py::int_(2)));
  say("│   └── Min LR: ", get(cfg, "eta_min", py::float_(1e-4)));
  return common::call(sched("CosineAnnealingWarmRestarts"), py::make_tuple(optimizer),
                      {{"T_0", steps},
                       {"T_mult", get(cfg, "T_mult", py::int_(2))},
                       {"eta_min", get(cfg, "eta_min", py::float_(1e-4))},
                       {"last_epoch", get(cfg, "last_epoch", py::int_(-1))}});
}

// The linear ramp over `steps` scheduler steps, then `base` from its start.
py::object chain_warmup(py::handle optimizer, py::handle base, py::handle warmup_config,
                        py::handle steps) {
  py::object ramp =
      common::call(sched("LinearLR"), py::make_tuple(optimizer),
                   {{"start_factor", get(warmup_config, "start_factor", py::float_(0.1))},
                    {"end_factor", get(warmup_config, "end_factor", py::float_(1.0))},
                    {"total_iters", py::reinterpret_borrow<py::object>(steps)}});
  py::list schedulers, milestones;
  schedulers.append(ramp);
  schedulers.append(base);
  milestones.append(steps);
  return common::call(sched("SequentialLR"), py::make_tuple(optimizer),
                      {{"schedulers", schedulers}, {"milestones", milestones}});
}

bool warmup_enabled(const py::dict& config) {
  return truthy(get(get(config, "warmup", py::dict()), "enabled", py::bool_(false)));
}

// The warm-up lasts as many scheduler steps as it prints: the trainers step
// the scheduler once per optimizer step, not once per batch.
py::object with_warmup(py::handle optimizer, py::handle base, const py::dict& config,
                       py::handle per_epoch) {
  py::object warmup_config = config["warmup"];
  py::object epochs = get(warmup_config, "epochs", py::int_(5));
  py::object steps = epochs * per_epoch;
  say("├── Warmup Settings:");
  say("│   ├── Duration: ", epochs, " epochs (", steps, " steps)");
  say("│   ├── Start Factor: ", get(warmup_config, "start_factor", py::float_(0.1)));
  say("│   └── End Factor: ", get(warmup_config, "end_factor", py::float_(1.0)));
  common::exact_dict(warmup_config, "warmup_config");
  return chain_warmup(optimizer, base, warmup_config, steps);
}

std::vector<Param> create_scheduler_params() {
  return {arg("optimizer"), arg("scheduler_config").annotated("dict"), arg("train_loader"),
          arg("gradient_accumulation_steps", py::int_(1)).annotated("int")};
}
py::object create_scheduler(py::handle optimizer, py::dict config, py::handle loader,
                            py::int_ acc) {
  py::object name = py::object(config["name"]).attr("lower")();
  py::object per_epoch = steps_per_epoch(loader, acc);
  say("\n📈 Configuring Learning Rate Scheduler:");
  say("├── Type: ", name.attr("upper")());
  if (equals(name, "reduce_lr")) {
    if (warmup_enabled(config))
      common::raise(PyExc_ValueError,
                    "ReduceLROnPlateau scheduler cannot be combined with warmup. Please either "
                    "disable warmup or use a different scheduler (cosine, cosine_warm).");
    return build_plateau(optimizer, config["reduce_lr"]);
  }
  py::object base;
  if (equals(name, "cosine")) {
    base = build_cosine(optimizer, config["cosine"], loader, acc);
  } else if (equals(name, "cosine_warm")) {
    base = build_cosine_warm(optimizer, config["cosine_warm"], loader, acc);
  } else {
    common::raise_text(PyExc_ValueError, "Unsupported scheduler: ", name,
                       ". Supported: ['reduce_lr', 'cosine', 'cosine_warm']");
  }
  if (warmup_enabled(config)) return with_warmup(optimizer, base, config, per_epoch);
  say("└── Warmup: Disabled");
  return base;
}

std::vector<Param> create_warmup_scheduler_params() {
  return {arg("optimizer"), arg("base_scheduler"), arg("warmup_config").annotated("dict"),
          arg("train_loader")};
}
py::object create_warmup_scheduler(py::handle optimizer, py::handle base_scheduler,
                                   py::dict warmup_config, py::handle train_loader) {
  py::object epochs = get(warmup_config, "epochs", py::int_(5));
  py::object steps = length(train_loader) * epochs;
  return chain_warmup(optimizer, base_scheduler, warmup_config, steps);
}

// ---- the schedule plot ---------------------------------------------------

// Copies of what the simulation changes, put back before drawing.
struct SavedState {
  bool plateau;
  py::object scheduler;
  py::object optimizer;
};

// The plateau scheduler's attributes, copied with its optimizer kept by
// reference so the restored scheduler still drives the caller's optimizer.
py::object copy_attributes(py::handle scheduler, py::handle optimizer) {
  py::dict memo;
  memo[common::builtins_attr("id")(optimizer)] = optimizer;
  return global("copy").attr("deepcopy")(scheduler.attr("__dict__"), memo);
}

SavedState save(py::handle scheduler, bool plateau) {
  py::object deepcopy = global("copy").attr("deepcopy");
  SavedState s{plateau, py::object(), py::object()};
  s.scheduler = plateau ? copy_attributes(scheduler, scheduler.attr("optimizer"))
                        : deepcopy(scheduler.attr("state_dict")());
  s.optimizer = deepcopy(scheduler.attr("optimizer").attr("state_dict")());
  return s;
}

void restore(py::handle scheduler, const SavedState& s) {
  scheduler.attr("optimizer").attr("load_state_dict")(s.optimizer);
  if (!s.plateau) {
    scheduler.attr("load_state_dict")(s.scheduler);
    return;
  }
  // attributes that the simulation added go as well
  py::dict attrs = scheduler.attr("__dict__");
  for (py::handle key : py::list(attrs.attr("keys")()))
    if (!s.scheduler.contains(key) && PyDict_DelItem(attrs.ptr(), key.ptr()) < 0) common::rethrow();
  attrs.attr("update")(s.scheduler);
}

// Appends the current rate of each plotted group `times` times.
void record(py::handle optimizer, std::vector<py::list>& lrs, long long times) {
  py::object groups = optimizer.attr("param_groups");
  for (size_t idx = 0; idx < lrs.size(); ++idx) {
    py::object lr = groups[py::int_(idx)]["lr"];
    for (long long t = 0; t < times; ++t) lrs[idx].append(lr);
  }
}

void check_signals() {
  if (PyErr_CheckSignals() != 0) common::rethrow();
}

// One plateau step per epoch on a metric that improves every patience + 1
// epochs (0.0) and stalls in between (1.0).
py::object simulate_plateau(py::handle scheduler, const py::int_& epochs, py::handle loader,
                            std::vector<py::list>& lrs) {
  const py::int_ batches = length(loader);
  const long long n = epochs.cast<long long>(), per_epoch = batches.cast<long long>();
  for (long long epoch = 0; epoch < n; ++epoch) {
    check_signals();
    record(scheduler.attr("optimizer"), lrs, per_epoch);
    py::object period = py::object(scheduler.attr("patience")) + py::int_(1);
    py::object phase = steal(PyNumber_Remainder(py::int_(epoch).ptr(), period.ptr()));
    scheduler.attr("step")(py::float_(truthy(phase) ? 1.0 : 0.0));
  }
  return global("np").attr("linspace")(0, epochs, epochs * batches);
}

// Parameters keep their gradients out of the optimizer's reach while `body` runs.
void without_gradients(py::handle optimizer, const std::function<void()>& body) {
  std::vector<std::pair<py::object, py::object>> aside;
  for (py::handle group : optimizer.attr("param_groups"))
    for (py::handle p : group["params"]) {
      py::object grad = p.attr("grad");
      if (grad.is_none()) continue;
      aside.emplace_back(py::reinterpret_borrow<py::object>(p), grad);
      p.attr("grad") = py::none();
    }
  auto put_back = [&aside] {
    for (auto& [p, grad] : aside) p.attr("grad") = grad;
  };
  try {
    body();
  } catch (...) {
    put_back();
    throw;
  }
  put_back();
}

py::object simulate_steps(py::handle scheduler, const py::int_& epochs, py::handle loader,
                          const py::int_& acc, std::vector<py::list>& lrs) {
  py::object total = epochs_to_steps(epochs, loader, acc);
  const long long n = total.cast<long long>();
  without_gradients(scheduler.attr("optimizer"), [&] {
    for (long long step = 0; step < n; ++step) {
      check_signals();
      py::object optimizer = scheduler.attr("optimizer");
      record(optimizer, lrs, 1);
      optimizer.attr("step")();
      scheduler.attr("step")();
    }
  });
  return global("np").attr("linspace")(0, epochs, total);
}

constexpr std::array<const char*, 5> kColors = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                                "#9467bd"};
constexpr std::array<const char*, 5> kLineStyles = {"-", "--", "-.", ":", "-"};

void draw(const py::object& x, const std::vector<py::list>& lrs) {
  py::object plt = global("plt");
  py::int_ twelve(12);
  common::call(plt.attr("figure"), {{"figsize", py::make_tuple(12, 4)}});
  for (size_t idx = 0; idx < lrs.size(); ++idx)
    common::call(plt.attr("plot"), py::make_tuple(x, lrs[idx]),
                 {{"label", common::text("Group ", py::int_(idx))},
                  {"color", py::str(kColors[idx % 5])},
                  {"linestyle", py::str(kLineStyles[idx % 5])},
                  {"linewidth", py::int_(2)}});
  common::call(plt.attr("xlabel"), py::make_tuple("Epoch"), {{"fontsize", twelve}});
  common::call(plt.attr("ylabel"), py::make_tuple("Learning Rate"), {{"fontsize", twelve}});
  common::call(plt.attr("title"), py::make_tuple("Learning Rate Schedule"),
               {{"fontsize", py::int_(14)}, {"pad", py::int_(20)}});
  common::call(plt.attr("grid"), py::make_tuple(true), {{"alpha", py::float_(0.3)}});
  common::call(plt.attr("legend"),
               {{"bbox_to_anchor", py::make_tuple(1.05, 1)}, {"loc", py::str("upper left")}});
  plt.attr("yscale")("log");
  py::object top = plt.attr("gca")().attr("twiny")();
  top.attr("set_xlim")(0, py::len(x));
  common::call(top.attr("set_xlabel"), py::make_tuple("Steps"), {{"fontsize", twelve}});
  plt.attr("tight_layout")();
  plt.attr("show")();
}

std::vector<Param> plot_lr_schedule_params() {
  return {arg("scheduler"), arg("num_epochs").annotated("int"), arg("train_loader"),
          arg("gradient_accumulation_steps", py::int_(1)).annotated("int"),
          arg("max_groups", py::int_(5)).annotated("int")};
}
py::object plot_lr_schedule(py::handle scheduler, py::int_ epochs, py::handle loader, py::int_ acc,
                            py::int_ max_groups) {
  const bool plateau = py::isinstance(scheduler, sched("ReduceLROnPlateau"));
  const SavedState saved = save(scheduler, plateau);
  py::list initial_lr;
  for (py::handle group : scheduler.attr("optimizer").attr("param_groups"))
    initial_lr.append(group["lr"]);
  const py::int_ num_groups(initial_lr.size());
  const long long shown = std::min(max_groups.cast<long long>(), num_groups.cast<long long>());
  if (num_groups.cast<long long>() > max_groups.cast<long long>())
    say("Warning: Only showing ", max_groups, " out of ", num_groups,
        " parameter groups for clarity");
  std::vector<py::list> lrs(static_cast<size_t>(std::max(shown, 0LL)));
  py::object x = plateau ? simulate_plateau(scheduler, epochs, loader, lrs)
                         : simulate_steps(scheduler, epochs, loader, acc, lrs);
  restore(scheduler, saved);
  draw(x, lrs);
  return py::none();
}

std::vector<Param> epochs_to_steps_params() {
  return {arg("epochs").annotated("int"), arg("train_loader"),
          arg("gradient_accumulation_steps", py::int_(1)).annotated("int"), common::returns("int")};
}

}  // namespace

PYBIND11_MODULE(hestmoor, m) {
  m.doc() = "Learning-rate scheduler factory and schedule plot.";
  common::import_into(m, "typing", {"Dict", "Any", "Optional"});
  m.attr("torch") = py::module_::import("torch");
  m.attr("lr_scheduler") = py::module_::import("torch.optim").attr("lr_scheduler");
  m.attr("plt") = py::module_::import("matplotlib.pyplot");
  m.attr("np") = py::module_::import("numpy");
  m.attr("copy") = py::module_::import("copy");

  common::def_function(m, "_epochs_to_steps", epochs_to_steps_params(), epochs_to_steps,
                       "epochs * (len(train_loader) // gradient_accumulation_steps)");
  common::def_function(m, "create_scheduler", create_scheduler_params(), create_scheduler,
                       "Plateau, cosine or cosine-with-restarts scheduler, the cosine kinds with\n"
                       "an optional linear warm-up. Prints the settings as a tree.");
  common::def_function(m, "create_warmup_scheduler", create_warmup_scheduler_params(),
                       create_warmup_scheduler,
                       "SequentialLR: a LinearLR ramp over len(train_loader) * epochs steps,\n"
                       "then base_scheduler.");
  common::def_function(m, "plot_lr_schedule", plot_lr_schedule_params(), plot_lr_schedule,
                       "Simulates the schedule, restores the scheduler and optimizer, and shows\n"
                       "the learning rate of each parameter group (at most max_groups).");
}
