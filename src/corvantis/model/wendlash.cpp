// Pre-LN decoder layers: decoder-only (self-attention, feed-forward) and
// encoder-decoder (self-attention, cross-attention, feed-forward).
#include <torch/extension.h>

#include <string>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/nnmodule.h"
#include "binding/pyutil.h"

namespace py = pybind11;
namespace nn = common::nn;
using common::arg;
using common::Param;

namespace {

constexpr const char* kSelfClassDoc =
    "\n"
    "    Pre-LN Decoder Layer with masked self-attention and feed-forward sub-layers.\n"
    "    Used in the decoder-only Transformer architecture.\n"
    "    ";

constexpr const char* kCrossClassDoc =
    "\n"
    "    Pre-LN Decoder Layer with masked self-attention, cross-attention and feed-forward "
    "sub-layers.\n"
    "    Used in the encoder-decoder Transformer architecture.\n"
    "    ";

constexpr const char* kSelfForwardDoc =
    "\n"
    "        Forward pass for the SelfAttentionDecoderLayer.\n"
    "\n"
    "        Args:\n"
    "            x (torch.Tensor): The input tensor. shape: (batch_size, seq_len, d_model)\n"
    "            key_padding_mask (torch.Tensor): The padding mask for the decoder.\n"
    "            attn_mask (torch.Tensor): The self-attention mask (Causal + Pad).\n"
    "\n"
    "        Returns:\n"
    "            x (torch.Tensor): The output tensor.\n"
    "            mha_attn_weights (torch.Tensor): The attention weights from self-attention.\n"
    "        ";

constexpr const char* kCrossForwardDoc =
    "\n"
    "        Forward pass for the CrossAttentionDecoderLayer.\n"
    "\n"
    "        Args:\n"
    "            x (torch.Tensor): Decoder input/state.\n"
    "            enc_output (torch.Tensor): Output from the Encoder stack (K/V source).\n"
    "            dec_key_padding_mask (Optional[torch.Tensor]): Padding mask for decoder "
    "self-attention.\n"
    "            enc_key_padding_mask (Optional[torch.Tensor]): Padding mask for encoder output "
    "(used in cross-attention).\n"
    "            attn_mask (Optional[torch.Tensor]): Causal mask for decoder self-attention.\n"
    "\n"
    "        Returns:\n"
    "            x (torch.Tensor): Final output tensor.\n"
    "            self_attn_weights (torch.Tensor): Self-attention weights.\n"
    "            cross_attn_weights (torch.Tensor): Cross-attention weights.\n"
    "        ";

std::vector<Param> self_forward_params() {
  return {arg("self"), nn::tensor_arg("x"), nn::mask_arg("key_padding_mask"),
          nn::mask_arg("attn_mask"), nn::returns_tensors(2)};
}
py::object self_forward(py::handle self, py::object x, py::object key_padding_mask,
                        py::object attn_mask) {
  auto out =
      nn::unpack(common::call(self.attr("self_attn"), py::make_tuple(x),
                              {{"key_padding_mask", key_padding_mask}, {"attn_mask", attn_mask}}),
                 2);
  return py::make_tuple(self.attr("ffn")(out[0]), out[1]);
}

std::vector<Param> cross_forward_params() {
  return {arg("self"),
          nn::tensor_arg("x"),
          nn::tensor_arg("enc_output"),
          nn::mask_arg("dec_key_padding_mask"),
          nn::mask_arg("enc_key_padding_mask"),
          nn::mask_arg("attn_mask"),
          nn::returns_tensors(3)};
}
py::object cross_forward(py::handle self, py::object x, py::object enc_output,
                         py::object dec_key_padding_mask, py::object enc_key_padding_mask,
                         py::object attn_mask) {
  auto self_out = nn::unpack(
      common::call(self.attr("self_attn"), py::make_tuple(x),
                   {{"key_padding_mask", dec_key_padding_mask}, {"attn_mask", attn_mask}}),
      2);
  auto cross_out = nn::unpack(
      common::call(self.attr("cross_attn"), py::make_tuple(self_out[0], enc_output),
                   {{"key_padding_mask", enc_key_padding_mask}, {"attn_mask", py::none()}}),
      2);
  return py::make_tuple(self.attr("ffn")(cross_out[0]), self_out[1], cross_out[1]);
}

}  // namespace

PYBIND11_MODULE(wendlash, m) {
  const std::string name = py::str(m.attr("__name__"));
  nn::bind_common_imports(m);
  py::module_ sublayers = common::relative(name, "fallowmere");
  for (const char* cls : {"SelfAttentionLayer", "CrossAttentionLayer", "FeedForwardLayer"})
    m.attr(cls) = sublayers.attr(cls);

  common::ClassBuilder(m, "SelfAttentionDecoderLayer", nn::module_bases())
      .doc(kSelfClassDoc)
      .method("__init__", nn::layer_init_params(),
              nn::layer_init(name, {{"self_attn", "SelfAttentionLayer", false},
                                    {"ffn", "FeedForwardLayer", true}}))
      .method("forward", self_forward_params(), self_forward, kSelfForwardDoc)
      .finish();

  common::ClassBuilder(m, "CrossAttentionDecoderLayer", nn::module_bases())
      .doc(kCrossClassDoc)
      .method("__init__", nn::layer_init_params(),
              nn::layer_init(name, {{"self_attn", "SelfAttentionLayer", false},
                                    {"cross_attn", "CrossAttentionLayer", false},
                                    {"ffn", "FeedForwardLayer", true}}))
      .method("forward", cross_forward_params(), cross_forward, kCrossForwardDoc)
      .finish();
}
