// The two complete models assembled from the components: the speech model
// EncoderDecoderTransformer (front-end, encoder, CTC head, decoder) and the
// language model DecoderOnlyTransformer.
//
// Layer containers (enc_layers, dec_layers) are read at every call, so a
// caller may swap them for subsets between calls.
#include <torch/extension.h>

#include <cmath>
#include <string>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/native_function.h"
#include "binding/nnmodule.h"
#include "binding/pyutil.h"
#include "domain/prefix_cache.h"

namespace py = pybind11;
namespace nn = common::nn;
using common::arg;
using common::Param;

namespace {

constexpr const char* kSpeechDoc =
    "Encoder-decoder Transformer for speech recognition: a SpeechEmbedding front-end, an\n"
    "encoder stack with a CTC head, and a decoder stack with cross-attention.";

constexpr const char* kSpeechInitDoc =
    "input_dim: filterbank features per frame; num_classes: vocabulary size; d_model: model\n"
    "width; *_layers, *_heads, d_ff_*: encoder and decoder stacks; dropout: rate of every\n"
    "layer and of the embedding dropout `dropout`; max_len: longest transcript the model is\n"
    "meant for; time_reduction and reduction_method ('conv', 'lstm' or 'both'): the\n"
    "SpeechEmbedding front-end; frontend_dim: its width when narrower than d_model (a linear\n"
    "layer then widens its output), None for d_model.";

constexpr const char* kSpeechForwardDoc =
    "feats (batch, frames, input_dim) float; targets_shifted (batch, U) int64, each row\n"
    "starting with the start id; feat_lengths and transcript_lengths (batch,).\n"
    "Returns (logits, attention maps, CTC inputs):\n"
    "  logits (batch, U, num_classes);\n"
    "  attention maps {'layer<i>_enc_self': (batch, T, T), 'layer<i>_dec_self': (batch, U, U),\n"
    "    'layer<i>_dec_cross': (batch, U, T)}, i from 1, T the frames after the front-end;\n"
    "  CTC inputs {'log_probs': (T, batch, num_classes) log-softmax over the encoder output,\n"
    "    'lengths': (batch,) int64 frame counts after the front-end}.";

constexpr const char* kEncodeDoc =
    "Runs the front-end and the encoder: (encoder_output (batch, T, d_model), pad_mask_src\n"
    "(batch, T) true at padded frames, encoder attention maps, CTC inputs), the last two as\n"
    "forward returns them. The first two go to score().";

constexpr const char* kSpeechScoreDoc =
    "Next-token logits (rows, num_classes) after the whole prefixes x (rows, length) int64.\n"
    "x may hold beams x utterances rows, row r belonging to utterance r // beams.";

constexpr const char* kTextDoc = "Decoder-only Transformer language model.";

constexpr const char* kTextInitDoc =
    "num_classes: vocabulary size; max_len: longest sequence the model is meant for (the\n"
    "generators' limit); d_model, num_layers, num_heads, d_ff: the decoder stack; dropout:\n"
    "rate of every layer and of the embedding dropout `dropout`.";

constexpr const char* kTextForwardDoc =
    "targets_shifted (batch, T) int64; target_lengths (batch,) or None (nothing padded).\n"
    "Returns (logits (batch, T, num_classes), attention maps {'layer<i>_dec_self':\n"
    "(batch, T, T)}, i from 1).";

// ---- tensors the models build ----------------------------------------------

// Sinusoidal positions (frames, d): sin on even columns, cos on odd ones.
at::Tensor positions(int64_t frames, int64_t d, const at::TensorOptions& like) {
  const auto f32 = like.dtype(at::kFloat);
  at::Tensor pos = at::arange(frames, f32).unsqueeze(1);
  at::Tensor rate =
      at::exp(at::arange(0, d, 2, f32) * (-std::log(10000.0) / static_cast<double>(d)));
  at::Tensor angle = pos * rate;
  return at::stack({at::sin(angle), at::cos(angle)}, 2).flatten(1).narrow(1, 0, d).to(like.dtype());
}

// Embedded tokens with the positions from `offset` on, then the embedding dropout.
at::Tensor embed_at(py::handle self, const at::Tensor& tokens, int64_t offset) {
  const at::Tensor e = nn::tensor(self.attr("target_embedding")(nn::object(tokens)));
  const at::Tensor pe =
      positions(offset + e.size(1), e.size(2), e.options()).narrow(0, offset, e.size(1));
  return nn::tensor(self.attr("dropout")(nn::object(e + pe)));
}

// x + positions, then the model's embedding dropout.
py::object with_positions(py::handle self, const at::Tensor& x) {
  at::Tensor pe = positions(x.size(1), x.size(2), x.options());
  return self.attr("dropout")(nn::object(x + pe));
}

// True at padded positions. A length below one still leaves the first
// position visible, so no attention row is ever fully masked.
at::Tensor padding_mask(const at::Tensor& lengths, int64_t frames, const at::Device& device) {
  at::Tensor l = lengths.to(device, at::kLong).clamp_min(1).unsqueeze(1);
  return at::arange(frames, at::TensorOptions().dtype(at::kLong).device(device)).unsqueeze(0) >= l;
}

// True above the diagonal: position i never attends to a later one.
at::Tensor causal_mask(int64_t n, const at::Device& device) {
  return at::ones({n, n}, at::TensorOptions().dtype(at::kBool).device(device)).triu(1);
}

std::string map_name(size_t i, const char* kind) {
  return "layer" + std::to_string(i + 1) + "_" + kind;
}

// ---- construction ----------------------------------------------------------------

void check_heads(py::handle d_model, py::handle heads, const char* name) {
  py::object rest = d_model.attr("__mod__")(heads);
  if (!rest.equal(py::int_(0)))
    common::raise(PyExc_ValueError, "d_model (" + std::string(py::str(d_model)) +
                                        ") must be divisible by " + name + " (" +
                                        std::string(py::str(heads)) + ")");
}

py::object layer_list(py::handle layer_class, py::handle count, py::handle d_model,
                      py::handle heads, py::handle d_ff, py::handle p) {
  py::list layers;
  for (int64_t i = 0; i < count.cast<int64_t>(); ++i)
    layers.append(layer_class(d_model, heads, d_ff, p));
  return nn::torch_nn().attr("ModuleList")(layers);
}

// Token embedding, a decoder stack, its final norm and the output projection.
void build_decoder(py::handle self, py::handle layer_class, py::handle num_classes,
                   py::handle d_model, py::handle layers, py::handle heads, py::handle d_ff,
                   py::handle p) {
  py::module_ tnn = nn::torch_nn();
  self.attr("target_embedding") = tnn.attr("Embedding")(num_classes, d_model);
  self.attr("dec_layers") = layer_list(layer_class, layers, d_model, heads, d_ff, p);
  self.attr("decoder_norm") = tnn.attr("LayerNorm")(d_model);
  self.attr("final_linear") = tnn.attr("Linear")(d_model, num_classes);
  self.attr("dropout") = tnn.attr("Dropout")(p);
}

// A size parameter: an int, required or with its default.
Param size(const char* name) { return arg(name).annotated("int"); }
Param size(const char* name, int fallback) {
  return arg(name, py::int_(fallback)).annotated("int");
}

std::vector<Param> speech_init_params() {
  return {arg("self"),
          size("input_dim"),
          size("num_classes"),
          size("d_model", 256),
          size("num_encoder_layers", 6),
          size("num_decoder_layers", 6),
          size("num_encoder_heads", 4),
          size("num_decoder_heads", 4),
          size("d_ff_encoder", 1024),
          size("d_ff_decoder", 1024),
          arg("dropout", py::float_(0.1)).annotated("float"),
          size("max_len", 1000),
          size("time_reduction", 4),
          arg("reduction_method", py::str("lstm")).annotated("str"),
          arg("frontend_dim", py::none()).annotated("Optional[int]")};
}

// The front-end's width: its convolutions cost the square of it, so a
// narrower one widened by a linear layer buys more training per second.
py::int_ frontend_width(py::handle frontend_dim, const py::int_& d_model) {
  if (frontend_dim.is_none()) return d_model;
  py::int_ width = common::to_int(frontend_dim, "frontend_dim");
  nn::check_dimensions({width});
  return width;
}
// The sizes are converted first, max_len and time_reduction among them, then
// dropout and reduction_method.
common::BoundMethod speech_init(std::string module_name) {
  return [module_name](py::handle self, py::int_ input_dim, py::int_ num_classes, py::int_ d_model,
                       py::int_ enc_layers, py::int_ dec_layers, py::int_ enc_heads,
                       py::int_ dec_heads, py::int_ d_ff_enc, py::int_ d_ff_dec, py::object dropout,
                       py::int_ max_len, py::int_ time_reduction, py::object reduction_method,
                       py::object frontend_dim) -> py::object {
    py::float_ p(common::to_float(dropout));
    py::str method = common::exact_str(reduction_method, "reduction_method");
    py::int_ width = frontend_width(frontend_dim, d_model);
    nn::init_module(self);
    nn::check_dimensions({input_dim, num_classes, d_model, enc_layers, dec_layers, enc_heads,
                          dec_heads, d_ff_enc, d_ff_dec, max_len, time_reduction});
    nn::check_dropout(p);
    check_heads(d_model, enc_heads, "num_encoder_heads");
    check_heads(d_model, dec_heads, "num_decoder_heads");

    py::module_ mod = py::module_::import(module_name.c_str());
    self.attr("input_dim") = input_dim;
    self.attr("d_model") = d_model;
    self.attr("num_classes") = num_classes;
    self.attr("max_len") = max_len;
    self.attr("num_ashvenny") = enc_layers;
    self.attr("num_wendlash") = dec_layers;
    self.attr("source_embedding") = common::call(
        mod.attr("SpeechEmbedding"), py::make_tuple(input_dim, width),
        {{"time_reduction", time_reduction}, {"reduction_method", method}, {"dropout", p}});
    py::module_ tnn = nn::torch_nn();
    if (!width.equal(d_model))
      self.attr("frontend_projection") = tnn.attr("Linear")(width, d_model);
    self.attr("enc_layers") = layer_list(mod.attr("SelfAttentionEncoderLayer"), enc_layers, d_model,
                                         enc_heads, d_ff_enc, p);
    self.attr("encoder_norm") = tnn.attr("LayerNorm")(d_model);
    self.attr("ctc_head") = tnn.attr("Linear")(d_model, num_classes);
    build_decoder(self, mod.attr("CrossAttentionDecoderLayer"), num_classes, d_model, dec_layers,
                  dec_heads, d_ff_dec, p);
    return py::none();
  };
}

std::vector<Param> text_init_params() {
  return {arg("self"),           size("num_classes"),
          size("max_len"),       size("d_model", 256),
          size("num_layers", 6), size("num_heads", 4),
          size("d_ff", 1024),    arg("dropout", py::float_(0.1)).annotated("float")};
}
common::BoundMethod text_init(std::string module_name) {
  return [module_name](py::handle self, py::int_ num_classes, py::int_ max_len, py::int_ d_model,
                       py::int_ num_layers, py::int_ num_heads, py::int_ d_ff,
                       double dropout) -> py::object {
    py::float_ p(dropout);
    nn::init_module(self);
    nn::check_dimensions({num_classes, max_len, d_model, num_layers, num_heads, d_ff});
    nn::check_dropout(p);
    check_heads(d_model, num_heads, "num_heads");

    py::module_ mod = py::module_::import(module_name.c_str());
    self.attr("d_model") = d_model;
    self.attr("num_classes") = num_classes;
    self.attr("max_len") = max_len;
    self.attr("num_wendlash") = num_layers;
    build_decoder(self, mod.attr("SelfAttentionDecoderLayer"), num_classes, d_model, num_layers,
                  num_heads, d_ff, p);
    return py::none();
  };
}

// ---- speech model ------------------------------------------------------------------

// (encoder output, source padding mask, encoder maps, CTC inputs).
py::tuple encode(py::handle self, py::handle feats, py::handle feat_lengths) {
  auto front = nn::unpack(self.attr("source_embedding")(feats, feat_lengths), 2);
  if (py::hasattr(self, "frontend_projection"))
    front[0] = self.attr("frontend_projection")(front[0]);
  // Under autocast the front-end hands over a lower precision; the residual
  // stream keeps the model's own, as the decoder's embedded tokens do, so the
  // layer norms get their weights' type.
  const at::ScalarType own = nn::tensor(self.attr("encoder_norm").attr("weight")).scalar_type();
  const at::Tensor embedded = nn::tensor(front[0]).to(own);
  const int64_t frames = embedded.size(1);
  const at::Tensor lengths = nn::tensor(front[1]).to(embedded.device(), at::kLong);
  const at::Tensor pad = padding_mask(lengths, frames, embedded.device());
  py::object pad_obj = nn::object(pad);
  py::object x = with_positions(self, embedded);
  py::dict maps;
  size_t i = 0;
  for (py::handle layer : self.attr("enc_layers")) {
    auto out =
        nn::unpack(common::call(layer, py::make_tuple(x), {{"key_padding_mask", pad_obj}}), 2);
    x = out[0];
    maps[py::str(map_name(i++, "enc_self"))] = out[1];
  }
  x = self.attr("encoder_norm")(x);
  at::Tensor log_probs =
      at::log_softmax(nn::tensor(self.attr("ctc_head")(x)), -1, own).transpose(0, 1);
  py::dict ctc;
  ctc["log_probs"] = nn::object(log_probs);
  ctc["lengths"] = nn::object(lengths.clamp(0, frames));
  return py::make_tuple(x, pad_obj, maps, ctc);
}

// What every decoder layer gets besides the encoder: the embedded targets
// with positions, the causal mask and (with lengths) the padding mask.
struct DecoderInput {
  py::object x, causal, pad;
};

DecoderInput decoder_input(py::handle self, py::handle targets, const at::Tensor& lengths) {
  const at::Tensor embedded = nn::tensor(self.attr("target_embedding")(targets));
  const int64_t n = embedded.size(1);
  const at::Device device = embedded.device();
  return {with_positions(self, embedded), nn::object(causal_mask(n, device)),
          lengths.defined() ? nn::object(padding_mask(lengths, n, device)) : py::none()};
}

py::object project(py::handle self, py::handle x) {
  return self.attr("final_linear")(self.attr("decoder_norm")(x));
}

// (logits, maps) of the decoder over whole prefixes `targets`.
std::pair<py::object, py::dict> decode(py::handle self, py::handle targets, py::handle memory,
                                       py::handle memory_pad, const at::Tensor& target_lengths) {
  DecoderInput in = decoder_input(self, targets, target_lengths);
  py::object memory_pad_obj = py::reinterpret_borrow<py::object>(memory_pad);
  py::dict maps;
  size_t i = 0;
  for (py::handle layer : self.attr("dec_layers")) {
    auto out = nn::unpack(common::call(layer, py::make_tuple(in.x, memory),
                                       {{"dec_key_padding_mask", in.pad},
                                        {"enc_key_padding_mask", memory_pad_obj},
                                        {"attn_mask", in.causal}}),
                          3);
    in.x = out[0];
    maps[py::str(map_name(i, "dec_self"))] = out[1];
    maps[py::str(map_name(i++, "dec_cross"))] = out[2];
  }
  return {project(self, in.x), maps};
}

std::vector<Param> speech_forward_params() {
  return {arg("self"),
          nn::tensor_arg("feats"),
          nn::tensor_arg("targets_shifted"),
          nn::tensor_arg("feat_lengths"),
          nn::tensor_arg("transcript_lengths"),
          common::returns("Tuple[torch.Tensor, Dict[str, torch.Tensor], "
                          "Dict[str, torch.Tensor]]")};
}
py::object speech_forward(py::handle self, py::handle feats, py::handle targets_shifted,
                          py::handle feat_lengths, py::handle transcript_lengths) {
  py::tuple enc = encode(self, feats, feat_lengths);
  auto dec = decode(self, targets_shifted, enc[0], enc[1], nn::tensor(transcript_lengths));
  py::dict maps = py::reinterpret_borrow<py::dict>(enc[2]);
  for (auto kv : dec.second) maps[kv.first] = kv.second;
  return py::make_tuple(dec.first, maps, enc[3]);
}

// What the incremental scorer needs of either model.
prefix_cache::Model cached(py::handle self) {
  return {
      self,
      [self](const at::Tensor& tokens, int64_t offset) { return embed_at(self, tokens, offset); },
      [self](const at::Tensor& h) { return nn::tensor(project(self, nn::object(h))); }};
}

std::vector<Param> speech_encode_params() {
  return {arg("self"), nn::tensor_arg("feats"), nn::tensor_arg("feat_lengths"),
          common::returns("Tuple[torch.Tensor, torch.Tensor, Dict[str, torch.Tensor], "
                          "Dict[str, torch.Tensor]]")};
}
py::object speech_encode(py::handle self, py::handle feats, py::handle feat_lengths) {
  return encode(self, feats, feat_lengths);
}

// Beam search hands beams x utterances rows; row r belongs to utterance r // beams.
std::vector<Param> speech_score_params() {
  return {arg("self"), nn::tensor_arg("x"), nn::tensor_arg("encoder_output"),
          arg("pad_mask_src").annotated("Optional[torch.Tensor]"), nn::returns_tensors(1)};
}
py::object speech_score(py::handle self, py::handle x, py::handle encoder_output, py::object pad) {
  const int64_t rows = nn::tensor(x).size(0);
  at::Tensor memory = nn::tensor(encoder_output);
  const int64_t utterances = memory.size(0);
  int64_t beams = 1;
  if (rows != utterances) {
    if (utterances == 0 || rows % utterances != 0)
      common::raise(PyExc_ValueError, "score() got " + std::to_string(rows) + " prefixes for " +
                                          std::to_string(utterances) +
                                          " encoded utterances; it needs a multiple of them");
    beams = rows / utterances;
  }
  at::Tensor fast =
      prefix_cache::next_logits(cached(self), nn::tensor(x), encoder_output,
                                pad.is_none() ? at::Tensor() : nn::tensor(pad), beams);
  if (fast.defined()) return nn::object(fast);
  if (beams > 1) {
    memory = memory.repeat_interleave(beams, 0);
    if (!pad.is_none()) pad = nn::object(nn::tensor(pad).repeat_interleave(beams, 0));
  }
  auto dec = decode(self, x, nn::object(memory), pad, at::Tensor());
  return nn::object(nn::tensor(dec.first).select(1, -1));
}

// ---- language model -------------------------------------------------------------------

std::pair<py::object, py::dict> text_decode(py::handle self, py::handle targets,
                                            const at::Tensor& lengths) {
  DecoderInput in = decoder_input(self, targets, lengths);
  py::dict maps;
  size_t i = 0;
  for (py::handle layer : self.attr("dec_layers")) {
    auto out = nn::unpack(common::call(layer, py::make_tuple(in.x),
                                       {{"key_padding_mask", in.pad}, {"attn_mask", in.causal}}),
                          2);
    in.x = out[0];
    maps[py::str(map_name(i++, "dec_self"))] = out[1];
  }
  return {project(self, in.x), maps};
}

std::vector<Param> text_forward_params() {
  return {arg("self"), nn::tensor_arg("targets_shifted"), nn::mask_arg("target_lengths"),
          common::returns("Tuple[torch.Tensor, Dict[str, torch.Tensor]]")};
}
py::object text_forward(py::handle self, py::handle targets_shifted, py::handle lengths) {
  auto out =
      text_decode(self, targets_shifted, lengths.is_none() ? at::Tensor() : nn::tensor(lengths));
  return py::make_tuple(out.first, out.second);
}

std::vector<Param> text_score_params() {
  return {arg("self"), nn::tensor_arg("x"), nn::returns_tensors(1)};
}
py::object text_score(py::handle self, py::handle x) {
  at::Tensor fast = prefix_cache::next_logits(cached(self), nn::tensor(x), py::none(), {}, 0);
  if (fast.defined()) return nn::object(fast);
  auto out = text_decode(self, x, at::Tensor());
  return nn::object(nn::tensor(out.first).select(1, -1));
}

}  // namespace

PYBIND11_MODULE(transformers, m) {
  const std::string name = py::str(m.attr("__name__"));
  m.doc() = "Encoder-decoder speech model and decoder-only language model.";
  m.attr("SpeechEmbedding") = common::relative(name, "caddrel").attr("SpeechEmbedding");
  m.attr("SelfAttentionEncoderLayer") =
      common::relative(name, "ashvenny").attr("SelfAttentionEncoderLayer");
  py::module_ decoders = common::relative(name, "wendlash");
  m.attr("CrossAttentionDecoderLayer") = decoders.attr("CrossAttentionDecoderLayer");
  m.attr("SelfAttentionDecoderLayer") = decoders.attr("SelfAttentionDecoderLayer");

  common::ClassBuilder(m, "EncoderDecoderTransformer", nn::module_bases())
      .doc(kSpeechDoc)
      .method("__init__", speech_init_params(), speech_init(name), kSpeechInitDoc)
      .method("forward", speech_forward_params(), speech_forward, kSpeechForwardDoc)
      .method("encode", speech_encode_params(), speech_encode, kEncodeDoc)
      .method("score", speech_score_params(), speech_score, kSpeechScoreDoc)
      .finish();

  common::ClassBuilder(m, "DecoderOnlyTransformer", nn::module_bases())
      .doc(kTextDoc)
      .method("__init__", text_init_params(), text_init(name), kTextInitDoc)
      .method("forward", text_forward_params(), text_forward, kTextForwardDoc)
      .method("score", text_score_params(), text_score,
              "Next-token logits (rows, num_classes) after the whole prefixes x (rows, length).")
      .finish();
}
