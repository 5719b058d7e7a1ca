// Speech-recognition trainers. ASRTrainer trains an encoder-decoder speech
// model on cross-entropy plus weighted CTC under float16 autocast with
// gradient accumulation, recognises speech by greedy or beam search with
// optional language-model fusion, scores it by word and character error
// rates and evaluates named recognition settings. ProgressiveTrainer trains
// in stages over chosen layers, frozen layers and random subsets of the data.
//
// The loops run here; the model, the criteria, the optimizer, the scaler,
// the scheduler and the progress bars are called through Python, each looked
// up on the trainer at every use so that replacing one between batches,
// epochs or stages takes effect at once.
#include <torch/extension.h>

#include <limits>
#include <memory>
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
namespace nn = common::nn;
using common::add;
using common::arg;
using common::compare;
using common::contains;
using common::div;
using common::mod;
using common::mul;
using common::Param;
using common::say;
using common::steal;
using common::sub;
using common::truthy;
using common::within;
using common::trainloop::accumulation_steps;
using common::trainloop::window_ends;

namespace {

constexpr const char* kModule = "corvantis.trainers.marrowby";
constexpr common::Globals global{kModule};

// ---- Python operations on values of the caller's ---------------------------

using common::get;
using common::item;

bool is_zero(py::handle v) { return compare(v, py::int_(0), Py_EQ); }

py::str fixed(double v, const char* spec) {
  return common::builtins_attr("format")(py::float_(v), spec);
}

py::object optional_int(py::handle v, const char* name) {
  if (v.is_none()) return py::none();
  return common::to_int(v, name);
}

py::object progress_bar(py::handle total, py::handle desc) {
  return common::call(global("tqdm"), {{"total", py::reinterpret_borrow<py::object>(total)},
                                       {"dynamic_ncols", py::bool_(true)},
                                       {"leave", py::bool_(false)},
                                       {"position", py::int_(0)},
                                       {"desc", py::reinterpret_borrow<py::object>(desc)}});
}

void empty_cache() { global("torch").attr("cuda").attr("empty_cache")(); }

// type(self).__mro__ after `cls`: super(cls, self).<name>
py::object super_attr(const char* cls, py::handle self, const char* name) {
  return common::builtins_attr("super")(global(cls), self).attr(name);
}

py::object cross_entropy(py::handle self, py::handle label_smoothing) {
  return common::call(global("nn").attr("CrossEntropyLoss"),
                      {{"ignore_index", self.attr("tokenizer").attr("pad_id")},
                       {"label_smoothing", py::reinterpret_borrow<py::object>(label_smoothing)}});
}

// ---- construction --------------------------------------------------------------

// The constructor takes the base trainer's parameters.
std::vector<Param> init_params() { return common::trainloop::trainer_init_params(); }
py::object init(const py::object& self, py::handle model, py::handle tokenizer, py::handle config,
                py::handle run_name, py::handle config_file, py::handle device) {
  common::trainloop::check_model_fits(model, tokenizer, config);
  super_attr("ASRTrainer", self, "__init__")(model, tokenizer, config, run_name, config_file,
                                             device);
  py::object loss = item(self.attr("config"), "loss");
  py::object smoothing = get(loss, "label_smoothing", py::float_(0.0));
  common::settings::probability(smoothing, "loss.label_smoothing");
  self.attr("ce_criterion") = cross_entropy(self, smoothing);
  self.attr("ctc_criterion") = py::none();
  py::object weight = get(item(self.attr("config"), "loss"), "ctc_weight", py::float_(0.0));
  // a negative weight switches the CTC term off; nan and inf have no meaning
  common::settings::finite(weight, "loss.ctc_weight");
  self.attr("ctc_weight") = weight;
  if (compare(weight, py::int_(0), Py_GT))
    self.attr("ctc_criterion") = common::call(
        global("nn").attr("CTCLoss"),
        {{"blank", self.attr("tokenizer").attr("pad_id")}, {"zero_infinity", py::bool_(true)}});
  return py::none();
}

// ---- one training epoch ---------------------------------------------------------

// Token-weighted sums of one epoch, as plain numbers.
struct Running {
  double ce = 0.0, ctc = 0.0, joint = 0.0;
  double tokens = 0.0;
  py::object attention = py::none();  // the latest batch's maps
};

// The loss terms of one batch.
struct Losses {
  py::object loss;  // the joint loss, as the criteria returned it
  at::Tensor ce, ctc;
  bool with_ctc = false;
};

double mean(double sum, double count) {
  if (count == 0.0) common::trainloop::no_tokens("the training epoch counted no target token");
  return sum / count;
}

// torch.exp(torch.tensor(x)).item(): in the default floating type.
double perplexity(double x) {
  const auto dtype = c10::typeMetaToScalarType(c10::get_default_dtype());
  return at::exp(at::scalar_tensor(x, at::TensorOptions().dtype(dtype))).item<double>();
}

py::list to_device(py::handle batch, py::handle device) {
  py::list out;
  for (py::handle x : py::iter(batch)) out.append(x.is_none() ? py::none() : x.attr("to")(device));
  return out;
}

// PyTorch's CPU CTC returns a negative loss, not infinity, for an input of 0
// frames. Such an utterance gets one frame that no path can cross instead, so
// its loss is infinite and zero_infinity zeroes it like any other that
// cannot be aligned.
std::pair<py::object, py::object> ctc_inputs(py::object log_probs, py::object lengths) {
  if (!nn::is_tensor(log_probs) || !nn::is_tensor(lengths)) return {log_probs, lengths};
  at::Tensor lp = nn::tensor(log_probs), len = nn::tensor(lengths);
  if (lp.dim() != 3 || len.dim() != 1) return {log_probs, lengths};
  const at::Tensor empty = len.eq(0);
  if (!empty.any().item<bool>()) return {log_probs, lengths};
  if (lp.size(0) == 0) lp = at::zeros({1, lp.size(1), lp.size(2)}, lp.options());
  at::Tensor first = at::zeros({lp.size(0), 1, 1}, lp.options().dtype(at::kBool));
  first[0] = true;
  const at::Tensor mask = first.logical_and(empty.to(lp.device()).view({1, -1, 1}));
  lp = lp.masked_fill(mask, -std::numeric_limits<double>::infinity());
  return {nn::object(lp), nn::object(len.masked_fill(empty, 1))};
}

// Forward pass and loss terms, under float16 autocast where the device has it
// (bfloat16 on a CPU asked for it).
Losses forward(py::handle self, const std::vector<py::object>& b, py::handle device, Running& run) {
  Losses l;
  within(common::trainloop::forward_precision(self, compat::device_type(device)), [&] {
    auto out = nn::unpack(self.attr("model")(b[0], b[1], b[3], b[4]), 3);
    run.attention = out[1];
    const at::Tensor logits = nn::tensor(out[0]);
    py::object ce = self.attr("ce_criterion")(nn::object(logits.view({-1, logits.size(-1)})),
                                              nn::object(nn::tensor(b[2]).view(-1)));
    l.ce = nn::tensor(ce);
    py::object weight = self.attr("ctc_weight");
    l.with_ctc = compare(weight, py::int_(0), Py_GT);
    if (!l.with_ctc) {
      l.loss = ce;
      return;
    }
    auto [log_probs, lengths] = ctc_inputs(item(out[2], "log_probs"), item(out[2], "lengths"));
    py::object ctc = self.attr("ctc_criterion")(log_probs, b[2], lengths, b[4]);
    l.ctc = nn::tensor(ctc);
    l.loss = add(ce, mul(weight, ctc));
  });
  return l;
}

bool is_plateau(py::handle scheduler) {
  return common::trainloop::is_plateau(global("torch"), scheduler);
}

void close_window(py::handle self) { common::trainloop::close_window(self, global("torch")); }

void show_progress(py::handle self, py::handle bar, const Running& run, int64_t index) {
  const double ce = mean(run.ce, run.tokens);
  const double ctc = mean(run.ctc, run.tokens);
  const double joint = mean(run.joint, run.tokens);
  py::object g = accumulation_steps(self);
  py::str position = common::text(add(mod(py::int_(index), g), py::int_(1)), "/", g);
  common::call(bar.attr("set_postfix"), {{"ce_loss", fixed(ce, ".4f")},
                                         {"ctc_loss", fixed(ctc, ".4f")},
                                         {"joint_loss", fixed(joint, ".4f")},
                                         {"perplexity", fixed(perplexity(ce), ".4f")},
                                         {"acc_step", position}});
  bar.attr("update")();
}

void train_batch(py::handle self, py::handle batch, int64_t index, Running& run, py::handle bar) {
  py::object device = self.attr("device");
  // feats, targets_shifted, targets_golden, feat_lengths, transcript_lengths
  std::vector<py::object> b = nn::unpack(to_device(batch, device), 5);
  Losses l = forward(self, b, device, run);
  const double tokens = nn::tensor(b[4]).sum().item().toDouble();
  run.tokens += tokens;
  run.ce += l.ce.item<double>() * tokens;
  if (l.with_ctc) run.ctc += l.ctc.item<double>() * tokens;
  run.joint += nn::tensor(l.loss).item<double>() * tokens;
  self.attr("scaler").attr("scale")(div(l.loss, accumulation_steps(self))).attr("backward")();
  if (window_ends(self, index + 1)) close_window(self);
  show_progress(self, bar, run, index);
  b.clear();
  l = Losses();
  empty_cache();
}

// (self, dataloader), as both epoch passes take them.
std::vector<Param> epoch_params() { return {arg("self"), arg("dataloader")}; }

py::object train_epoch(const py::object& self, py::handle loader) {
  self.attr("model").attr("train")();
  py::object bar = progress_bar(py::int_(py::len(loader)), py::str("[Training ASR]"));
  Running run;
  self.attr("optimizer").attr("zero_grad")();
  int64_t index = 0;
  for (py::handle batch : py::iter(loader)) train_batch(self, batch, index++, run, bar);
  // a last window shorter than the accumulation count
  if (!window_ends(self, static_cast<int64_t>(py::len(loader)))) close_window(self);

  const double ce = mean(run.ce, run.tokens);
  const double ctc = mean(run.ctc, run.tokens);
  const double joint = mean(run.joint, run.tokens);
  py::object chars = loader.attr("dataset").attr("get_avg_chars_per_token")();
  if (is_zero(chars)) common::trainloop::no_chars_per_token();
  py::dict metrics;
  metrics["ce_loss"] = py::float_(ce);
  metrics["ctc_loss"] = py::float_(ctc);
  metrics["joint_loss"] = py::float_(joint);
  metrics["perplexity_token"] = py::float_(perplexity(ce));
  metrics["perplexity_char"] = py::float_(perplexity(common::to_float(div(py::float_(ce), chars))));
  bar.attr("close")();
  return py::make_tuple(metrics, run.attention);
}

// ---- recognition ------------------------------------------------------------------

// What one batch's scoring function holds.
struct ScoreState {
  py::object trainer, config, encoder_output, pad_mask_src;
};

py::object score_step(const ScoreState& s, py::handle x) {
  py::object logits = s.trainer.attr("model").attr("score")(x, s.encoder_output, s.pad_mask_src);
  py::object lm = get(s.config, "lm_model", py::none());
  if (lm.is_none()) return logits;
  // shallow fusion: the language model scores the same prefixes
  return add(logits, mul(lm.attr("score")(x), item(s.config, "lm_weight")));
}

py::object scoring_function(const std::shared_ptr<ScoreState>& state) {
  py::object fn =
      common::bound_function(common::Signature("get_score", {arg("x")}),
                             [state](py::handle x) -> py::object { return score_step(*state, x); });
  return common::native_function(fn, "get_score", "ASRTrainer.recognize.<locals>.get_score",
                                 kModule);
}

py::dict default_recognition_config() {
  py::dict c;
  c["num_batches"] = py::int_(5);
  c["beam_width"] = py::int_(1);
  c["temperature"] = py::float_(1.0);
  c["repeat_penalty"] = py::float_(1.0);
  c["lm_weight"] = py::float_(0.0);
  c["lm_model"] = py::none();
  return c;
}

// (sequences (B, length), scores (B)): beam 0 of a beam search, or greedy.
std::pair<at::Tensor, at::Tensor> search(py::handle generator, py::handle config,
                                         const py::object& prompts) {
  py::object width = item(config, "beam_width");
  py::object temperature = get(config, "temperature", py::float_(1.0));
  if (compare(width, py::int_(1), Py_GT)) {
    auto out = nn::unpack(
        common::call(generator.attr("generate_beam"), py::make_tuple(prompts),
                     {{"beam_width", width},
                      {"temperature", temperature},
                      {"repeat_penalty", get(config, "repeat_penalty", py::float_(1.0))}}),
        2);
    return {nn::tensor(out[0]).select(1, 0), nn::tensor(out[1]).select(1, 0)};
  }
  auto out = nn::unpack(common::call(generator.attr("generate_greedy"), py::make_tuple(prompts),
                                     {{"temperature", temperature}}),
                        2);
  return {nn::tensor(out[0]), nn::tensor(out[1])};
}

py::object decoded(py::handle tokenizer, py::handle ids) {
  return common::call(tokenizer.attr("decode"), py::make_tuple(ids.attr("tolist")()),
                      {{"skip_special_tokens", py::bool_(true)}});
}

void append_results(py::handle self, const at::Tensor& sequences, const at::Tensor& scores,
                    py::handle golden, py::list& results) {
  py::object trim = global("SequenceGenerator").attr("post_process_sequence");
  py::object tokenizer = self.attr("tokenizer");
  py::object hypotheses = trim(nn::object(sequences), tokenizer);
  py::object targets = golden.is_none() ? py::none() : trim(golden, tokenizer);
  const size_t n = py::len(hypotheses);
  for (size_t j = 0; j < n; ++j) {
    py::dict r;
    if (!targets.is_none()) r["target"] = decoded(tokenizer, targets[py::int_(j)]);
    r["generated"] = decoded(tokenizer, hypotheses[py::int_(j)]);
    r["score"] = py::float_(scores[static_cast<int64_t>(j)].item<double>());
    results.append(std::move(r));
  }
}

void recognize_batch(py::handle self, py::handle batch, const py::object& config,
                     py::handle generator, py::list& results) {
  auto items = nn::unpack(batch, 5);
  py::object device = self.attr("device");
  py::object feats = items[0].attr("to")(device);
  py::object feat_lengths = items[3].attr("to")(device);
  py::object golden = items[2].is_none() ? py::none() : items[2].attr("to")(device);
  items.clear();
  auto encoded = nn::unpack(self.attr("model").attr("encode")(feats, feat_lengths), 4);
  auto state = std::make_shared<ScoreState>(
      ScoreState{py::reinterpret_borrow<py::object>(self), config, encoded[0], encoded[1]});
  encoded.clear();
  generator.attr("score_fn") = scoring_function(state);
  py::tuple shape = py::make_tuple(py::int_(nn::tensor(feats).size(0)), py::int_(1));
  py::object prompts = common::call(global("torch").attr("full"),
                                    py::make_tuple(shape, self.attr("tokenizer").attr("sos_id")),
                                    {{"dtype", global("torch").attr("long")}, {"device", device}});
  auto [sequences, scores] = search(generator, config, prompts);
  // the batch's tensors and encoder output go before the next batch
  feats = py::none();
  feat_lengths = py::none();
  prompts = py::none();
  state->encoder_output = py::none();
  state->pad_mask_src = py::none();
  empty_cache();
  append_results(self, sequences, scores, golden, results);
}

// Settings that would decode to empty texts with NaN scores.
void check_recognition_config(py::handle config, py::handle lm) {
  py::object temperature = get(config, "temperature", py::none());
  if (!temperature.is_none()) common::settings::positive(temperature, "recognition temperature");
  if (lm.is_none()) return;
  py::object weight = get(config, "lm_weight", py::none());
  if (!weight.is_none()) common::settings::finite(weight, "recognition lm_weight");
}

std::vector<Param> recognize_params() {
  return {arg("self"), arg("dataloader"),
          arg("recognition_config", py::none()).annotated("Optional[Dict[str, Any]]"),
          arg("config_name", py::none()).annotated("Optional[str]"),
          arg("max_length", py::none()).annotated("Optional[int]")};
}
// max_length is converted first, though declared last.
py::object recognize(const py::object& self, py::handle loader, py::handle config_arg,
                     py::handle name_arg, py::handle max_length_arg) {
  py::object max_length = optional_int(max_length_arg, "max_length");
  py::object config = common::optional_dict(config_arg, "recognition_config");
  py::object name = common::optional_str(name_arg, "config_name");
  if (max_length.is_none() && !py::hasattr(self, "text_max_len"))
    common::raise(
        PyExc_ValueError,
        "text_max_len is not set. Please run training loop first or provide a max_length");
  if (config.is_none()) {
    config = default_recognition_config();
    name = py::str("greedy");
  }
  py::object lm = get(config, "lm_model", py::none());
  check_recognition_config(config, lm);
  if (!lm.is_none()) {
    lm.attr("eval")();
    lm.attr("to")(self.attr("device"));
  }
  py::object generator =
      common::call(global("SequenceGenerator"),
                   {{"score_fn", py::none()},
                    {"tokenizer", self.attr("tokenizer")},
                    {"max_length", max_length.is_none() ? self.attr("text_max_len") : max_length},
                    {"device", self.attr("device")}});
  self.attr("model").attr("eval")();
  py::object bar =
      progress_bar(py::int_(py::len(loader)), common::text("[Recognizing ASR] : ", name));
  py::list results;
  c10::InferenceMode inference;
  int64_t index = 0;
  for (py::handle batch : py::iter(loader)) {
    recognize_batch(self, batch, config, generator, results);
    bar.attr("update")();
    py::object limit = item(config, "num_batches");
    if (!limit.is_none() && compare(py::int_(index), sub(limit, py::int_(1)), Py_GE)) break;
    ++index;
  }
  bar.attr("close")();
  return results;
}

std::vector<Param> evaluation_configs_params() {
  return {arg("self"), arg("lm_model", py::none()).annotated("Optional[DecoderOnlyTransformer]"),
          arg("lm_weight", py::float_(0.0)).annotated("float")};
}
py::object evaluation_configs(py::handle, py::handle lm_model, double lm_weight) {
  py::dict common_settings;
  common_settings["num_batches"] = py::none();
  common_settings["temperature"] = py::float_(1.0);
  common_settings["repeat_penalty"] = py::float_(1.0);
  common_settings["lm_weight"] = py::float_(lm_weight);
  common_settings["lm_model"] = lm_model;
  py::dict out;
  for (auto [name, width] :
       {std::pair<const char*, int>{"greedy", 1}, {"beam_10", 10}, {"beam_20", 20}}) {
    py::dict setting = common_settings.attr("copy")();
    setting["beam_width"] = py::int_(width);
    out[name] = setting;
  }
  return out;
}

// ---- validation, error rates and the training loop --------------------------------

py::list column(py::handle results, const char* key) {
  py::list out;
  for (py::handle r : py::iter(results)) out.append(item(r, key));
  return out;
}

py::object validate_epoch(const py::object& self, py::handle dataloader) {
  py::object results = self.attr("recognize")(dataloader);
  py::list references = column(results, "target");
  py::list hypotheses = column(results, "generated");
  return py::make_tuple(self.attr("_calculate_asr_metrics")(references, hypotheses), results);
}

// The metrics divide by the references, so they come second.
double rate(py::handle metric, py::handle hypotheses, py::handle references) {
  return common::to_float(metric(hypotheses, references).attr("item")());
}

std::vector<Param> asr_metrics_params() {
  return {arg("self"), arg("references").annotated("Union[str, List[str]]"),
          arg("hypotheses").annotated("Union[str, List[str]]")};
}
py::object asr_metrics(py::handle, py::handle references, py::handle hypotheses) {
  py::object tmt = global("tmt");
  py::object wer = tmt.attr("WordErrorRate")();
  py::object distance = common::call(tmt.attr("EditDistance"), {{"reduction", py::str("mean")}});
  py::object cer = tmt.attr("CharErrorRate")();
  py::dict out;
  out["word_dist"] = py::float_(rate(distance, hypotheses, references));
  out["wer"] = py::float_(rate(wer, hypotheses, references) * 100);
  out["cer"] = py::float_(rate(cer, hypotheses, references) * 100);
  return out;
}

// The first decoder self-attention map and the last cross-attention map.
void save_attention(py::handle self, py::handle maps, py::handle epoch) {
  py::list keys(py::reinterpret_borrow<py::object>(maps));
  if (keys.empty()) return;
  py::list self_keys, cross_keys;
  for (py::handle k : keys) {
    if (contains(k, py::str("dec_self"))) self_keys.append(k);
    if (contains(k, py::str("dec_cross"))) cross_keys.append(k);
  }
  auto plot = [&](py::handle key, const char* kind) {
    if (contains(maps, key)) self.attr("_save_attention_plot")(maps[key][py::int_(0)], epoch, kind);
  };
  if (!self_keys.empty()) plot(self_keys[0], "decoder_self");
  if (!cross_keys.empty()) plot(cross_keys[py::len(cross_keys) - 1], "decoder_cross");
}

void run_epoch(py::handle self, py::handle train_loader, py::handle val_loader, py::handle epoch,
               py::object& best) {
  auto trained = nn::unpack(self.attr("_train_epoch")(train_loader), 2);
  auto validated = nn::unpack(self.attr("_validate_epoch")(val_loader), 2);
  const py::object& val_metrics = validated[0];
  py::object scheduler = self.attr("scheduler");
  if (is_plateau(scheduler)) scheduler.attr("step")(item(val_metrics, "cer"));
  py::dict metrics;
  metrics["train"] = trained[0];
  metrics["val"] = val_metrics;
  self.attr("_log_metrics")(metrics, epoch);
  save_attention(self, trained[1], epoch);
  self.attr("_save_generated_text")(validated[1], common::text("val_epoch_", epoch));
  self.attr("save_checkpoint")(common::trainloop::kLastCheckpoint);
  py::object cer = item(val_metrics, "cer");
  if (compare(cer, best, Py_LT)) {
    best = cer;
    self.attr("best_metric") = cer;
    self.attr("save_checkpoint")(common::trainloop::kBestCheckpoint);
  }
  self.attr("current_epoch") = add(self.attr("current_epoch"), py::int_(1));
}

// Training and validation need transcripts; the unlabelled partition has none.
void check_labelled(py::handle loader, const char* name) {
  py::object partition =
      py::getattr(py::getattr(loader, "dataset", py::none()), "partition", py::none());
  if (partition.is_none() || !compare(partition, py::str("test-clean"), Py_EQ)) return;
  common::raise(PyExc_ValueError,
                std::string(name) + " holds the partition 'test-clean', which has no " +
                    "transcripts; training and validation need a labelled partition such as " +
                    "'dev-clean'");
}

// Both trainers' train() take these.
std::vector<Param> train_params() {
  return {arg("self"), arg("train_dataloader"), arg("val_dataloader"),
          arg("epochs").annotated("int")};
}
py::object train(const py::object& self, py::handle train_loader, py::handle val_loader,
                 py::int_ epochs) {
  if (self.attr("scheduler").is_none())
    common::raise(PyExc_ValueError, "Scheduler is not initialized, initialize it first!");
  if (self.attr("optimizer").is_none())
    common::raise(PyExc_ValueError, "Optimizer is not initialized, initialize it first!");
  check_labelled(train_loader, "train_dataloader");
  check_labelled(val_loader, "val_dataloader");
  self.attr("text_max_len") =
      common::builtins_attr("max")(train_loader.attr("dataset").attr("text_max_len"),
                                   val_loader.attr("dataset").attr("text_max_len"));
  py::object best = py::float_(std::numeric_limits<double>::infinity());
  py::object first = self.attr("current_epoch");
  py::object epochs_range = common::builtins_attr("range")(first, add(first, epochs));
  for (py::handle epoch : epochs_range) run_epoch(self, train_loader, val_loader, epoch, best);
  return py::none();
}

// ---- evaluation ----------------------------------------------------------------------

// One setting's table; a failure is reported and the next setting runs.
void evaluate_setting(py::handle self, py::handle loader, py::handle name, py::handle config,
                      py::handle max_length, py::dict& tables) {
  try {
    say("Evaluating with ", name, " config");
    py::object results = self.attr("recognize")(loader, config, name, max_length);
    py::list texts = column(results, "generated");
    py::dict table;
    table["id"] = common::builtins_attr("range")(py::len(texts));
    table["transcription"] = texts;
    tables[name] = global("pd").attr("DataFrame")(table);
    self.attr("_save_generated_text")(results, common::text("test_", name, "_results"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    say("Error evaluating with ", name, " config: ", e.value());
  }
}

std::vector<Param> evaluate_params() {
  return {arg("self"), arg("dataloader"), arg("max_length", py::none()).annotated("Optional[int]")};
}
py::object evaluate(const py::object& self, py::handle dataloader, py::handle max_length_arg) {
  py::object max_length = optional_int(max_length_arg, "max_length");
  py::object settings = self.attr("_get_evaluation_recognition_configs")();
  py::dict tables;
  for (py::handle pair : settings.attr("items")()) {
    auto kv = nn::unpack(pair, 2);
    evaluate_setting(self, dataloader, kv[0], kv[1], max_length, tables);
  }
  return tables;
}

// ---- staged training -------------------------------------------------------------------

py::object progressive_init(const py::object& self, py::handle model, py::handle tokenizer,
                            py::handle config, py::handle run_name, py::handle config_file,
                            py::handle device) {
  super_attr("ProgressiveTrainer", self, "__init__")(model, tokenizer, config, run_name,
                                                     config_file, device);
  self.attr("current_stage") = py::int_(0);
  self.attr("all_ashvenny") = py::list(self.attr("model").attr("enc_layers"));
  self.attr("all_wendlash") = py::list(self.attr("model").attr("dec_layers"));
  return py::none();
}

py::str rule() { return py::str(std::string(80, '=')); }

void print_stage_banner(py::handle stage) {
  say("\n", rule());
  say(common::text("Starting Stage: ", item(stage, "name")).attr("center")(80));
  say(rule());
  say("\nConfiguration Details:");
  py::object percent = mul(item(stage, "data_subset"), py::int_(100));
  say("├── Data Subset: ", common::builtins_attr("format")(percent, ".1f"), "% of training data");
  say("├── Training Epochs: ", item(stage, "epochs"));
  say("├── Dropout: ", item(stage, "dropout"));
  say("├── Label Smoothing: ", item(stage, "label_smoothing"));
}

// The chosen layers, in the stage's order, as the model's new container.
void install_layers(py::handle self, py::handle all, py::handle active, const char* container,
                    const char* count) {
  py::list layers;
  for (py::handle index : py::iter(active)) layers.append(all[index]);
  py::object model = self.attr("model");
  model.attr(container) = global("nn").attr("ModuleList")(layers);
  model.attr(count) = py::int_(py::len(active));
}

void check_freeze_list(py::handle freeze, py::handle active, const char* side) {
  if (!truthy(freeze) || py::len(freeze) == py::len(active)) return;
  common::raise_text(PyExc_ValueError, side, " freeze list length (", py::int_(py::len(freeze)),
                     ") must match number of active ", py::str(side).attr("lower")(), " layers (",
                     py::int_(py::len(active)), ")");
}

struct ParameterCounts {
  py::object frozen = py::int_(0), trainable = py::int_(0);
};

void freeze_layers(py::handle layers, py::handle freeze, py::handle active,
                   ParameterCounts& counts) {
  const bool any = truthy(freeze);
  int64_t idx = 0;
  for (py::handle layer : layers) {
    const bool frozen = any && truthy(freeze[py::int_(idx)]);
    for (py::handle p : layer.attr("parameters")()) {
      p.attr("requires_grad") = py::bool_(!frozen);
      py::object& count = frozen ? counts.frozen : counts.trainable;
      count = add(count, p.attr("numel")());
    }
    say("│   ├── Layer ", active[py::int_(idx)], frozen ? ": Frozen" : ": Trainable");
    ++idx;
  }
}

// "data_subset of stage 'warm-up'"
std::string stage_key(py::handle stage, const char* key) {
  return std::string(key) + " of stage " +
         std::string(py::str(py::repr(get(stage, "name", py::none()))));
}

// A stage's list setting: absent, or a list or tuple whose every item passes
// `item_ok` (and, unless `may_be_empty`, at least one item).
template <typename ItemOk>
void check_stage_list(py::handle stage, const char* key, const char* expected, ItemOk item_ok,
                      bool may_be_empty) {
  py::object v = get(stage, key, py::none());
  if (v.is_none()) return;
  const std::string where = stage_key(stage, key);
  if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr()))
    common::settings::refuse(PyExc_TypeError, where, expected, v);
  for (py::handle item : v)
    if (!item_ok(item)) common::settings::refuse(PyExc_TypeError, where, expected, v);
  if (!may_be_empty && py::len(v) == 0)
    common::settings::refuse(PyExc_ValueError, where, expected, v);
}

void check_layer_list(py::handle stage, const char* key) {
  check_stage_list(stage, key, "a non-empty list of integer layer indices",
                   common::settings::is_integer, false);
}

void check_freeze_flags(py::handle stage, const char* key) {
  check_stage_list(
      stage, key, "a list of true/false flags",
      [](py::handle flag) {
        return PyBool_Check(flag.ptr()) || common::settings::is_integer(flag);
      },
      true);
}

// The values a stage holds, checked before any of it is applied; a missing
// key still fails where it is read.
void check_stage(py::handle stage) {
  py::object subset = get(stage, "data_subset", py::none());
  if (!subset.is_none()) common::settings::fraction(subset, stage_key(stage, "data_subset"));
  for (const char* key : {"dropout", "label_smoothing"}) {
    py::object v = get(stage, key, py::none());
    if (!v.is_none()) common::settings::probability(v, stage_key(stage, key));
  }
  for (const char* key : {"encoder_active_layers", "decoder_active_layers"})
    check_layer_list(stage, key);
  for (const char* key : {"encoder_freeze", "decoder_freeze"}) check_freeze_flags(stage, key);
}

std::vector<Param> configure_stage_params() {
  return {arg("self"), arg("stage_config").annotated("Dict[str, Any]")};
}
py::object configure_stage(const py::object& self, py::handle stage) {
  check_stage(stage);
  print_stage_banner(stage);
  self.attr("model").attr("dropout").attr("p") = item(stage, "dropout");
  self.attr("ce_criterion") = cross_entropy(self, item(stage, "label_smoothing"));
  py::object encoder_freeze = get(stage, "encoder_freeze", py::list());
  py::object decoder_freeze = get(stage, "decoder_freeze", py::list());
  py::object encoder_active = item(stage, "encoder_active_layers");
  check_freeze_list(encoder_freeze, encoder_active, "Encoder");
  install_layers(self, self.attr("all_ashvenny"), encoder_active, "enc_layers", "num_ashvenny");
  py::object decoder_active = item(stage, "decoder_active_layers");
  check_freeze_list(decoder_freeze, decoder_active, "Decoder");
  install_layers(self, self.attr("all_wendlash"), decoder_active, "dec_layers", "num_wendlash");
  // Gradients left from the last stage would let the optimizer step a layer
  // that is frozen or inactive now (Adam's moments, decoupled decay); with
  // none, every optimizer skips it.
  common::call(self.attr("model").attr("zero_grad"), {{"set_to_none", py::bool_(true)}});
  ParameterCounts counts;
  say("├── Encoder Layers:");
  freeze_layers(self.attr("model").attr("enc_layers"), encoder_freeze, encoder_active, counts);
  say("├── Decoder Layers:");
  freeze_layers(self.attr("model").attr("dec_layers"), decoder_freeze, decoder_active, counts);
  py::object format = common::builtins_attr("format");
  say("├── Frozen Parameters: ", format(counts.frozen, ","));
  say("└── Trainable Parameters: ", format(counts.trainable, ","));
  return py::none();
}

std::vector<Param> progressive_train_params() {
  return {arg("self"), arg("train_dataloader"), arg("val_dataloader"),
          arg("stages").annotated("List[Dict[str, Any]]")};
}
py::object progressive_train(const py::object& self, py::handle train_dataloader,
                             py::handle val_dataloader, py::list stages) {
  for (py::handle stage : stages) check_stage(stage);
  int64_t index = 0;
  for (py::handle stage : stages) {
    self.attr("current_stage") = py::int_(index++);
    self.attr("configure_stage")(stage);
    py::object subset =
        self.attr("get_subset_dataloader")(train_dataloader, item(stage, "data_subset"));
    // the speech training loop itself: no transition between stages
    common::call(super_attr("ProgressiveTrainer", self, "train"),
                 py::make_tuple(subset, val_dataloader), {{"epochs", item(stage, "epochs")}});
  }
  return py::none();
}

py::object transition_to_full_training(const py::object& self) {
  say("\n=== Transitioning to Full Training ===");
  py::object model = self.attr("model");
  py::object module_list = global("nn").attr("ModuleList");
  model.attr("enc_layers") = module_list(self.attr("all_ashvenny"));
  model.attr("dec_layers") = module_list(self.attr("all_wendlash"));
  model.attr("num_ashvenny") = py::int_(py::len(self.attr("all_ashvenny")));
  model.attr("num_wendlash") = py::int_(py::len(self.attr("all_wendlash")));
  self.attr("ce_criterion") =
      cross_entropy(self, item(item(self.attr("config"), "loss"), "label_smoothing"));
  py::object count = py::int_(0);
  for (py::handle p : self.attr("model").attr("parameters")()) {
    p.attr("requires_grad") = py::bool_(true);
    count = add(count, p.attr("numel")());
  }
  say("├── Total Unfrozen Parameters: ", common::builtins_attr("format")(count, ","));
  self.attr("best_metric") = py::float_(std::numeric_limits<double>::infinity());
  return py::none();
}

py::object progressive_full_train(const py::object& self, py::object train_dataloader,
                                  py::object val_dataloader, py::int_ epochs) {
  self.attr("transition_to_full_training")();
  common::call(super_attr("ProgressiveTrainer", self, "train"),
               {{"train_dataloader", train_dataloader},
                {"val_dataloader", val_dataloader},
                {"epochs", epochs}});
  return py::none();
}

std::vector<Param> subset_dataloader_params() {
  return {arg("self"), arg("dataloader"), arg("subset_fraction").annotated("float")};
}
py::object subset_dataloader(const py::object& self, py::handle dataloader,
                             py::handle subset_fraction) {
  common::settings::fraction(subset_fraction, "subset_fraction");
  py::object dataset = dataloader.attr("dataset");
  py::int_ length(py::len(dataset));
  py::object size = mul(length, subset_fraction);
  if (!PyLong_CheckExact(size.ptr())) size = common::builtins_attr("int")(size);
  py::object torch = global("torch");
  py::object order = torch.attr("randperm")(length);
  py::object indices = order[py::slice(py::none(), size, py::none())];
  py::object subset = global("Subset")(dataset, indices);
  for (const char* name : {"text_max_len", "feat_max_len", "get_avg_chars_per_token"})
    subset.attr(name) = dataset.attr(name);
  py::object data = item(self.attr("config"), "data");
  return common::call(torch.attr("utils").attr("data").attr("DataLoader"), py::make_tuple(subset),
                      {{"batch_size", item(data, "batch_size")},
                       {"shuffle", py::bool_(true)},
                       {"num_workers", item(data, "NUM_WORKERS")},
                       {"collate_fn", dataset.attr("collate_fn")},
                       {"pin_memory", py::bool_(true)}});
}

// ---- the module -------------------------------------------------------------------------

void import_names(py::module_& m) {
  const std::string name = py::str(m.attr("__name__"));
  m.attr("BaseTrainer") = common::relative(name, "tolvery").attr("BaseTrainer");
  common::import_into(m, "typing", {"Dict", "Any", "Optional", "List", "Tuple", "Union"});
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("tqdm") = py::module_::import("tqdm").attr("tqdm");
  m.attr("F") = py::module_::import("torch.nn.functional");
  m.attr("SequenceGenerator") =
      common::relative(name, "decoding.quillane", 2).attr("SequenceGenerator");
  py::module_ utils = common::relative(name, "utils", 2);
  m.attr("create_scheduler") = utils.attr("create_scheduler");
  m.attr("yarrowind") = utils.attr("yarrowind");
  m.attr("DecoderOnlyTransformer") =
      py::module_::import("corvantis.model").attr("DecoderOnlyTransformer");
  m.attr("aF") = py::module_::import("torchaudio.functional");
  m.attr("json") = py::module_::import("json");
  // the project's own word/character error rates, in place of torchmetrics.text
  m.attr("tmt") = common::relative(name, "utils.textmetrics", 2);
  m.attr("Subset") = py::module_::import("torch.utils.data").attr("Subset");
  m.attr("pd") = py::module_::import("pandas");
}

void define_asr_trainer(py::module_& m) {
  common::ClassBuilder(m, "ASRTrainer", py::make_tuple(m.attr("BaseTrainer")))
      .doc(
          "Speech-recognition trainer: joint cross-entropy and CTC training, recognition by\n"
          "greedy or beam search with optional language-model fusion, error rates.")
      .method("__init__", init_params(), init,
              "A trainer for an encoder-decoder speech model: cross-entropy with\n"
              "`loss.label_smoothing`, plus `loss.ctc_weight` times CTC when it is above 0.\n"
              "The optimizer and scheduler are assigned after.")
      .method("_train_epoch", epoch_params(), train_epoch,
              "One training pass; returns (metrics, attention maps of the last batch).")
      .method("_validate_epoch", epoch_params(), validate_epoch,
              "Recognises the first batches greedily; returns (metrics, results).")
      .method("train", train_params(), train,
              "Runs `epochs` epochs of training, validation, logging and checkpoints.")
      .method("evaluate", evaluate_params(), evaluate,
              "Recognises the loader under each evaluation setting; returns setting name -> "
              "DataFrame of id and transcription.")
      .method("recognize", recognize_params(), recognize,
              "Transcribes the loader's batches; returns one dict of target (when labelled), "
              "generated and score per utterance.")
      .method("_get_evaluation_recognition_configs", evaluation_configs_params(),
              evaluation_configs, "The greedy, beam_10 and beam_20 recognition settings.")
      .method("_calculate_asr_metrics", asr_metrics_params(), asr_metrics,
              "Mean edit distance, and word and character error rates in percent.")
      .finish();
}

void define_progressive_trainer(py::module_& m) {
  common::ClassBuilder(m, "ProgressiveTrainer", py::make_tuple(m.attr("ASRTrainer")))
      .doc(
          "Speech trainer that trains in stages: active and frozen layers, dropout, label\n"
          "smoothing and a random fraction of the training data per stage.")
      .method("__init__", init_params(), progressive_init,
              "An ASRTrainer that also records the full model's layers, so stages can\n"
              "choose, freeze and later restore them.")
      .method("configure_stage", configure_stage_params(), configure_stage,
              "Installs one stage's layers, freezing, dropout and loss.")
      .method("progressive_train", progressive_train_params(), progressive_train,
              "Trains each stage on its subset of the training data.")
      .method("transition_to_full_training", {arg("self")}, transition_to_full_training,
              "Restores every layer, unfreezes every parameter and resets the best metric.")
      .method("train", train_params(), progressive_full_train,
              "Full training of the whole model after the stages.")
      .method("get_subset_dataloader", subset_dataloader_params(), subset_dataloader,
              "A shuffled loader over a random fraction of the dataset.")
      .finish();
}

}  // namespace

PYBIND11_MODULE(marrowby, m) {
  m.doc() = "Speech-recognition trainers: ASRTrainer and the staged ProgressiveTrainer.";
  import_names(m);
  define_asr_trainer(m);
  define_progressive_trainer(m);
}
