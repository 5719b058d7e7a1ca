// Next-token scoring that reuses the previous call's work.
//
// A search asks for the logits after whole prefixes, each one token longer
// than a prefix of the call before. Run from scratch, the decoder redoes every
// earlier position at every step (the cost grows with the square of the
// length). Here each decoder layer keeps the keys and values of the positions
// already seen, per row, and a call whose rows all extend rows of the previous
// call runs only the new position; any other call runs the whole prefix once
// and starts the cache anew. Used only without autograd and in eval mode,
// where dropout does nothing and no gradient needs the full graph.
#pragma once

#include <torch/extension.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/nnmodule.h"
#include "binding/pyutil.h"

namespace common::prefix_cache {

namespace py = pybind11;

// An attention sub-layer (pre-norm, nn.MultiheadAttention inside) as tensors.
struct Attention {
  at::Tensor norm_weight, norm_bias, in_weight, in_bias, out_weight, out_bias;
  std::vector<int64_t> norm_shape;
  double eps = 1e-5;
  int64_t heads = 1;
};

inline at::Tensor optional_tensor(py::handle owner, const char* name) {
  py::object v = owner.attr(name);
  return v.is_none() ? at::Tensor() : nn::tensor(v);
}

// False when the sub-layer is not the one this file knows how to run.
inline bool read_attention(py::handle sub, Attention& a) {
  if (!py::hasattr(sub, "mha") || !py::hasattr(sub, "norm")) return false;
  py::object mha = sub.attr("mha"), norm = sub.attr("norm");
  if (!py::hasattr(mha, "in_proj_weight") || mha.attr("in_proj_weight").is_none() ||
      !py::hasattr(mha, "batch_first") || !mha.attr("batch_first").cast<bool>())
    return false;
  a.norm_weight = optional_tensor(norm, "weight");
  a.norm_bias = optional_tensor(norm, "bias");
  a.norm_shape = norm.attr("normalized_shape").cast<std::vector<int64_t>>();
  a.eps = norm.attr("eps").cast<double>();
  a.in_weight = nn::tensor(mha.attr("in_proj_weight"));
  a.in_bias = optional_tensor(mha, "in_proj_bias");
  a.out_weight = nn::tensor(mha.attr("out_proj").attr("weight"));
  a.out_bias = optional_tensor(mha.attr("out_proj"), "bias");
  a.heads = mha.attr("num_heads").cast<int64_t>();
  return true;
}

struct Layer {
  Attention self_attn, cross_attn;
  bool cross = false;
  py::object ffn;
};

inline bool read_layers(py::handle model, bool cross, std::vector<Layer>& out) {
  for (py::handle layer : model.attr("dec_layers")) {
    Layer l;
    l.cross = cross;
    if (!py::hasattr(layer, "self_attn") || !py::hasattr(layer, "ffn")) return false;
    if (!read_attention(layer.attr("self_attn"), l.self_attn)) return false;
    if (cross && (!py::hasattr(layer, "cross_attn") ||
                  !read_attention(layer.attr("cross_attn"), l.cross_attn)))
      return false;
    l.ffn = layer.attr("ffn");
    out.push_back(std::move(l));
  }
  return true;
}

// Rows of the projection weight (or bias) for query 0, key 1, value 2.
inline at::Tensor part(const at::Tensor& t, int64_t which) {
  if (!t.defined()) return t;
  const int64_t d = t.size(0) / 3;
  return t.narrow(0, which * d, d);
}

// (rows, n, d) -> (rows, heads, n, d / heads) and back.
inline at::Tensor split_heads(const at::Tensor& t, int64_t heads) {
  return t.view({t.size(0), t.size(1), heads, t.size(2) / heads}).transpose(1, 2);
}
inline at::Tensor merge_heads(const at::Tensor& t) {
  return t.transpose(1, 2).reshape({t.size(0), t.size(2), t.size(1) * t.size(3)});
}

// softmax(q k^T / sqrt(d) with `blocked` keys removed) v.
inline at::Tensor attend(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                         const at::Tensor& blocked) {
  const double scale = 1.0 / std::sqrt(static_cast<double>(q.size(-1)));
  at::Tensor scores = at::matmul(q * scale, k.transpose(-2, -1));
  if (blocked.defined())
    scores = scores.masked_fill(blocked, -std::numeric_limits<double>::infinity());
  return at::matmul(at::softmax(scores, -1), v);
}

inline at::Tensor normed(const Attention& a, const at::Tensor& x) {
  return at::layer_norm(x, a.norm_shape, a.norm_weight, a.norm_bias, a.eps);
}

// x + self-attention of the n new positions (from `offset` on) over every
// position so far; k and v gain the new positions.
inline at::Tensor self_block(const Attention& a, const at::Tensor& x, at::Tensor& k, at::Tensor& v,
                             int64_t offset) {
  auto qkv = at::linear(normed(a, x), a.in_weight, a.in_bias).chunk(3, -1);
  at::Tensor q = split_heads(qkv[0], a.heads);
  k = k.defined() ? at::cat({k, split_heads(qkv[1], a.heads)}, 2) : split_heads(qkv[1], a.heads);
  v = v.defined() ? at::cat({v, split_heads(qkv[2], a.heads)}, 2) : split_heads(qkv[2], a.heads);
  at::Tensor blocked;
  const int64_t n = x.size(1);
  if (n > 1) {
    auto opts = at::TensorOptions().dtype(at::kLong).device(x.device());
    blocked =
        at::arange(k.size(2), opts).unsqueeze(0) > (at::arange(n, opts) + offset).unsqueeze(1);
  }
  at::Tensor out = merge_heads(attend(q, k, v, blocked));
  return x + at::linear(out, a.out_weight, a.out_bias);
}

// x + attention of x over the encoder output (its keys and values given).
inline at::Tensor cross_block(const Attention& a, const at::Tensor& x, const at::Tensor& k,
                              const at::Tensor& v, const at::Tensor& blocked) {
  at::Tensor q =
      split_heads(at::linear(normed(a, x), part(a.in_weight, 0), part(a.in_bias, 0)), a.heads);
  at::Tensor out = merge_heads(attend(q, k, v, blocked));
  return x + at::linear(out, a.out_weight, a.out_bias);
}

struct Cache {
  py::object memory;  // the encoder output of the entries, kept so its storage is not reused
  int64_t version = -1;
  int64_t beams = 0;
  at::Tensor prefixes;                       // (rows, length), int64 on the CPU
  std::vector<at::Tensor> k, v;              // per layer (rows, heads, length, d / heads)
  std::vector<at::Tensor> cross_k, cross_v;  // per layer (rows, heads, frames, d / heads)
  at::Tensor blocked;                        // (rows, 1, 1, frames): padded frames, or undefined
  py::object watch;                          // a weak reference that drops the entry with its model
};

// Never destroyed: it holds Python objects, which must not be released after
// the interpreter has gone.
inline std::unordered_map<PyObject*, Cache>& caches() {
  static auto* map = new std::unordered_map<PyObject*, Cache>();
  return *map;
}

inline Cache& cache_of(py::handle model) {
  auto& map = caches();
  PyObject* key = model.ptr();
  auto it = map.find(key);
  if (it != map.end()) return it->second;
  Cache& c = map[key];
  c.watch = py::weakref(model, py::cpp_function([key](py::handle) { caches().erase(key); }));
  return c;
}

// Changes whenever a parameter is written (an optimizer step, load_state_dict).
inline int64_t weights_version(py::handle model) {
  int64_t sum = 0;
  for (py::handle p : model.attr("parameters")()) sum += nn::tensor(p)._version();
  return sum;
}

inline std::string row_key(const int64_t* tokens, int64_t n, int64_t group) {
  std::string key(reinterpret_cast<const char*>(&group), sizeof group);
  key.append(reinterpret_cast<const char*>(tokens), static_cast<size_t>(n) * sizeof(int64_t));
  return key;
}

// For each row of `prefixes` (rows, length - 1), the row of the cached call
// with the same tokens, undefined if one has none. With `beams` above 0 a row
// looks only among the rows of its own utterance (row // beams), whose
// encoder output it shares; with 0 (a language model) among all.
inline at::Tensor parents(const at::Tensor& prefixes, const Cache& c, int64_t beams) {
  const at::Tensor now = prefixes.to(at::kCPU, at::kLong).contiguous();
  const int64_t rows = now.size(0), before = c.prefixes.size(0), n = now.size(1);
  if (beams > 0 && rows != before) return at::Tensor();
  auto group = [beams](int64_t r) { return beams > 0 ? r / beams : 0; };
  std::unordered_map<std::string, int64_t> index;
  const int64_t* old = c.prefixes.data_ptr<int64_t>();
  for (int64_t r = 0; r < before; ++r) index.emplace(row_key(old + r * n, n, group(r)), r);
  std::vector<int64_t> out(static_cast<size_t>(rows));
  const int64_t* p = now.data_ptr<int64_t>();
  for (int64_t r = 0; r < rows; ++r) {
    auto it = index.find(row_key(p + r * n, n, group(r)));
    if (it == index.end()) return at::Tensor();
    out[static_cast<size_t>(r)] = it->second;
  }
  return at::tensor(out, at::TensorOptions().dtype(at::kLong)).to(prefixes.device());
}

// The cross-attention keys and values of every layer, one row per search row.
inline void encode_memory(Cache& c, const std::vector<Layer>& layers, const at::Tensor& memory,
                          const at::Tensor& pad, int64_t beams) {
  c.cross_k.clear();
  c.cross_v.clear();
  for (const Layer& l : layers) {
    const Attention& a = l.cross_attn;
    at::Tensor k = at::linear(memory, part(a.in_weight, 1), part(a.in_bias, 1));
    at::Tensor v = at::linear(memory, part(a.in_weight, 2), part(a.in_bias, 2));
    c.cross_k.push_back(split_heads(k, a.heads).repeat_interleave(beams, 0));
    c.cross_v.push_back(split_heads(v, a.heads).repeat_interleave(beams, 0));
  }
  c.blocked = pad.defined()
                  ? pad.to(at::kBool).repeat_interleave(beams, 0).unsqueeze(1).unsqueeze(1)
                  : at::Tensor();
}

// The decoder's state after the new positions `x` (rows, n, d) from `offset`.
inline at::Tensor run_layers(Cache& c, const std::vector<Layer>& layers, at::Tensor x,
                             int64_t offset) {
  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& l = layers[i];
    x = self_block(l.self_attn, x, c.k[i], c.v[i], offset);
    if (l.cross) x = cross_block(l.cross_attn, x, c.cross_k[i], c.cross_v[i], c.blocked);
    x = nn::tensor(l.ffn(nn::object(x)));
  }
  return x;
}

// What a model needs to give: its embedded tokens with positions from an offset,
// and its output projection.
struct Model {
  py::handle self;
  std::function<at::Tensor(const at::Tensor&, int64_t)> embed;
  std::function<at::Tensor(const at::Tensor&)> project;
};

// Next-token logits (rows, vocabulary) after the prefixes `x` (rows, length), or
// an undefined tensor where this path does not apply (autograd on, training
// mode, unknown layers): the caller then runs the full pass. `memory` is the
// encoder output (utterances, frames, d) with `beams` rows per utterance, or
// None with `beams` 0 for a language model.
inline at::Tensor next_logits(const Model& m, const at::Tensor& x, py::handle memory,
                              const at::Tensor& pad, int64_t beams) {
  if (at::GradMode::is_enabled() || m.self.attr("training").cast<bool>()) return at::Tensor();
  const bool cross = !memory.is_none();
  std::vector<Layer> layers;
  if (!read_layers(m.self, cross, layers) || layers.empty()) return at::Tensor();
  Cache& c = cache_of(m.self);
  const int64_t length = x.size(1), version = weights_version(m.self);
  const bool same_source = c.prefixes.defined() && c.memory.is(memory) && c.version == version &&
                           c.beams == beams && c.k.size() == layers.size() &&
                           c.prefixes.size(1) == length - 1;
  at::Tensor from = same_source ? parents(x.narrow(1, 0, length - 1), c, beams) : at::Tensor();
  int64_t offset = 0;
  if (from.defined()) {
    for (size_t i = 0; i < layers.size(); ++i) {
      c.k[i] = c.k[i].index_select(0, from);
      c.v[i] = c.v[i].index_select(0, from);
    }
    offset = length - 1;
  } else {
    c.k.assign(layers.size(), at::Tensor());
    c.v.assign(layers.size(), at::Tensor());
    if (cross) encode_memory(c, layers, nn::tensor(memory), pad, std::max<int64_t>(beams, 1));
  }
  c.memory = py::reinterpret_borrow<py::object>(memory);
  c.version = version;
  c.beams = beams;
  c.prefixes = x.to(at::kCPU, at::kLong, /*non_blocking=*/false, /*copy=*/true).contiguous();
  at::Tensor h =
      run_layers(c, layers, m.embed(x.narrow(1, offset, length - offset), offset), offset);
  return m.project(h.narrow(1, h.size(1) - 1, 1)).select(1, 0);
}

}  // namespace common::prefix_cache

namespace prefix_cache = common::prefix_cache;
