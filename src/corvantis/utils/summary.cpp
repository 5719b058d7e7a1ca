// Model architecture summary: one forward pass under no_grad with forward
// hooks on every sub-module, reported as a table of the calls in order (name
// and type indented by depth, output shape, parameter count) followed by the
// parameter totals and a size estimate.
#include <torch/extension.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/native_function.h"
#include "binding/pyutil.h"

namespace py = pybind11;
using common::arg;
using common::Param;

namespace {

// ---- walking outputs -------------------------------------------------------

// Calls visit(tensor) for every tensor of an output, depth first through
// tuples, lists and dicts, until visit returns false. The walk keeps its own
// stack, so depth costs no C stack; each container is entered once, so an
// output that contains itself or shares its parts ends. Containers are read
// through their storage (subclasses too), so no Python code runs on the way;
// every item is held while it is visited.
template <class Visit>
void walk_tensors(py::handle root, Visit visit) {
  struct Frame {
    py::object container;
    Py_ssize_t pos;
  };
  std::vector<Frame> stack;
  std::unordered_set<PyObject*> entered;  // each held by `stack` or by `kept`
  std::vector<py::object> kept;
  // false: the walk is over
  auto reach = [&](const py::object& v) -> bool {
    PyObject* p = v.ptr();
    if (THPVariable_Check(p)) return visit(v);
    if ((PyTuple_Check(p) || PyList_Check(p) || PyDict_Check(p)) && entered.insert(p).second)
      stack.push_back({v, 0});
    return true;
  };
  // the next item of the innermost container, null when it has no more
  auto next = [](Frame& f) -> py::object {
    PyObject* c = f.container.ptr();
    PyObject* item = nullptr;
    if (PyTuple_Check(c)) {
      if (f.pos < PyTuple_GET_SIZE(c)) item = PyTuple_GET_ITEM(c, f.pos++);
    } else if (PyList_Check(c)) {
      if (f.pos < PyList_GET_SIZE(c)) item = PyList_GET_ITEM(c, f.pos++);
    } else {
      PyObject* key;
      if (!PyDict_Next(c, &f.pos, &key, &item)) item = nullptr;
    }
    return py::reinterpret_borrow<py::object>(item);
  };
  if (!reach(py::reinterpret_borrow<py::object>(root))) return;
  while (!stack.empty()) {
    py::object item = next(stack.back());
    if (!item) {
      kept.push_back(std::move(stack.back().container));
      stack.pop_back();
    } else if (!reach(item)) {
      return;
    }
  }
}

// The first tensor of an output, or None.
py::object first_tensor(py::handle value) {
  py::object found = py::none();
  walk_tensors(value, [&](const py::object& t) {
    found = t;
    return false;
  });
  return found;
}

// Counts and sizes add up as Python ints, exact however large (meta tensors
// may claim more than an int64 holds).
py::object product(int64_t a, int64_t b) { return py::int_(a) * py::int_(b); }

py::object tensor_bytes(py::handle value) {
  py::object total = py::int_(0);
  walk_tensors(value, [&](const py::object& t) {
    const at::Tensor& w = THPVariable_Unpack(t.ptr());
    total = total + product(w.numel(), static_cast<int64_t>(w.element_size()));
    return true;
  });
  return total;
}

py::object shape_of(py::handle output) {
  py::object t = first_tensor(output);
  if (t.is_none()) return py::none();
  py::list shape;
  for (int64_t s : THPVariable_Unpack(t.ptr()).sizes()) shape.append(s);
  return shape;
}

// ---- recording the calls ----------------------------------------------------

struct ModuleInfo {
  std::string name;  // dotted path, "" for the model itself
  std::string type;
  int depth = 0;
  py::object params;  // its own and its children's, an int
  bool leaf = false;
};

// Rows name their module by index and are themselves found by index: hooks
// run Python code, which may call modules and so grow `rows`.
struct Row {
  size_t module;
  py::object shape;  // None until the call returns, or for containers never called
  bool called;
  bool repeat;
};

struct Recorder {
  std::vector<ModuleInfo> modules;
  std::unordered_map<std::string, size_t> by_name;
  std::vector<Row> rows;
  std::vector<size_t> open;  // rows whose call has not returned yet
  std::set<std::string> listed, called;
  py::object forward_bytes = py::int_(0);

  // Containers that are never called themselves (a ModuleList) still get a
  // row, so that the tree shows where their children live.
  void list_ancestors(const std::string& name) {
    for (size_t dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1)) {
      const std::string prefix = name.substr(0, dot);
      if (listed.count(prefix) || !by_name.count(prefix)) continue;
      listed.insert(prefix);
      rows.push_back({by_name[prefix], py::none(), false, false});
    }
  }

  void enter(size_t index) {
    const ModuleInfo& info = modules[index];
    list_ancestors(info.name);
    listed.insert(info.name);
    const bool repeat = !called.insert(info.name).second;
    open.push_back(rows.size());
    rows.push_back({index, py::none(), true, repeat});
  }

  void leave(size_t index, py::handle output) {
    if (open.empty()) return;
    const size_t row = open.back();
    open.pop_back();
    py::object shape = shape_of(output);
    rows[row].shape = std::move(shape);
    if (modules[index].leaf) forward_bytes = forward_bytes + tensor_bytes(output);
  }
};

py::object count_params(py::handle module) {
  py::object n = py::int_(0);
  for (py::handle p : module.attr("parameters")())
    n = n + py::int_(THPVariable_Unpack(p.ptr()).numel());
  return n;
}

// Fills rec.modules from model.named_modules(); returns the modules, same order.
py::list collect_modules(Recorder& rec, py::handle model) {
  py::list modules;
  for (py::handle item : model.attr("named_modules")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    ModuleInfo info;
    info.name = py::str(pair[0]);
    info.type = py::str(py::type::of(pair[1]).attr("__name__"));
    info.depth = info.name.empty()
                     ? 0
                     : 1 + static_cast<int>(std::count(info.name.begin(), info.name.end(), '.'));
    info.params = count_params(pair[1]);
    info.leaf = py::len(pair[1].attr("_modules")) == 0;
    rec.by_name[info.name] = rec.modules.size();
    rec.modules.push_back(std::move(info));
    modules.append(pair[1]);
  }
  return modules;
}

// Registers a pre-hook and a hook on every module; returns their handles.
py::list attach_hooks(const std::shared_ptr<Recorder>& rec, const py::list& modules) {
  py::list handles;
  size_t index = 0;
  for (py::handle module : modules) {
    std::weak_ptr<Recorder> weak = rec;
    py::cpp_function pre([weak, index](py::object, py::object) {
      if (auto r = weak.lock()) r->enter(index);
    });
    py::cpp_function post([weak, index](py::object, py::object, py::object output) {
      if (auto r = weak.lock()) r->leave(index, output);
    });
    handles.append(module.attr("register_forward_pre_hook")(pre));
    handles.append(module.attr("register_forward_hook")(post));
    ++index;
  }
  return handles;
}

// ---- inputs ------------------------------------------------------------------

bool is_shape(py::handle v) {
  if (!PyTuple_Check(v.ptr()) && !PyList_Check(v.ptr())) return false;
  for (py::handle d : v)
    if (!PyLong_Check(d.ptr())) return false;
  return true;
}

// Random floats in [0, 1); integer and boolean inputs are ones (a valid id,
// a length of one).
py::object dummy_input(py::handle shape, py::handle dtype) {
  py::module_ torch = py::module_::import("torch");
  const bool floating =
      py::bool_(dtype.attr("is_floating_point")) || py::bool_(dtype.attr("is_complex"));
  return common::call(torch.attr(floating ? "rand" : "ones"),
                      py::make_tuple(py::tuple(py::reinterpret_borrow<py::object>(shape))),
                      {{"dtype", py::reinterpret_borrow<py::object>(dtype)}});
}

py::list inputs_from_sizes(py::handle input_size, py::handle dtypes) {
  const char* bad = "input_size must be a shape (a sequence of ints) or a list of shapes";
  if (!PyTuple_Check(input_size.ptr()) && !PyList_Check(input_size.ptr()))
    common::raise(PyExc_TypeError, bad);
  py::list shapes;
  if (is_shape(input_size)) {
    shapes.append(input_size);
  } else {
    for (py::handle s : input_size) {
      if (!is_shape(s)) common::raise(PyExc_TypeError, bad);
      shapes.append(s);
    }
  }
  py::list types;
  if (dtypes.is_none()) {
    for (size_t i = 0; i < shapes.size(); ++i)
      types.append(py::module_::import("torch").attr("float32"));
  } else {
    for (py::handle d : dtypes) types.append(d);
    if (types.size() != shapes.size())
      common::raise(PyExc_ValueError, "dtypes has " + std::to_string(types.size()) +
                                          " entries for " + std::to_string(shapes.size()) +
                                          " inputs");
  }
  py::list inputs;
  for (size_t i = 0; i < shapes.size(); ++i) inputs.append(dummy_input(shapes[i], types[i]));
  return inputs;
}

// Where the inputs go: the given device, else the model's first parameter's.
py::object target_device(py::handle model, py::handle device) {
  if (!device.is_none()) return py::module_::import("torch").attr("device")(device);
  for (py::handle p : model.attr("parameters")()) return p.attr("device");
  for (py::handle b : model.attr("buffers")()) return b.attr("device");
  return py::none();
}

py::object placed(py::handle value, py::handle device) {
  if (device.is_none() || !THPVariable_Check(value.ptr()))
    return py::reinterpret_borrow<py::object>(value);
  return value.attr("to")(device);
}

// (positional tuple, keyword dict) of the forward call.
std::pair<py::tuple, py::dict> forward_arguments(py::handle input_data, py::handle device) {
  py::list positional;
  py::dict keywords;
  if (PyDict_Check(input_data.ptr())) {
    for (auto kv : py::reinterpret_borrow<py::dict>(input_data))
      keywords[kv.first] = placed(kv.second, device);
  } else if (PyTuple_Check(input_data.ptr()) || PyList_Check(input_data.ptr())) {
    for (py::handle v : input_data) positional.append(placed(v, device));
  } else {
    positional.append(placed(input_data, device));
  }
  return {py::tuple(positional), keywords};
}

// ---- running -------------------------------------------------------------------

struct Totals {
  py::object total = py::int_(0), trainable = py::int_(0), param_bytes = py::int_(0);
};

Totals parameter_totals(py::handle model) {
  Totals t;
  for (py::handle p : model.attr("parameters")()) {
    const at::Tensor& w = THPVariable_Unpack(p.ptr());
    const py::int_ n(w.numel());
    t.total = t.total + n;
    if (w.requires_grad()) t.trainable = t.trainable + n;
    t.param_bytes = t.param_bytes + product(w.numel(), static_cast<int64_t>(w.element_size()));
  }
  return t;
}

// Every module's own training flag, so mixed modes come back as they were.
std::vector<std::pair<py::object, py::object>> training_flags(py::handle model) {
  std::vector<std::pair<py::object, py::object>> flags;
  for (py::handle m : model.attr("modules")())
    flags.emplace_back(py::reinterpret_borrow<py::object>(m), m.attr("training"));
  return flags;
}

void restore(const py::list& handles, const std::vector<std::pair<py::object, py::object>>& flags) {
  for (py::handle h : handles) h.attr("remove")();
  for (const auto& f : flags) f.first.attr("training") = f.second;
}

void run_forward(py::handle model, const std::pair<py::tuple, py::dict>& arguments,
                 const std::shared_ptr<Recorder>& rec) {
  const auto flags = training_flags(model);
  py::list handles = attach_hooks(rec, collect_modules(*rec, model));
  try {
    model.attr("eval")();
    at::NoGradGuard no_grad;
    PyObject* out = PyObject_Call(model.ptr(), arguments.first.ptr(), arguments.second.ptr());
    if (!out) common::rethrow();
    Py_DECREF(out);
  } catch (...) {
    try {
      restore(handles, flags);
    } catch (py::error_already_set&) {
    }
    throw;
  }
  restore(handles, flags);
}

py::list rows_as_dicts(const Recorder& rec) {
  py::list out;
  for (const Row& r : rec.rows) {
    const ModuleInfo& info = rec.modules[r.module];
    py::dict d;
    d["name"] = info.name;
    d["type"] = info.type;
    d["depth"] = info.depth;
    d["output_shape"] = r.shape;
    d["num_params"] = info.params;
    d["called"] = r.called;
    d["repeat"] = r.repeat;
    out.append(d);
  }
  return out;
}

std::vector<Param> summary_params() {
  return {arg("model"),
          arg("input_size", py::none()),
          arg("input_data", py::none()),
          arg("dtypes", py::none()),
          arg("device", py::none()),
          arg("depth", py::int_(3)),
          arg("verbose", py::none()),
          common::returns("ModelStatistics")};
}
py::object summary(py::handle model, py::handle input_size, py::handle input_data,
                   py::handle dtypes, py::handle device_arg, py::handle depth_arg,
                   py::handle verbose) {
  if (input_size.is_none() == input_data.is_none())
    common::raise(PyExc_ValueError, "summary() needs exactly one of input_size and input_data");
  const int64_t depth = common::to_int64(depth_arg, "depth");
  const int64_t verbosity = verbose.is_none() ? 1 : common::to_int64(verbose, "verbose");

  py::object device = target_device(model, device_arg);
  py::object data = input_data.is_none() ? py::object(inputs_from_sizes(input_size, dtypes))
                                         : py::reinterpret_borrow<py::object>(input_data);
  const auto arguments = forward_arguments(data, device);
  py::object input_bytes = tensor_bytes(arguments.first) + tensor_bytes(arguments.second);

  auto rec = std::make_shared<Recorder>();
  run_forward(model, arguments, rec);

  const Totals totals = parameter_totals(model);
  py::object cls = py::module_::import("corvantis.utils.summary").attr("ModelStatistics");
  py::object stats = cls.attr("__new__")(cls);
  stats.attr("summary_list") = rows_as_dicts(*rec);
  stats.attr("depth") = depth;
  stats.attr("total_params") = totals.total;
  stats.attr("trainable_params") = totals.trainable;
  stats.attr("non_trainable_params") = totals.total - totals.trainable;
  stats.attr("input_bytes") = input_bytes;
  stats.attr("forward_bytes") = rec->forward_bytes;
  stats.attr("param_bytes") = totals.param_bytes;
  if (verbosity > 0) common::print(py::str(stats));
  return stats;
}

// ---- the table -------------------------------------------------------------------

size_t width(const std::string& s) {  // in code points
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string pad(const std::string& s, size_t to) {
  const size_t w = width(s);
  return w >= to ? s : s + std::string(to - w, ' ');
}

// format(n, ","): 1234567 -> "1,234,567", any int, one sign.
std::string grouped(py::handle n) {
  PyObject* text = PyObject_Format(n.ptr(), py::str(",").ptr());
  if (!text) common::rethrow();
  return py::reinterpret_steal<py::str>(text);
}

std::string megabytes(py::handle bytes) {
  const double mb = py::float_(py::reinterpret_borrow<py::object>(bytes)).cast<double>() / 1e6;
  char buf[64];  // DBL_MAX has 309 digits; snprintf cuts what does not fit
  std::snprintf(buf, sizeof buf, "%.2f", mb);
  return buf;
}

struct Line {
  int depth;
  std::string label, shape, params;
};

// Tree prefixes: "├─" before a row with later siblings, "└─" before the last,
// and "│    " for each open ancestor that has later siblings.
std::vector<std::string> tree_prefixes(const std::vector<Line>& lines) {
  const size_t n = lines.size();
  std::vector<bool> last(n, true);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = i + 1; j < n && lines[j].depth >= lines[i].depth; ++j)
      if (lines[j].depth == lines[i].depth) {
        last[i] = false;
        break;
      }
  std::vector<std::string> out(n);
  std::vector<bool> open_levels;  // open_levels[k]: the ancestor at depth k+1 has later siblings
  for (size_t i = 0; i < n; ++i) {
    const int d = lines[i].depth;
    if (d == 0) continue;
    open_levels.resize(static_cast<size_t>(d));
    std::string prefix;
    for (int k = 0; k + 1 < d; ++k)
      prefix += open_levels[static_cast<size_t>(k)] ? "│    " : "     ";
    out[i] = prefix + (last[i] ? "└─" : "├─");
    open_levels[static_cast<size_t>(d - 1)] = !last[i];
  }
  return out;
}

std::string shape_text(py::handle shape) {
  if (shape.is_none()) return "--";
  std::string s = "[";
  bool first = true;
  for (py::handle d : shape) {
    s += (first ? "" : ", ") + std::string(py::str(d));
    first = false;
  }
  return s + "]";
}

std::vector<Line> table_lines(py::handle stats) {
  const int64_t depth = stats.attr("depth").cast<int64_t>();
  std::vector<Line> lines;
  for (py::handle row : stats.attr("summary_list")) {
    const int d = row["depth"].cast<int>();
    if (d > depth) continue;
    const std::string name = py::str(row["name"]), type = py::str(row["type"]);
    Line line{d, type, shape_text(row["output_shape"]), ""};
    if (!name.empty()) line.label += " (" + name.substr(name.rfind('.') + 1) + ")";
    line.params = py::bool_(row["repeat"]) ? "(reused)" : grouped(row["num_params"]);
    lines.push_back(std::move(line));
  }
  const auto prefixes = tree_prefixes(lines);
  for (size_t i = 0; i < lines.size(); ++i) lines[i].label = prefixes[i] + lines[i].label;
  return lines;
}

py::object statistics_str(py::handle stats) {
  std::vector<Line> lines = table_lines(stats);
  size_t w1 = 32, w2 = 22, w3 = 12;
  for (const Line& l : lines) {
    w1 = std::max(w1, width(l.label) + 2);
    w2 = std::max(w2, width(l.shape) + 2);
    w3 = std::max(w3, width(l.params));
  }
  const std::string rule(w1 + w2 + w3, '='), thin(w1 + w2 + w3, '-');
  std::string out =
      rule + "\n" + pad("Layer (type)", w1) + pad("Output Shape", w2) + "Param #\n" + rule + "\n";
  for (const Line& l : lines) out += pad(l.label, w1) + pad(l.shape, w2) + l.params + "\n";
  auto count = [&](const char* attr) { return grouped(stats.attr(attr)); };
  auto bytes = [&](const char* attr) { return py::object(stats.attr(attr)); };
  const py::object total_bytes =
      bytes("input_bytes") + bytes("forward_bytes") + bytes("param_bytes");
  out += rule + "\nTotal params: " + count("total_params") +
         "\nTrainable params: " + count("trainable_params") +
         "\nNon-trainable params: " + count("non_trainable_params") + "\n" + thin +
         "\nInput size (MB): " + megabytes(bytes("input_bytes")) +
         "\nForward pass size (MB): " + megabytes(bytes("forward_bytes")) +
         "\nParams size (MB): " + megabytes(bytes("param_bytes")) +
         "\nEstimated total size (MB): " + megabytes(total_bytes) + "\n" + rule;
  return py::str(out);
}

}  // namespace

PYBIND11_MODULE(summary, m) {
  m.doc() = "Model architecture summaries: a table of the module calls of one forward pass.";
  common::ClassBuilder(m, "ModelStatistics")
      .doc(
          "What summary() found: `summary_list` (one dict per module call, in call order),\n"
          "`total_params`, `trainable_params`, `non_trainable_params`, and the sizes in\n"
          "bytes `input_bytes`, `forward_bytes` (outputs of leaf modules), `param_bytes`.\n"
          "str() gives the table, with rows down to `depth`.")
      .method("__str__", {arg("self"), common::returns("str")}, statistics_str, "The table.")
      .method("__repr__", {arg("self"), common::returns("str")}, statistics_str, "The table.")
      .finish();
  common::def_function(
      m, "summary", summary_params(), summary,
      "Runs one forward pass of `model` in evaluation mode under torch.no_grad() and\n"
      "tabulates every module call. Give either `input_data` (a tensor, a list or tuple of\n"
      "positional arguments, or a dict of keyword arguments) or `input_size` (a shape or a\n"
      "list of shapes; `dtypes` gives one dtype per shape, float32 by default: floating\n"
      "inputs are uniform in [0, 1), integer ones are all ones). Tensors are moved to\n"
      "`device`, by default the device of the model's parameters. The model's training\n"
      "flags and parameters are left as they were. The table is printed unless `verbose`\n"
      "is 0.");
}
