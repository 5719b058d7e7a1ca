// Pre-LN sub-layers: self-attention, feed-forward and cross-attention.
//
// Each normalises its input, runs its block, applies dropout and adds the
// un-normalised input back. Masks come from the caller and reach the
// attention module unchanged.
#include <torch/extension.h>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/nnmodule.h"
#include "binding/pyutil.h"

namespace py = pybind11;
namespace nn = common::nn;
using common::arg;
using common::Param;

namespace {

std::vector<Param> attention_init_params() {
  return {arg("self"), arg("d_model").annotated("int"), arg("num_heads").annotated("int"),
          arg("dropout", py::float_(0.0)).annotated("float")};
}
py::object attention_init(py::handle self, py::int_ d_model, py::int_ num_heads, double dropout) {
  py::float_ p(dropout);
  nn::init_module(self);
  py::module_ tnn = nn::torch_nn();
  self.attr("mha") =
      common::call(tnn.attr("MultiheadAttention"), {{"embed_dim", d_model},
                                                    {"num_heads", num_heads},
                                                    {"dropout", p},
                                                    {"batch_first", py::bool_(true)}});
  self.attr("norm") = tnn.attr("LayerNorm")(d_model);
  self.attr("dropout") = tnn.attr("Dropout")(p);
  return py::none();
}

// x + dropout(mha(norm(x), kv, kv)), kv being norm(x) itself when `y` is null.
py::object attend(py::handle self, py::handle x, py::handle y, const py::object& key_padding_mask,
                  const py::object& attn_mask) {
  py::object x_norm = self.attr("norm")(x);
  py::object kv = y ? py::reinterpret_borrow<py::object>(y) : x_norm;
  py::object result = common::call(self.attr("mha"), {{"query", x_norm},
                                                      {"key", kv},
                                                      {"value", kv},
                                                      {"key_padding_mask", key_padding_mask},
                                                      {"attn_mask", attn_mask},
                                                      {"need_weights", py::bool_(true)},
                                                      {"average_attn_weights", py::bool_(true)}});
  auto out = nn::unpack(result, 2);
  py::object x_mha = self.attr("dropout")(out[0]);
  at::Tensor sum = nn::tensor(x) + nn::tensor(x_mha);
  return py::make_tuple(nn::object(std::move(sum)), out[1]);
}

std::vector<Param> self_attention_forward_params() {
  return {arg("self"), nn::tensor_arg("x"), nn::mask_arg("key_padding_mask"),
          nn::mask_arg("attn_mask"), nn::returns_tensors(2)};
}
py::object self_attention_forward(py::handle self, py::handle x, py::object key_padding_mask,
                                  py::object attn_mask) {
  return attend(self, x, py::handle(), key_padding_mask, attn_mask);
}

std::vector<Param> cross_attention_forward_params() {
  return {arg("self"),
          nn::tensor_arg("x"),
          nn::tensor_arg("y"),
          nn::mask_arg("key_padding_mask"),
          nn::mask_arg("attn_mask"),
          nn::returns_tensors(2)};
}
py::object cross_attention_forward(py::handle self, py::handle x, py::handle y,
                                   py::object key_padding_mask, py::object attn_mask) {
  return attend(self, x, y, key_padding_mask, attn_mask);
}

std::vector<Param> feed_forward_init_params() {
  return {arg("self"), arg("d_model").annotated("int"), arg("d_ff").annotated("int"),
          arg("dropout", py::float_(0.0)).annotated("float")};
}
py::object feed_forward_init(py::handle self, py::int_ d_model, py::int_ d_ff, double dropout) {
  py::float_ p(dropout);
  nn::init_module(self);
  py::module_ tnn = nn::torch_nn();
  self.attr("ffn") =
      tnn.attr("Sequential")(tnn.attr("Linear")(d_model, d_ff), tnn.attr("GELU")(),
                             tnn.attr("Dropout")(p), tnn.attr("Linear")(d_ff, d_model));
  self.attr("norm") = tnn.attr("LayerNorm")(d_model);
  self.attr("dropout") = tnn.attr("Dropout")(p);
  return py::none();
}

std::vector<Param> feed_forward_forward_params() {
  return {arg("self"), nn::tensor_arg("x"), nn::returns_tensors(1)};
}
py::object feed_forward_forward(py::handle self, py::handle x) {
  py::object x_ffn = self.attr("ffn")(self.attr("norm")(x));
  py::object dropped = self.attr("dropout")(x_ffn);
  return nn::object(nn::tensor(x) + nn::tensor(dropped));
}

constexpr const char* kAttentionInitDoc =
    "d_model: width of the stream; num_heads: attention heads (must divide d_model);\n"
    "dropout: rate of the attention weights and of the residual branch.";

constexpr const char* kSelfForwardDoc =
    "x + dropout(mha(norm(x), norm(x), norm(x))) and the head-averaged attention weights.\n"
    "x: (batch, seq_len, d_model); key_padding_mask: (batch, seq_len), true marks a padded\n"
    "key; attn_mask: (seq_len, seq_len), true marks a pair not attended. Both masks reach\n"
    "nn.MultiheadAttention unchanged.";

constexpr const char* kCrossForwardDoc =
    "x + dropout(mha(norm(x), y, y)) and the attention weights (batch, len(x), len(y)).\n"
    "y (the encoder output) is used as given, not normalised; key_padding_mask:\n"
    "(batch, len(y)), true marks a padded key; attn_mask: (len(x), len(y)).";

void define_attention(py::module_& m, const char* name, const char* doc, bool cross) {
  common::ClassBuilder attention(m, name, nn::module_bases());
  attention.doc(doc).method("__init__", attention_init_params(), attention_init, kAttentionInitDoc);
  if (cross)
    attention.method("forward", cross_attention_forward_params(), cross_attention_forward,
                     kCrossForwardDoc);
  else
    attention.method("forward", self_attention_forward_params(), self_attention_forward,
                     kSelfForwardDoc);
  attention.finish();
}

}  // namespace

PYBIND11_MODULE(fallowmere, m) {
  m.doc() = "Pre-LN attention and feed-forward sub-layers.";
  nn::bind_common_imports(m);
  define_attention(m, "SelfAttentionLayer",
                   "Pre-LN Decoder Sub-Layer 1: Causally-masked self-attention.\n"
                   "Causal only when the caller passes a causal attn_mask; the encoder uses it "
                   "unmasked.",
                   false);
  common::ClassBuilder(m, "FeedForwardLayer", nn::module_bases())
      .doc("Pre-LN Decoder Sub-Layer 3: Position-wise feed-forward network.")
      .method("__init__", feed_forward_init_params(), feed_forward_init,
              "d_model: width of the stream; d_ff: hidden width of the feed-forward network;\n"
              "dropout: rate inside the network and of the residual branch.")
      .method("forward", feed_forward_forward_params(), feed_forward_forward,
              "x + dropout(ffn(norm(x))), shaped like x (..., d_model); one tensor, not a tuple.")
      .finish();
  define_attention(m, "CrossAttentionLayer",
                   "Pre-LN Decoder Sub-Layer 2: Cross-attention (Query from decoder, K/V from "
                   "encoder).\nTypically used in encoder-decoder models.",
                   true);
  m.attr("__test__") = py::dict();
}
