// Optimizer factory: torch.optim.SGD, Adam or AdamW over parameter groups
// formed by name patterns, by global layer-wise decay, or as one group.
#include <pybind11/pybind11.h>

#include <array>
#include <cstring>
#include <utility>

#include "binding/bind.h"
#include "binding/native_function.h"
#include "binding/pyutil.h"
#include "binding/settings.h"
#include "binding/text.h"

namespace py = pybind11;
using common::arg;
using common::Param;
using common::say;
using common::truthy;

namespace {

constexpr const char* kModule = "corvantis.utils.yarrowind";
constexpr common::Globals global{kModule};

using common::get;
using common::item;

// A rate or decay that is not a number (YAML's "1e-3" is a string) would fail
// only at the first optimizer step, inside torch.
py::object number(py::object v, const std::string& key) {
  common::settings::number(v, key, "a number");
  return v;
}

py::dict entry(py::handle params, py::handle lr, py::handle name) {
  py::dict out;
  out["params"] = params;
  out["lr"] = lr;
  out["name"] = name;
  return out;
}

// Depth in the module tree: the dots of the dotted name.
py::int_ depth(py::handle name) {
  const Py_ssize_t n = PyUnicode_Count(name.ptr(), py::str(".").ptr(), 0, PY_SSIZE_T_MAX);
  if (n < 0) common::rethrow();
  return py::int_(n);
}

// rate * decay ** depth
py::object decayed(py::handle rate, py::handle decay, py::handle name) {
  PyObject* factor = PyNumber_Power(decay.ptr(), depth(name).ptr(), Py_None);
  if (!factor) common::rethrow();
  return rate * py::reinterpret_steal<py::object>(factor);
}

bool matches(py::handle patterns, py::handle name) {
  for (py::handle pattern : py::iter(patterns)) {
    if (common::contains(name, pattern)) return true;
  }
  return false;
}

// ---- parameter groups ----------------------------------------------------

// Adds the trainable parameters that match this group setting and are not
// yet taken; the first group that matches a parameter keeps it.
void add_pattern_group(py::handle model, py::handle group, py::handle base_lr, py::set& assigned,
                       py::list& groups) {
  py::object rate = get(group, "lr", py::reinterpret_borrow<py::object>(base_lr));
  number(rate, "param_groups lr");
  py::object patterns = item(group, "patterns");
  say("│   ├── Group: ", item(group, "name"));
  say("│   │   ├── LR: ", rate);
  say("│   │   └── Patterns: ", patterns);
  py::object decay = get(group, "layer_decay", py::dict());
  const bool enabled = truthy(get(decay, "enabled", py::bool_(false)));
  py::object decay_rate =
      number(get(decay, "decay_rate", py::float_(1.0)), "param_groups layer_decay.decay_rate");
  py::list found;
  for (py::handle pair : model.attr("named_parameters")()) {
    py::object name = pair[py::int_(0)], param = pair[py::int_(1)];
    if (!truthy(param.attr("requires_grad")) || !matches(patterns, name) || assigned.contains(name))
      continue;
    assigned.add(name);
    found.append(entry(param, enabled ? decayed(rate, decay_rate, name) : rate, name));
  }
  for (py::handle e : found) groups.append(e);
}

py::list pattern_groups(py::handle model, py::handle group_settings, py::handle base_lr) {
  say("├── Parameter Groups:");
  py::set assigned;
  py::list groups;
  for (py::handle group : py::iter(group_settings))
    add_pattern_group(model, group, base_lr, assigned, groups);
  py::list rest;
  for (py::handle pair : model.attr("named_parameters")()) {
    py::object name = pair[py::int_(0)], param = pair[py::int_(1)];
    if (truthy(param.attr("requires_grad")) && !assigned.contains(name))
      rest.append(entry(param, base_lr, name));
  }
  if (!rest.empty()) {
    say("│   └── Default Group (unmatched parameters)");
    for (py::handle e : rest) groups.append(e);
  }
  return groups;
}

// The first three rates, then how many more there are.
void print_rate_sample(const py::dict& rates) {
  const py::object format = common::builtins_attr("format");
  size_t index = 0;
  for (auto kv : rates) {
    if (index == 3) {
      say("│   └── ... (", py::int_(rates.size() - 3), " more layers)");
      break;
    }
    say("│   ├── ", kv.first, ": ", format(kv.second, ".6f"));
    ++index;
  }
}

py::list decay_groups(py::handle model, py::handle opt_config) {
  py::object base_lr = item(opt_config, "lr");
  py::object decay_rate =
      number(item(item(opt_config, "layer_decay"), "decay_rate"), "layer_decay.decay_rate");
  say("├── Layer-wise Decay: Enabled");
  say("│   └── Decay Rate: ", decay_rate);
  py::dict rates;
  py::list groups;
  for (py::handle pair : model.attr("named_parameters")()) {
    py::object name = pair[py::int_(0)], param = pair[py::int_(1)];
    if (!truthy(param.attr("requires_grad"))) continue;
    py::object rate = decayed(base_lr, decay_rate, name);
    rates[name] = rate;
    groups.append(entry(param, rate, py::str("model.") + name));
  }
  say("├── Layer Learning Rates (sample):");
  print_rate_sample(rates);
  return groups;
}

// Every parameter, frozen ones included, at the base rate.
py::list single_group(py::handle model, py::handle opt_config) {
  say("├── Layer-wise Decay: Disabled");
  py::list groups;
  groups.append(entry(model.attr("parameters")(), item(opt_config, "lr"), py::str("model")));
  return groups;
}

py::list form_groups(py::handle model, py::handle opt_config, py::handle base_lr) {
  py::object group_settings = get(opt_config, "param_groups", py::list());
  if (truthy(group_settings)) return pattern_groups(model, group_settings, base_lr);
  if (truthy(get(get(opt_config, "layer_decay", py::dict()), "enabled", py::bool_(false))))
    return decay_groups(model, opt_config);
  return single_group(model, opt_config);
}

// ---- optimizer kinds -----------------------------------------------------

struct OptimizerKind {
  const char* name;  // the lower-cased setting, also its sub-dictionary
  const char* cls;   // attribute of torch.optim
  const char* header;
  std::array<std::pair<const char*, const char*>, 3> shown;  // label, key
  std::array<const char*, 4> keywords;  // weight_decay comes from the top level
};

const std::array<OptimizerKind, 3> kKinds = {{
    {"sgd",
     "SGD",
     "└── SGD Specific:",
     {{{"    ├── Momentum: ", "momentum"},
       {"    ├── Nesterov: ", "nesterov"},
       {"    └── Dampening: ", "dampening"}}},
     {"momentum", "weight_decay", "nesterov", "dampening"}},
    {"adam",
     "Adam",
     "└── Adam Specific:",
     {{{"    ├── Betas: ", "betas"},
       {"    ├── Epsilon: ", "eps"},
       {"    └── AMSGrad: ", "amsgrad"}}},
     {"betas", "eps", "weight_decay", "amsgrad"}},
    {"adamw",
     "AdamW",
     "└── AdamW Specific:",
     {{{"    ├── Betas: ", "betas"},
       {"    ├── Epsilon: ", "eps"},
       {"    └── AMSGrad: ", "amsgrad"}}},
     {"betas", "eps", "weight_decay", "amsgrad"}},
}};

const OptimizerKind* find_kind(py::handle name) {
  for (const auto& kind : kKinds) {
    const int same = PyObject_RichCompareBool(name.ptr(), py::str(kind.name).ptr(), Py_EQ);
    if (same < 0) common::rethrow();
    if (same) return &kind;
  }
  return nullptr;
}

// Each setting is read where it is printed and again for the call, so a
// missing one fails right after the lines before it.
py::object build(const OptimizerKind& kind, const py::list& groups, py::handle opt_config) {
  say(kind.header);
  for (const auto& [label, key] : kind.shown) say(label, item(item(opt_config, kind.name), key));
  py::dict keywords;
  for (const char* key : kind.keywords) {
    const bool top = std::strcmp(key, "weight_decay") == 0;
    keywords[key] = top ? item(opt_config, key) : item(item(opt_config, kind.name), key);
  }
  // looked up now, so a patched torch.optim is the one used
  py::object cls = global("torch").attr("optim").attr(kind.cls);
  PyObject* out = PyObject_Call(cls.ptr(), py::make_tuple(groups).ptr(), keywords.ptr());
  if (!out) common::rethrow();
  return py::reinterpret_steal<py::object>(out);
}

std::vector<Param> yarrowind_params() { return {arg("model"), arg("opt_config")}; }
py::object yarrowind(py::handle model, py::handle opt_config) {
  py::object name = item(opt_config, "name").attr("lower")();
  py::object base_lr = number(item(opt_config, "lr"), "lr");
  say("\n🔧 Configuring Optimizer:");
  say("├── Type: ", name.attr("upper")());
  say("├── Base LR: ", base_lr);
  say("├── Weight Decay: ", number(item(opt_config, "weight_decay"), "weight_decay"));
  py::list groups = form_groups(model, opt_config, base_lr);
  const OptimizerKind* kind = find_kind(name);
  if (!kind) common::raise_text(PyExc_ValueError, "Unsupported optimizer: ", name);
  return build(*kind, groups, opt_config);
}

}  // namespace

PYBIND11_MODULE(yarrowind, m) {
  m.doc() = "Optimizer factory: parameter groups by pattern or layer-wise decay.";
  m.attr("torch") = py::module_::import("torch");
  common::def_function(m, "yarrowind", yarrowind_params(), yarrowind,
                       "An SGD, Adam or AdamW optimizer over the model's parameters, from the\n"
                       "optimizer settings (name, lr, weight_decay, param_groups, layer_decay and\n"
                       "the sgd/adam/adamw section). Prints the configuration as a tree.");
}
