// Pre-LN encoder layer: bidirectional self-attention, then feed-forward.
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

constexpr const char* kClassDoc =
    "\n"
    "    Pre-LN Encoder Layer with self-attention mechanism.\n"
    "    Used in the encoder part of transformer architectures.\n"
    "    Unlike the decoder, does not use causal masking (bidirectional attention).\n"
    "    ";

constexpr const char* kForwardDoc =
    "\n"
    "        Forward pass for the EncoderLayer.\n"
    "        Args:\n"
    "            x (torch.Tensor): The input tensor. shape: (batch_size, seq_len, d_model)\n"
    "            key_padding_mask (torch.Tensor): The padding mask for the input. shape: "
    "(batch_size, seq_len)\n"
    "        Returns:\n"
    "            x (torch.Tensor): The output tensor. shape: (batch_size, seq_len, d_model)\n"
    "            mha_attn_weights (torch.Tensor): The attention weights. shape: (batch_size, "
    "seq_len, seq_len)\n"
    "        ";

std::vector<Param> forward_params() {
  return {arg("self"), nn::tensor_arg("x"), nn::mask_arg("key_padding_mask"),
          nn::returns_tensors(2)};
}
py::object forward(py::handle self, py::object x, py::object key_padding_mask) {
  auto out = nn::unpack(common::call(self.attr("self_attn"), py::make_tuple(x),
                                     {{"key_padding_mask", key_padding_mask}}),
                        2);
  return py::make_tuple(self.attr("ffn")(out[0]), out[1]);
}

}  // namespace

PYBIND11_MODULE(ashvenny, m) {
  const std::string name = py::str(m.attr("__name__"));
  nn::bind_common_imports(m);
  py::module_ sublayers = common::relative(name, "fallowmere");
  m.attr("SelfAttentionLayer") = sublayers.attr("SelfAttentionLayer");
  m.attr("FeedForwardLayer") = sublayers.attr("FeedForwardLayer");

  common::ClassBuilder(m, "SelfAttentionEncoderLayer", nn::module_bases())
      .doc(kClassDoc)
      .method("__init__", nn::layer_init_params(),
              nn::layer_init(name, {{"self_attn", "SelfAttentionLayer", false},
                                    {"ffn", "FeedForwardLayer", true}}))
      .method("forward", forward_params(), forward, kForwardDoc)
      .finish();
}
