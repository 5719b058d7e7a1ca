// Language-model trainer: token-weighted loss epochs under float16 autocast
// with gradient scaling and accumulation, the epoch loop with heat-maps,
// generated text and checkpoints, text generation from sampled prompts, and
// evaluation over named generation settings.
//
// The loops run here; what they call (the model, the loss, the scaler, the
// optimizer, the scheduler, the progress bar) is looked up on the trainer or
// the module at every use, so a caller may replace any of them between
// batches. Running sums are plain interpreter numbers, as the metrics are.
#include <c10/core/InferenceMode.h>
#include <torch/extension.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/compat.h"
#include "binding/native_function.h"
#include "binding/nnmodule.h"
#include "binding/pyutil.h"
#include "binding/settings.h"
#include "binding/text.h"
#include "domain/trainloop.h"

namespace py = pybind11;
using common::add;
using common::arg;
using common::compare;
using common::div;
using common::index_of;
using common::Keyword;
using common::mod;
using common::mul;
using common::Param;
using common::within;
using common::nn::is_tensor;
using common::trainloop::accumulation_steps;
using common::trainloop::window_ends;

namespace {

constexpr const char* kModule = "corvantis.trainers.brenwick";
constexpr common::Globals global{kModule};

// ---- tensors ------------------------------------------------------------------

// t.item() as the interpreter number it returns.
py::object scalar_object(const at::Scalar& s) {
  if (s.isBoolean()) return py::bool_(s.toBool());
  if (s.isIntegral(false)) return py::int_(s.toLong());
  return py::float_(s.toDouble());
}

py::object item(py::handle t) {
  if (is_tensor(t)) return scalar_object(THPVariable_Unpack(t.ptr()).item());
  return t.attr("item")();
}

// value.view(*shape): on a tensor directly, anything else through its method.
py::object flat_logits(py::handle preds) {
  if (!is_tensor(preds)) return preds.attr("view")(-1, preds.attr("size")(-1));
  const at::Tensor& t = THPVariable_Unpack(preds.ptr());
  return common::nn::object(t.view({-1, t.size(-1)}));
}

py::object flat_ids(py::handle ids) {
  if (!is_tensor(ids)) return ids.attr("view")(-1);
  return common::nn::object(THPVariable_Unpack(ids.ptr()).view({-1}));
}

// torch.exp(torch.tensor(value)).item(): the default floating type (single
// precision unless the caller changed it), so it overflows past about 88.7.
double exp_default_dtype(py::handle value) {
  const at::Tensor v = at::scalar_tensor(
      common::to_float(value), at::TensorOptions().dtype(c10::get_default_dtype_as_scalartype()));
  return v.exp().item<double>();
}

// format(value, ".4f"), as the interpreter formats floats.
py::str four_decimals(double value) {
  char* s = PyOS_double_to_string(value, 'f', 4, 0, nullptr);
  if (!s) common::rethrow();
  py::str out(s);
  PyMem_Free(s);
  return out;
}

// ---- the trainer's collaborators, read at every use -----------------------------

bool is_plateau(py::handle scheduler) {
  return common::trainloop::is_plateau(global("torch"), scheduler);
}

void optimizer_step(py::handle self) { common::trainloop::close_window(self, global("torch")); }

void empty_cache() { global("torch").attr("cuda").attr("empty_cache")(); }

// ---- loss epochs -------------------------------------------------------------------

struct TextBatch {
  py::object shifted, golden, lengths;
};

// Every item moved with .to(device), then unpacked into exactly three.
TextBatch to_device(py::handle batch, py::handle device) {
  py::list moved;
  for (py::handle x : py::iter(batch)) moved.append(x.attr("to")(device));
  std::vector<py::object> v = common::nn::unpack(moved, 3);
  return {std::move(v[0]), std::move(v[1]), std::move(v[2])};
}

// Token-weighted running sums of one pass, as interpreter numbers.
class LossSums {
 public:
  // Folds one batch in: its mean loss times its token count.
  void add_batch(py::handle mean_loss, py::handle lengths) {
    py::object tokens = item(lengths.attr("sum")());
    total_tokens_ = add(total_tokens_, tokens);
    running_ = add(running_, mul(item(mean_loss), tokens));
  }

  py::object average() const {
    if (compare(total_tokens_, py::int_(0), Py_EQ))
      common::trainloop::no_tokens("the pass counted no token");
    return div(running_, total_tokens_);
  }

  // TextEpochMetrics: the dataset's characters per token are read last.
  py::dict metrics(py::handle dataloader) const {
    py::object token = average();
    py::object per_token = dataloader.attr("dataset").attr("get_avg_chars_per_token")();
    if (compare(per_token, py::int_(0), Py_EQ)) common::trainloop::no_chars_per_token();
    py::object chars = div(token, per_token);
    py::dict out;
    out["ce_loss_token"] = token;
    out["ce_loss_char"] = chars;
    out["perplexity_token"] = py::float_(exp_default_dtype(token));
    out["perplexity_char"] = py::float_(exp_default_dtype(chars));
    return out;
  }

 private:
  py::object running_ = py::float_(0.0);
  py::object total_tokens_ = py::int_(0);
};

// model(targets_shifted, target_lengths=lengths) -> (logits, attention maps).
std::vector<py::object> forward(py::handle self, const TextBatch& b) {
  return common::nn::unpack(self.attr("model")(b.shifted, py::arg("target_lengths") = b.lengths),
                            2);
}

py::object criterion(py::handle self, py::handle logits, const TextBatch& b) {
  return self.attr("criterion")(flat_logits(logits), flat_ids(b.golden));
}

// What both loops share: the model's mode, the bar, the running sums, the
// end of each batch and the metrics at the end.
class LossPass {
 public:
  LossPass(const py::object& self, const py::object& loader, const char* mode, const char* desc)
      : self(self), loader(loader) {
    self.attr("model").attr(mode)();
    bar_ =
        common::call(global("tqdm"),
                     {Keyword{"total", py::int_(py::len(loader))},
                      Keyword{"dynamic_ncols", py::bool_(true)}, Keyword{"leave", py::bool_(false)},
                      Keyword{"position", py::int_(0)}, Keyword{"desc", py::str(desc)}});
  }

  // The batch's forward pass and loss, the maps kept for the end.
  void run(const TextBatch& b) {
    std::vector<py::object> out = forward(self, b);
    logits = std::move(out[0]);
    attn_weights = std::move(out[1]);
    loss = criterion(self, logits, b);
  }

  // The postfix shows the running average so far, loss and perplexity first.
  void show(py::object acc_step = py::object()) {
    py::object avg = sums.average();
    py::str ce = four_decimals(common::to_float(avg)), ppl = four_decimals(exp_default_dtype(avg));
    if (acc_step)
      common::call(bar_.attr("set_postfix"),
                   {Keyword{"ce_loss_token", ce}, Keyword{"perplexity_token", ppl},
                    Keyword{"acc_step", std::move(acc_step)}});
    else
      common::call(bar_.attr("set_postfix"),
                   {Keyword{"ce_loss_token", ce}, Keyword{"perplexity_token", ppl}});
    bar_.attr("update")();
  }

  // The batch, its logits and `dropped` go before the cache is released.
  void release(TextBatch& b, py::object& dropped) {
    b = TextBatch{};
    logits = py::object();
    dropped = py::object();
    empty_cache();
  }

  py::object finish() {
    py::dict metrics = sums.metrics(loader);
    bar_.attr("close")();
    return py::make_tuple(metrics, attn_weights);
  }

  const py::object& self;
  const py::object& loader;
  LossSums sums;
  py::object logits, loss, attn_weights;

 private:
  py::object bar_;
};

// One training batch; i counts batches from 0.
void train_batch(LossPass& pass, py::handle batch, int64_t i, const std::string& device_type) {
  py::handle self = pass.self;
  TextBatch b = to_device(batch, self.attr("device"));
  // float16 where the device has it, bfloat16 on a CPU asked for it; elsewhere
  // the forward pass runs in the model's own precision
  within(common::trainloop::forward_precision(self, device_type), [&] { pass.run(b); });
  pass.sums.add_batch(pass.loss, b.lengths);

  py::object scaled = div(pass.loss, accumulation_steps(self));
  self.attr("scaler").attr("scale")(scaled).attr("backward")();
  if (window_ends(self, i + 1)) optimizer_step(self);

  const py::object n = accumulation_steps(self);
  pass.show(common::text(add(mod(py::int_(i), n), py::int_(1)), "/", n));
  pass.release(b, scaled);
}

// (self, dataloader), as both loss passes take them.
std::vector<Param> epoch_params() { return {arg("self"), arg("dataloader")}; }

py::object train_epoch(const py::object& self, const py::object& dataloader) {
  LossPass pass(self, dataloader, "train", "[Training LM]");
  pass.self.attr("optimizer").attr("zero_grad")();
  const std::string device_type = compat::device_type(pass.self.attr("device"));
  int64_t i = 0;
  for (py::handle batch : py::iter(pass.loader)) train_batch(pass, batch, i++, device_type);
  // the last, partial window: its losses were divided by the full count too
  if (!window_ends(pass.self, static_cast<int64_t>(py::len(pass.loader))))
    optimizer_step(pass.self);
  return pass.finish();
}

py::object validate_epoch(const py::object& self, const py::object& dataloader) {
  LossPass pass(self, dataloader, "eval", "[Validating LM]");
  for (py::handle batch : py::iter(pass.loader)) {
    TextBatch b = to_device(batch, pass.self.attr("device"));
    {
      c10::InferenceMode guard;
      pass.run(b);
    }
    pass.sums.add_batch(pass.loss, b.lengths);
    pass.show();
    pass.release(b, pass.loss);
  }
  return pass.finish();
}

// ---- construction ----------------------------------------------------------------

std::vector<Param> init_params() {
  return {arg("self"),
          arg("model").annotated("nn.Module"),
          arg("tokenizer"),
          arg("config").annotated("dict"),
          arg("run_name").annotated("str"),
          arg("config_file").annotated("str"),
          arg("device", py::none()).annotated("Optional[str]")};
}
py::object init(py::handle self, py::handle model, py::handle tokenizer, py::handle config,
                py::handle run_name, py::handle config_file, py::handle device) {
  common::trainloop::check_model_fits(model, tokenizer, config);
  global("BaseTrainer")
      .attr("__init__")(self, model, tokenizer, config, run_name, config_file, device);
  py::object smoothing =
      common::item(self.attr("config"), "training").attr("get")("label_smoothing", 0.0);
  common::settings::probability(smoothing, "training.label_smoothing");
  self.attr("criterion") =
      common::call(global("nn").attr("CrossEntropyLoss"),
                   {Keyword{"ignore_index", self.attr("tokenizer").attr("pad_id")},
                    Keyword{"label_smoothing", smoothing}});
  return py::none();
}

// ---- the epoch loop ------------------------------------------------------------

// The first entry of an attention dictionary, map of the first sequence; a
// model that returned no attention has nothing to plot.
py::object first_map(const py::list& keys, py::handle attn) {
  if (keys.empty()) return py::none();
  return attn[keys[0]][py::int_(0)];
}

void plot_first(py::handle self, const py::object& map, py::handle epoch, const char* kind) {
  if (!map.is_none()) self.attr("_save_attention_plot")(map, epoch, kind);
}

// One epoch; returns its validation ce_loss_char.
py::object run_epoch(py::handle self, py::handle train_loader, py::handle val_loader,
                     const py::int_& epoch) {
  std::vector<py::object> train = common::nn::unpack(self.attr("_train_epoch")(train_loader), 2);
  std::vector<py::object> val = common::nn::unpack(self.attr("_validate_epoch")(val_loader), 2);
  py::object gen_results = self.attr("generate")(val_loader);

  py::object scheduler = self.attr("scheduler");
  if (is_plateau(scheduler)) scheduler.attr("step")(common::item(val[0], "ce_loss_char"));

  py::dict metrics;
  metrics["train"] = train[0];
  metrics["val"] = val[0];
  self.attr("_log_metrics")(metrics, epoch);

  const py::list train_keys(train[1].attr("keys")()), val_keys(val[1].attr("keys")());
  plot_first(self, first_map(train_keys, train[1]), epoch, "train_self");
  plot_first(self, first_map(val_keys, val[1]), epoch, "val_self");
  self.attr("_save_generated_text")(gen_results, common::text("val_epoch_", epoch));
  self.attr("save_checkpoint")(common::trainloop::kLastCheckpoint);
  return common::item(val[0], "ce_loss_char");
}

void check_prompts_available(py::handle self, py::handle val_loader);

std::vector<Param> train_params() {
  return {arg("self"), arg("train_dataloader"), arg("val_dataloader"),
          arg("epochs").annotated("int")};
}
py::object train(py::handle self, py::handle train_dataloader, py::handle val_dataloader,
                 py::int_ epochs) {
  if (self.attr("scheduler").is_none())
    common::raise(PyExc_ValueError, "Scheduler is not initialized, initialize it first!");
  if (self.attr("optimizer").is_none())
    common::raise(PyExc_ValueError, "Optimizer is not initialized, initialize it first!");

  // the best value belongs to this call, not to the trainer's history
  py::object best_val_loss = py::float_(std::numeric_limits<double>::infinity());
  const int64_t start = index_of(self.attr("current_epoch"));
  const int64_t stop = index_of(add(py::int_(start), epochs));
  if (stop > start) check_prompts_available(self, val_dataloader);
  for (int64_t e = start; e < stop; ++e) {
    const py::int_ epoch(e);
    py::object val_loss = run_epoch(self, train_dataloader, val_dataloader, epoch);
    if (compare(val_loss, best_val_loss, Py_LT)) {
      best_val_loss = val_loss;
      self.attr("best_metric") = val_loss;
      self.attr("save_checkpoint")(common::trainloop::kBestCheckpoint);
    }
    self.attr("current_epoch") = add(self.attr("current_epoch"), py::int_(1));
  }
  return py::none();
}

// ---- generation -------------------------------------------------------------------

py::object setting(const py::object& config, const char* key, const py::object& fallback) {
  return config.attr("get")(key, fallback);
}

bool above(const py::object& config, const char* key, int fallback, int bound) {
  return compare(setting(config, key, py::int_(fallback)), py::int_(bound), Py_GT);
}

py::dict default_generation_config(py::handle self) {
  py::dict c;
  c["num_samples"] = 10;
  c["prompt_length"] = 20;
  c["seed"] = 52917;
  c["max_length"] = self.attr("model").attr("max_len");
  c["temperature"] = 1.0;
  c["beam_width"] = 1;
  c["repeat_penalty"] = 1.0;
  c["top_k"] = 0;
  c["top_p"] = 0.0;
  return c;
}

// x -> self.model.score(x), the model looked up at every call.
py::object score_closure(const py::object& self) {
  py::object fn = common::bound_function(
      common::Signature("<lambda>", {arg("x")}),
      [self](py::handle x) -> py::object { return self.attr("model").attr("score")(x); });
  return common::native_function(fn, "<lambda>", "LMTrainer.generate.<locals>.<lambda>", kModule);
}

// The search the settings select: sampling, then beam search, then greedy.
// Returns (sequences (count, length), scores (count)).
std::vector<py::object> search(const py::object& generator, const py::object& prompts,
                               const py::object& c) {
  const py::float_ one(1.0);
  if (above(c, "top_k", 0, 0) || above(c, "top_p", 0, 0)) {
    common::print(py::str("Generating with sampling..."));
    return common::nn::unpack(
        common::call(generator.attr("generate_sample"), py::make_tuple(prompts),
                     {Keyword{"temperature", setting(c, "temperature", one)},
                      Keyword{"top_k", setting(c, "top_k", py::int_(0))},
                      Keyword{"top_p", setting(c, "top_p", one)}}),
        2);
  }
  if (above(c, "beam_width", 1, 1)) {
    common::print(py::str("Generating with beam search..."));
    std::vector<py::object> out = common::nn::unpack(
        common::call(generator.attr("generate_beam"), py::make_tuple(prompts),
                     {Keyword{"beam_width", setting(c, "beam_width", py::int_(1))},
                      Keyword{"temperature", setting(c, "temperature", one)},
                      Keyword{"repeat_penalty", setting(c, "repeat_penalty", one)}}),
        2);
    // the best beam of each sequence
    const py::tuple best = py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0);
    return {out[0][best], out[1][best]};
  }
  common::print(py::str("Generating with greedy search..."));
  return common::nn::unpack(
      common::call(generator.attr("generate_greedy"), py::make_tuple(prompts),
                   {Keyword{"temperature", setting(c, "temperature", one)},
                    Keyword{"repeat_penalty", setting(c, "repeat_penalty", one)}}),
      2);
}

py::object tail(py::handle seq, const py::object& n) {
  py::object cut = common::steal(PySlice_New(n.ptr(), nullptr, nullptr));
  return seq[cut];
}

// One GenerationResult per prompt row, walking the four sequences together
// and stopping at the shortest, as zip does.
py::list results(py::handle self, const py::object& prompts, const py::object& trimmed,
                 const py::object& scores, const py::object& originals) {
  py::object decode = self.attr("tokenizer").attr("decode");
  py::iterator its[] = {py::iter(prompts), py::iter(trimmed), py::iter(scores),
                        py::iter(originals)};
  py::list out;
  for (;;) {
    py::object row[4];
    for (int k = 0; k < 4; ++k) {
      PyObject* next = PyIter_Next(its[k].ptr());
      if (!next) {
        if (PyErr_Occurred()) common::rethrow();
        return out;
      }
      row[k] = py::reinterpret_steal<py::object>(next);
    }
    const py::int_ n(py::len(row[0]));
    py::dict r;
    r["prompt"] = decode(row[0].attr("tolist")());
    r["original"] = decode(tail(row[3], n).attr("tolist")());
    r["generated"] = decode(tail(row[1], n).attr("tolist")());
    r["score"] = row[2].attr("item")();
    out.append(r);
  }
}

// A number of at least `low` (converted to an int where it is used).
void check_at_least(const py::object& config, const char* key, double low, const char* expected) {
  py::object v = setting(config, key, py::none());
  if (v.is_none()) return;
  const std::string where = std::string("generation ") + key;
  if (!(common::settings::number(v, where, expected) >= low))
    common::settings::refuse(PyExc_ValueError, where, expected, v);
}

// Settings that would fail deep in the search, or be ignored or search with
// NaN scores. Once sampling is selected, the generator's own checks of
// top_k, top_p and temperature apply.
void check_generation_config(const py::object& config) {
  check_at_least(config, "num_samples", 1, "a number of prompts of at least 1");
  check_at_least(config, "prompt_length", 1, "a length of at least 1 (the start token)");
  if (above(config, "top_k", 0, 0) || above(config, "top_p", 0, 0)) return;
  check_at_least(config, "top_k", 0, "a number of at least 0 (0: no top-k cut)");
  py::object v = setting(config, "top_p", py::none());
  if (!v.is_none()) common::settings::probability(v, "generation top_p");
  v = setting(config, "temperature", py::none());
  if (!v.is_none()) common::settings::positive(v, "generation temperature");
}

// The epoch loop generates from the validation set with the default settings:
// a set whose transcripts are all shorter than the prompt would fail only
// after the first epoch's training.
void check_prompts_available(py::handle self, py::handle val_loader) {
  py::object sequences = py::getattr(py::getattr(val_loader, "dataset", py::none()),
                                     "transcripts_shifted", py::none());
  if (!PyList_Check(sequences.ptr())) return;
  py::object prompt_length = common::item(default_generation_config(self), "prompt_length");
  for (py::handle s : sequences)
    if (compare(py::int_(py::len(s)), prompt_length, Py_GT)) return;
  common::raise(PyExc_ValueError,
                "val_dataloader: no transcript is longer than the generation prompt_length (" +
                    std::string(py::str(prompt_length)) +
                    " tokens), so no prompt can be drawn after each epoch");
}

std::vector<Param> generate_params() {
  return {arg("self"), arg("dataloader"),
          arg("generation_config", py::none()).annotated("Optional[Dict[str, Any]]")};
}
py::object generate(const py::object& self, py::handle dataloader, py::handle generation_config) {
  py::object config = common::optional_dict(generation_config, "generation_config");
  if (config.is_none()) config = default_generation_config(self);
  check_generation_config(config);
  py::object generator_class = global("SequenceGenerator");
  py::object generator =
      common::call(generator_class, {Keyword{"score_fn", score_closure(self)},
                                     Keyword{"tokenizer", self.attr("tokenizer")},
                                     Keyword{"max_length", self.attr("model").attr("max_len")},
                                     Keyword{"device", self.attr("device")}});

  std::vector<py::object> drawn = common::nn::unpack(
      common::call(dataloader.attr("dataset").attr("sample_prompts"),
                   {Keyword{"num_samples", setting(config, "num_samples", py::int_(10))},
                    Keyword{"prompt_length", setting(config, "prompt_length", py::int_(10))},
                    Keyword{"seed", setting(config, "seed", py::int_(52917))}}),
      2);
  py::object prompts = drawn[0].attr("to")(self.attr("device"));
  self.attr("model").attr("eval")();

  std::vector<py::object> found;
  {
    c10::InferenceMode guard;
    found = search(generator, prompts, config);
  }
  py::object trimmed =
      generator_class.attr("post_process_sequence")(found[0], self.attr("tokenizer"));
  return results(self, prompts, trimmed, found[1], drawn[1]);
}

py::object evaluation_configs(py::handle self) {
  py::dict common_settings;
  common_settings["num_samples"] = 50;
  common_settings["prompt_length"] = 10;
  common_settings["seed"] = 52917;
  common_settings["max_length"] = self.attr("model").attr("max_len");
  struct Search {
    const char* name;
    int beam_width;
    double repeat_penalty;
    int top_k;
    double top_p;
  };
  const Search searches[] = {
      {"greedy", 1, 1.0, 0, 0.0}, {"beam", 10, 1.2, 0, 0.0}, {"sample", 1, 1.0, 10, 0.95}};
  py::dict out;
  for (const Search& s : searches) {
    py::dict c = common_settings.attr("copy")();
    c["temperature"] = 1.0;
    c["beam_width"] = s.beam_width;
    c["repeat_penalty"] = s.repeat_penalty;
    c["top_k"] = s.top_k;
    c["top_p"] = s.top_p;
    out[s.name] = c;
  }
  return out;
}

// ---- evaluation ---------------------------------------------------------------------

// Generates and saves one setting's results; an Exception is reported and
// the setting skipped, anything else (KeyboardInterrupt) ends the evaluation.
void generate_setting(py::handle self, py::handle loader, py::handle name, py::handle config,
                      py::dict& generated) {
  try {
    py::object results =
        common::call(self.attr("generate"), py::make_tuple(loader),
                     {Keyword{"generation_config", py::reinterpret_borrow<py::object>(config)}});
    generated[name] = results;
    self.attr("_save_generated_text")(
        results, common::text("test_epoch_", self.attr("current_epoch"), "_", name));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    common::say("Could not generate results for ", name, ": ", e.value());
  }
}

std::vector<Param> evaluate_params() { return {arg("self"), arg("test_dataloader")}; }
py::object evaluate(py::handle self, py::handle loader) {
  std::vector<py::object> test = common::nn::unpack(self.attr("_validate_epoch")(loader), 2);
  py::dict metrics;
  metrics["test"] = test[0];
  self.attr("_log_metrics")(metrics, self.attr("current_epoch"));
  const py::list keys(test[1].attr("keys")());
  plot_first(self, first_map(keys, test[1]), self.attr("current_epoch"), "test_self");

  py::dict generated;
  py::object configs = self.attr("_get_evaluation_generation_configs")();
  for (py::handle pair : configs.attr("items")()) {
    std::vector<py::object> kv = common::nn::unpack(pair, 2);
    generate_setting(self, loader, kv[0], kv[1], generated);
  }
  return py::make_tuple(test[0], generated);
}

// ---- the module -------------------------------------------------------------------

void import_names(py::module_& m) {
  const std::string name = py::str(m.attr("__name__"));
  m.attr("BaseTrainer") = common::relative(name, "tolvery").attr("BaseTrainer");
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("tqdm") = common::import_attr("tqdm", "tqdm");
  common::import_into(m, "typing", {"Dict", "Tuple", "Any", "Optional", "List"});
  m.attr("create_scheduler") = common::relative(name, "utils", 2).attr("create_scheduler");
  m.attr("SequenceGenerator") =
      common::relative(name, "decoding.quillane", 2).attr("SequenceGenerator");
}

}  // namespace

PYBIND11_MODULE(brenwick, m) {
  m.doc() = "Language-model trainer: loss epochs, the training loop, generation and evaluation.";
  import_names(m);
  common::ClassBuilder(m, "LMTrainer", py::make_tuple(m.attr("BaseTrainer")))
      .doc(
          "Language Model Trainer class that handles the training, validation, and generation "
          "loops.")
      .method("__init__", init_params(), init,
              "A trainer for a decoder-only language model; `training.label_smoothing` sets\n"
              "the cross-entropy's smoothing. The optimizer and scheduler are assigned after.")
      .method("_train_epoch", epoch_params(), train_epoch,
              "One training pass: float16 autocast where the device has it, gradient scaling\n"
              "and accumulation. Returns (metrics, attention maps of the last batch).")
      .method("_validate_epoch", epoch_params(), validate_epoch,
              "One loss pass under inference mode. Returns (metrics, attention maps of the last "
              "batch).")
      .method("train", train_params(), train, "Full training loop for language model training.")
      .method("evaluate", evaluate_params(), evaluate,
              "Test loss pass, heat-map and generation with each evaluation setting.\n"
              "Returns (test metrics, {setting name: results}).")
      .method("generate", generate_params(), generate,
              "Continues prompts sampled from the loader's dataset by sampling, beam search or\n"
              "greedy search. Returns one {prompt, original, generated, score} per prompt.")
      .method("_get_evaluation_generation_configs", {arg("self")}, evaluation_configs,
              "The settings 'greedy', 'beam' and 'sample' of an evaluation.")
      .finish();
}
