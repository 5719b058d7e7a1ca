// Speech front-ends: a stacked BLSTM stage and a convolutional stage that
// shorten the time axis by an integer factor, the SpeechEmbedding that
// chooses and chains them, and hand-run self-tests.
#include <torch/extension.h>

#include <string>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/native_function.h"
#include "binding/nnmodule.h"
#include "binding/pyutil.h"

namespace py = pybind11;
namespace nn = common::nn;
using common::arg;
using common::Param;

namespace {

// ---- number-protocol arithmetic, exactly as the interpreter does it ---------

using common::floor_div;

bool less(py::handle a, py::handle b) { return common::compare(a, b, Py_LT); }

// An index-like number as an integer scalar, any other number as a double.
at::Scalar scalar(py::handle v) {
  if (PyIndex_Check(v.ptr())) return at::Scalar(common::index_of(v));
  return at::Scalar(common::to_float(v));
}

// (larger, smaller) with larger * smaller == n: the factor nearest the square
// root from below, and its partner.
std::vector<Param> closest_factors_params() { return {arg("self"), arg("n")}; }
py::object closest_factors(py::handle, py::handle n) {
  py::object factor = common::steal(
      PyNumber_Long(common::steal(PyNumber_Power(n.ptr(), py::float_(0.5).ptr(), Py_None)).ptr()));
  const py::int_ zero(0), one(1);
  for (;;) {
    py::object rest = common::mod(n, factor);
    if (!rest.not_equal(zero)) break;
    factor = factor - one;
  }
  py::object other = floor_div(n, factor);
  // max() and min() keep the first argument on ties
  py::object larger = less(factor, other) ? other : factor;
  py::object smaller = less(other, factor) ? other : factor;
  return py::make_tuple(larger, smaller);
}

// ---- StackedBLSTMEmbedding -----------------------------------------------------

py::dict pool_params(py::handle stride) {
  py::dict d;
  d["kernel_size"] = stride;
  d["stride"] = stride;
  d["padding"] = 0;
  d["dilation"] = 1;
  return d;
}

std::vector<Param> blstm_init_params() {
  return {arg("self"),
          arg("input_dim").annotated("int"),
          arg("hidden_dim").annotated("int"),
          arg("output_dim").annotated("int"),
          arg("time_reduction", py::int_(2)).annotated("int"),
          arg("dropout", py::float_(0.1)).annotated("float")};
}
py::object blstm_init(py::handle self, py::int_ input_dim, py::int_ hidden_dim, py::int_ output_dim,
                      py::int_ time_reduction, double p) {
  nn::init_module(self);
  nn::check_dimensions({input_dim, hidden_dim, output_dim, time_reduction});
  nn::check_dropout(p);
  // each direction gets hidden_dim // 2 units, so only an even width comes
  // back out of a bidirectional layer as hidden_dim wide
  if (common::mod(hidden_dim, py::int_(2)).not_equal(py::int_(0)))
    common::raise(PyExc_ValueError,
                  "hidden_dim must be even (each LSTM direction has hidden_dim // 2 units), got " +
                      std::string(py::str(hidden_dim)));
  auto strides = nn::unpack(self.attr("closest_factors")(time_reduction), 2);
  self.attr("stride1") = strides[0];
  self.attr("stride2") = strides[1];
  self.attr("pool1_params") = pool_params(strides[0]);
  self.attr("pool2_params") = pool_params(strides[1]);
  py::module_ tnn = nn::torch_nn();
  py::object half = floor_div(hidden_dim, py::int_(2));
  auto lstm = [&](py::handle width) {
    return common::call(tnn.attr("LSTM"), py::make_tuple(width, half),
                        {{"num_layers", py::int_(1)},
                         {"batch_first", py::bool_(true)},
                         {"bidirectional", py::bool_(true)}});
  };
  self.attr("blstm1") = lstm(input_dim);
  self.attr("blstm2") = lstm(hidden_dim);
  self.attr("pool1") = tnn.attr("MaxPool1d")(**py::dict(self.attr("pool1_params")));
  self.attr("pool2") = tnn.attr("MaxPool1d")(**py::dict(self.attr("pool2_params")));
  self.attr("linear_embed") = tnn.attr("Linear")(hidden_dim, output_dim);
  self.attr("dropout") = tnn.attr("Dropout")(py::float_(p));
  return py::none();
}

// floor((L + 2 padding - dilation (kernel_size - 1) - 1) / stride) + 1, int64.
std::vector<Param> pool_output_length_params() {
  return {arg("self"), nn::tensor_arg("L_in"), arg("pool_params").annotated("dict"),
          nn::returns_tensors(1)};
}
py::object pool_output_length(py::handle, py::handle L_in, py::dict params) {
  py::object padding = params["padding"], dilation = params["dilation"],
             kernel = params["kernel_size"];
  py::object offset = py::int_(2) * padding - dilation * (kernel - py::int_(1)) - py::int_(1);
  py::object stride = params["stride"];
  const at::Tensor lengths = nn::tensor(L_in);
  at::Tensor out = at::div(lengths + scalar(offset), scalar(stride), "floor") + 1;
  return nn::object(out.to(at::kLong));
}

// (self, lengths): the frame counts a stage or the whole embedding gives.
std::vector<Param> downsampled_length_params() {
  return {arg("self"), nn::tensor_arg("lengths"), nn::returns_tensors(1)};
}
py::object blstm_downsampled_length(py::handle self, py::handle lengths) {
  py::object pooled = self.attr("calculate_pool_output_length")(lengths, self.attr("pool1_params"));
  return self.attr("calculate_pool_output_length")(pooled, self.attr("pool2_params"));
}

// One BLSTM reading only each utterance's valid frames, then one max-pool
// over time. Returns (batch, T // stride, hidden_dim) and the new lengths.
std::pair<py::object, py::object> lstm_and_pool(py::handle self, const py::module_& mod,
                                                py::handle x, py::handle x_len, const char* lstm,
                                                const char* pool, const char* params) {
  const int64_t frames = nn::tensor(x).size(1);
  py::object packed = common::call(
      mod.attr("pack_padded_sequence"), py::make_tuple(x, nn::object(nn::tensor(x_len).cpu())),
      {{"batch_first", py::bool_(true)}, {"enforce_sorted", py::bool_(false)}});
  auto lstm_out = nn::unpack(self.attr(lstm)(packed), 2);
  auto padded = nn::unpack(
      common::call(mod.attr("pad_packed_sequence"), py::make_tuple(lstm_out[0]),
                   {{"batch_first", py::bool_(true)}, {"total_length", py::int_(frames)}}),
      2);
  at::Tensor pooled =
      nn::tensor(self.attr(pool)(nn::object(nn::tensor(padded[0]).transpose(1, 2))));
  py::object lengths = self.attr("calculate_pool_output_length")(x_len, self.attr(params));
  return {nn::object(pooled.transpose(1, 2)), lengths};
}

// (self, x, x_len), as every stage's forward takes them.
std::vector<Param> stage_forward_params() { return {arg("self"), arg("x"), arg("x_len")}; }

common::BoundMethod blstm_forward(std::string module_name) {
  return [module_name](py::handle self, py::handle x, py::handle x_len) -> py::object {
    py::module_ mod = py::module_::import(module_name.c_str());
    auto first = lstm_and_pool(self, mod, x, x_len, "blstm1", "pool1", "pool1_params");
    auto second =
        lstm_and_pool(self, mod, first.first, first.second, "blstm2", "pool2", "pool2_params");
    py::object output = self.attr("dropout")(self.attr("linear_embed")(second.first));
    return py::make_tuple(output, second.second);
  };
}

// ---- Conv2DSubsampling ------------------------------------------------------------

std::vector<Param> conv_init_params() {
  return {arg("self"),
          arg("input_dim").annotated("int"),
          arg("output_dim").annotated("int"),
          arg("dropout", py::float_(0.0)).annotated("float"),
          arg("time_reduction", py::int_(2)).annotated("int"),
          arg("kernel_size", py::int_(3)).annotated("int")};
}
py::object conv_init(py::handle self, py::int_ input_dim, py::int_ output_dim, double dropout,
                     py::int_ time_reduction, py::int_ kernel_size) {
  py::float_ p(dropout);
  nn::init_module(self);
  self.attr("kernel_size") = kernel_size;
  auto strides = nn::unpack(self.attr("closest_factors")(time_reduction), 2);
  self.attr("time_stride1") = strides[0];
  self.attr("time_stride2") = strides[1];
  py::module_ tnn = nn::torch_nn();
  auto conv = [&](py::handle in, py::handle stride) {
    return common::call(tnn.attr("Conv2d"), py::make_tuple(in, output_dim),
                        {{"kernel_size", kernel_size}, {"stride", py::make_tuple(stride, 1)}});
  };
  self.attr("conv") = tnn.attr("Sequential")(conv(py::int_(1), strides[0]), tnn.attr("GELU")(),
                                             conv(output_dim, strides[1]), tnn.attr("GELU")());
  py::object linear_in_dim = self.attr("calculate_downsampled_length")(input_dim, 1, 1);
  linear_in_dim = linear_in_dim * output_dim;
  self.attr("linear_out") = tnn.attr("Linear")(linear_in_dim, output_dim);
  self.attr("dropout") = tnn.attr("Dropout")(p);
  return py::none();
}

// (L - (kernel_size - 1) - 1) // stride + 1 for each stride in turn; an int
// stays an int and a tensor keeps its dtype, with no clamping.
std::vector<Param> conv_downsampled_length_params() {
  return {arg("self"), arg("lengths"), arg("stride1").annotated("int"),
          arg("stride2").annotated("int")};
}
py::object conv_downsampled_length(py::handle self, py::handle lengths, py::int_ stride1,
                                   py::int_ stride2) {
  py::object kernel = self.attr("kernel_size");
  if (common::nn::is_tensor(lengths)) {
    const at::Scalar k_minus_1 = scalar(kernel - py::int_(1));
    at::Tensor l = nn::tensor(lengths);
    for (py::handle s : {stride1, stride2})
      l = at::div(l.sub(k_minus_1).sub(1), scalar(s), "floor") + 1;
    return nn::object(l);
  }
  const py::int_ one(1);
  py::object l = py::reinterpret_borrow<py::object>(lengths);
  for (py::handle s : {stride1, stride2}) l = floor_div(l - (kernel - one) - one, s) + one;
  return l;
}

// Debian's PyTorch 1.13 computes the float32 backward of the exact GELU
// wrongly when the incoming gradient is not contiguous, and the
// transpose(1, 2) below hands the last GELU exactly such a gradient. Making
// the gradient contiguous at the GELU's output keeps the result exact.
void contiguous_gradient(const at::Tensor& t) {
  if (t.requires_grad()) t.register_hook([](const at::Tensor& grad) { return grad.contiguous(); });
}

py::object conv_forward(py::handle self, py::handle x_in, py::handle x_len) {
  py::object conv_out = self.attr("conv")(nn::object(nn::tensor(x_in).unsqueeze(1)));
  const at::Tensor x = nn::tensor(conv_out);
  contiguous_gradient(x);
  at::Tensor flat = x.transpose(1, 2).contiguous().view({x.size(0), x.size(2), -1});
  py::object out = self.attr("dropout")(self.attr("linear_out")(nn::object(flat)));
  py::object lengths = self.attr("calculate_downsampled_length")(x_len, self.attr("time_stride1"),
                                                                 self.attr("time_stride2"));
  return py::make_tuple(out, lengths);
}

// ---- SpeechEmbedding ----------------------------------------------------------------

std::vector<Param> speech_init_params() {
  return {arg("self"),
          arg("input_dim").annotated("int"),
          arg("output_dim").annotated("int"),
          arg("time_reduction", py::int_(6)).annotated("int"),
          arg("reduction_method", py::str("lstm")).annotated("str"),
          arg("dropout", py::float_(0.0)).annotated("float")};
}
// dropout is converted before reduction_method, though declared after it.
common::BoundMethod speech_init(std::string module_name) {
  return [module_name](py::handle self, py::int_ input_dim, py::int_ output_dim,
                       py::int_ time_reduction, py::object reduction_method,
                       double dropout) -> py::object {
    py::float_ p(dropout);
    py::str method = common::exact_str(reduction_method, "reduction_method");
    nn::init_module(self);
    nn::check_dimensions({input_dim, output_dim, time_reduction});
    nn::check_dropout(p);
    const std::string m = method;
    const bool conv = m == "conv" || m == "both", lstm = m == "lstm" || m == "both";
    if (!conv && !lstm)
      common::raise(PyExc_ValueError, "reduction_method must be 'conv', 'lstm', or 'both'");
    self.attr("embedding_dim") = output_dim;
    self.attr("reduction_method") = method;
    py::object conv_reduction = m == "lstm" ? py::int_(1) : time_reduction;
    py::object lstm_reduction = m == "conv" ? py::int_(1) : time_reduction;
    if (m == "both") {
      auto f = nn::unpack(self.attr("closest_factors")(time_reduction), 2);
      lstm_reduction = f[0];
      conv_reduction = f[1];
    }
    self.attr("cnn") = py::none();
    self.attr("blstm") = py::none();
    py::module_ mod = py::module_::import(module_name.c_str());
    py::object width = self.attr("embedding_dim");
    if (conv)
      self.attr("cnn") =
          common::call(mod.attr("Conv2DSubsampling"), py::make_tuple(input_dim, width),
                       {{"dropout", p}, {"time_reduction", conv_reduction}});
    if (lstm) {
      py::object lstm_input = py::bool_(self.attr("cnn")) ? width : py::object(input_dim);
      self.attr("blstm") =
          common::call(mod.attr("StackedBLSTMEmbedding"), {{"input_dim", lstm_input},
                                                           {"hidden_dim", width},
                                                           {"output_dim", width},
                                                           {"time_reduction", lstm_reduction},
                                                           {"dropout", p}});
    }
    return py::none();
  };
}

py::object speech_forward(py::handle self, py::object x, py::object x_len) {
  for (const char* stage : {"cnn", "blstm"}) {
    py::object module = self.attr(stage);
    if (module.is_none()) continue;
    auto out = nn::unpack(module(x, x_len), 2);
    x = out[0];
    x_len = out[1];
  }
  return py::make_tuple(x, x_len);
}

py::object speech_downsampled_length(py::handle self, py::object lengths) {
  py::object cnn = self.attr("cnn");
  if (!cnn.is_none())
    lengths = cnn.attr("calculate_downsampled_length")(lengths, cnn.attr("time_stride1"),
                                                       cnn.attr("time_stride2"));
  py::object blstm = self.attr("blstm");
  if (!blstm.is_none()) lengths = blstm.attr("calculate_downsampled_length")(lengths);
  return lengths;
}

// ---- self-tests -------------------------------------------------------------------------

std::vector<Param> get_inputs_params() {
  return {arg("input_dim").annotated("int"), arg("max_length").annotated("int"),
          arg("batch_size").annotated("int")};
}
py::object get_inputs(int64_t input_dim, int64_t max_length, int64_t batch_size) {
  at::Tensor input = at::randn({batch_size, max_length, input_dim});
  at::Tensor lengths = at::ones({batch_size}) * max_length;
  return py::make_tuple(nn::object(input), nn::object(lengths));
}

// Builds a SpeechEmbedding(80, 256) with `method`, prints its summary, runs a
// batch of 10 utterances of 1000 frames and prints the frame counts.
std::vector<Param> self_test_params() {
  return {arg("time_reduction", py::int_(2)).annotated("int")};
}
common::BoundMethod self_test(std::string module_name, const char* method) {
  return [module_name, method](py::int_ time_reduction) -> py::object {
    py::module_ mod = py::module_::import(module_name.c_str());
    auto inputs = nn::unpack(mod.attr("get_inputs")(80, 1000, 10), 2);
    py::object model = common::call(mod.attr("SpeechEmbedding"), py::make_tuple(80, 256),
                                    {{"time_reduction", time_reduction},
                                     {"reduction_method", py::str(method)},
                                     {"dropout", py::float_(0.1)}});
    common::call(mod.attr("summary"), py::make_tuple(model),
                 {{"input_data", py::list(py::make_tuple(inputs[0], inputs[1]))}});
    auto out = nn::unpack(model(inputs[0], inputs[1]), 2);
    common::print(out[1]);
    return py::none();
  };
}

common::ClassBuilder& with_closest_factors(common::ClassBuilder& b) {
  return b.method("closest_factors", closest_factors_params(), closest_factors,
                  "closest_factors(n) -> (larger, smaller): the factor pair of n nearest its "
                  "square root");
}

void define_blstm(py::module_& m, const std::string& name) {
  common::ClassBuilder b(m, "StackedBLSTMEmbedding", nn::module_bases());
  b.doc(
      "Two bidirectional LSTMs, each followed by a max-pool over time; the pool sizes are\n"
      "closest_factors(time_reduction). Returns embeddings of width output_dim and the\n"
      "shortened int64 lengths.");
  b.method(
      "__init__", blstm_init_params(), blstm_init,
      "input_dim: features per frame; hidden_dim: width of the BiLSTM outputs (hidden_dim // 2\n"
      "units per direction); output_dim: embedding width; time_reduction: total pooling\n"
      "factor; dropout: rate after the projection. Raises ValueError for a non-positive\n"
      "size or a dropout outside [0, 1).");
  with_closest_factors(b)
      .method("calculate_pool_output_length", pool_output_length_params(), pool_output_length,
              "Output lengths (int64) of a 1-D pooling with pool_params' padding, dilation,\n"
              "kernel_size and stride for input lengths L_in.")
      .method(
          "calculate_downsampled_length", downsampled_length_params(), blstm_downsampled_length,
          "The frame counts forward returns for `lengths`: floor(floor(L / stride1) / stride2).")
      .method(
          "forward", stage_forward_params(), blstm_forward(name),
          "(x (batch, frames, input_dim), x_len (batch,)) -> (embeddings (batch, frames',\n"
          "output_dim), x_len' int64). Each LSTM reads only the valid frames of each utterance.")
      .finish();
}

void define_conv(py::module_& m) {
  common::ClassBuilder b(m, "Conv2DSubsampling", nn::module_bases());
  b.doc(
      "Two strided 2-D convolutions with GELU over (time, frequency); the time strides are\n"
      "closest_factors(time_reduction). Channels and remaining frequency bins of each frame\n"
      "are projected to output_dim.");
  b.method("__init__", conv_init_params(), conv_init,
           "input_dim: features per frame (at least 2 * kernel_size - 1); output_dim: channels\n"
           "and embedding width; dropout: rate after the projection; time_reduction: product of\n"
           "the two time strides; kernel_size: of both convolutions.");
  with_closest_factors(b)
      .method("forward", stage_forward_params(), conv_forward,
              "(x (batch, frames, input_dim), x_len (batch,)) -> (embeddings (batch, frames',\n"
              "output_dim), x_len'), x_len' as calculate_downsampled_length gives it.")
      .method("calculate_downsampled_length", conv_downsampled_length_params(),
              conv_downsampled_length,
              "Lengths after the two convolutions with these strides; an int or a tensor, kept\n"
              "in its type (no cast, no clamping).")
      .finish();
}

void define_speech(py::module_& m, const std::string& name) {
  common::ClassBuilder b(m, "SpeechEmbedding", nn::module_bases());
  b.method("__init__", speech_init_params(), speech_init(name),
           "reduction_method: \"conv\" (Conv2DSubsampling), \"lstm\" (StackedBLSTMEmbedding)\n"
           "or \"both\" (convolution by the smaller factor of time_reduction, then the LSTMs by\n"
           "the larger). Raises ValueError for a non-positive size, a dropout outside [0, 1)\n"
           "or another method.");
  with_closest_factors(b)
      .method("forward", stage_forward_params(), speech_forward,
              "(x (batch, frames, input_dim), x_len (batch,)) -> (embeddings (batch, frames',\n"
              "output_dim), x_len'): the convolutional stage first, then the LSTM stage.")
      .method("calculate_downsampled_length", downsampled_length_params(),
              speech_downsampled_length,
              "The frame counts forward returns for `lengths`, without running the stages.")
      .finish();
}

}  // namespace

PYBIND11_MODULE(caddrel, m) {
  const std::string name = py::str(m.attr("__name__"));
  m.doc() = "Speech embedding front-ends that shorten the time axis.";
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = nn::torch_nn();
  py::module_ rnn = py::module_::import("torch.nn.utils.rnn");
  m.attr("pack_padded_sequence") = rnn.attr("pack_padded_sequence");
  m.attr("pad_packed_sequence") = rnn.attr("pad_packed_sequence");
  m.attr("summary") = py::module_::import("corvantis.utils.summary").attr("summary");

  define_blstm(m, name);
  define_conv(m);
  define_speech(m, name);

  common::def_function(m, "get_inputs", get_inputs_params(), get_inputs,
                       "get_inputs(input_dim, max_length, batch_size) -> (features, lengths): "
                       "standard-normal features and float lengths all equal to max_length");
  for (const char* method : {"lstm", "conv", "both"}) {
    const std::string fn = std::string("test_caddrel_") + method;
    const std::string doc =
        std::string("Prints the summary of a SpeechEmbedding(80, 256) with \"") + method +
        "\" and the frame counts of 10 utterances of 1000 frames.";
    common::def_function(m, fn.c_str(), self_test_params(), self_test(name, method), doc.c_str());
  }
  m.attr("__test__") = py::dict();
}
