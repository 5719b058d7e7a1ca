// Sequence generator: greedy search, beam search and filtered sampling over any
// scoring function, and trimming of finished sequences after the end token.
//
// A search calls `self.score_fn` once per step (looked up anew each time, so a
// caller may replace it between steps or calls); everything else of a step
// runs here, on whole tensors of the prompts' device. On the CPU the small
// per-row work (argmax, score and end bookkeeping, repetition penalty) runs in
// fused loops that produce the very values of the tensor operations they
// stand for; other devices, and inputs those loops do not cover, go through
// the tensor operations themselves. The module switch `_cpu_kernels` turns
// the loops off, so tests can run the tensor path on the CPU too.
#include <ATen/NumericUtils.h>
#include <torch/extension.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/nnmodule.h"
#include "binding/pyutil.h"
#include "domain/rawtensor.h"

namespace py = pybind11;
using at::Tensor;
using common::arg;
using common::index_of;
using common::Param;
using common::nn::is_tensor;

namespace {

constexpr const char* kModule = "corvantis.decoding.quillane";
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr common::Globals global{kModule};

// ---- tensors and attributes across the boundary ----------------------------

Tensor unpack(py::handle o) { return THPVariable_Unpack(o.ptr()); }

py::object wrap(Tensor t) {
  PyObject* o = THPVariable_Wrap(std::move(t));
  if (!o) common::rethrow();
  return py::reinterpret_steal<py::object>(o);
}

// What a callback returned, which must be a tensor.
Tensor tensor_result(const py::object& out, const char* what) {
  if (!is_tensor(out))
    common::raise(PyExc_TypeError,
                  std::string(what) + " must return a torch tensor, got " + common::type_name(out));
  return unpack(out);
}

// self.score_fn(prefixes), looked up on the instance at every step.
Tensor score(py::handle self, const py::object& prefixes) {
  return tensor_result(self.attr("score_fn")(prefixes), "score_fn");
}

// An int argument converted as the binding layer converts it, saturated to
// the int64 range (only its comparison with sizes matters beyond that).
int64_t to_count(py::handle v, const char* name) {
  py::int_ i = common::to_int(v, name);
  int overflow = 0;
  const long long out = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (overflow > 0) return std::numeric_limits<int64_t>::max();
  if (overflow < 0) return std::numeric_limits<int64_t>::min();
  return out;
}

// getattr(tokenizer, "pad_id", 0)
py::object pad_of(py::handle tokenizer) {
  PyObject* v = PyObject_GetAttrString(tokenizer.ptr(), "pad_id");
  if (v) return py::reinterpret_steal<py::object>(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) common::rethrow();
  PyErr_Clear();
  return py::int_(0);
}

// A token id read from the tokenizer. Plain ints are compared and written
// natively; anything else goes through the tensor's own Python operators.
struct TokenId {
  py::object value;
  bool native = false;
  int64_t id = 0;
};

TokenId token_id(py::object value) {
  TokenId t{std::move(value)};
  if (PyLong_CheckExact(t.value.ptr())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(t.value.ptr(), &overflow);
    t.native = overflow == 0;
    t.id = v;
  }
  return t;
}

// ids == token, as a bool tensor of the ids' shape.
Tensor equals(const Tensor& ids, const TokenId& token) {
  if (token.native) return ids.eq(token.id);
  PyObject* r = PyObject_RichCompare(wrap(ids).ptr(), token.value.ptr(), Py_EQ);
  if (!r) common::rethrow();
  py::object out = py::reinterpret_steal<py::object>(r);
  if (!is_tensor(out)) {
    const int truth = PyObject_IsTrue(r);
    if (truth < 0) common::rethrow();
    return at::full(ids.sizes(), truth == 1, ids.options().dtype(at::kBool));
  }
  Tensor eq = unpack(out);
  if (eq.sizes() != ids.sizes())
    common::raise(PyExc_ValueError, "eos_id must compare with token ids element by element, got " +
                                        std::string(py::str(py::repr(token.value))));
  return eq;
}

// torch.tensor(pad, device=like.device)
Tensor pad_scalar(const TokenId& pad, const Tensor& like) {
  if (pad.native) return at::scalar_tensor(pad.id, like.options().dtype(at::kLong));
  py::object torch = py::module_::import("torch");
  return unpack(torch.attr("tensor")(pad.value, py::arg("device") = wrap(like).attr("device")));
}

// target[...] = pad, for a slice of an id tensor.
void fill_pad(const Tensor& target, const TokenId& pad) {
  if (pad.native) {
    target.fill_(pad.id);
    return;
  }
  wrap(target).attr("__setitem__")(py::ellipsis(), pad.value);
}

bool cpu_kernels_enabled() {
  const int on = PyObject_IsTrue(global("_cpu_kernels").ptr());
  if (on < 0) common::rethrow();
  return on == 1;
}

// ---- reduced precision on the CPU -------------------------------------------

// PyTorch 1.13 has no float16 CPU kernels for these operations; they run in
// float32 and round back, as float16 kernels elsewhere compute internally.
bool cpu_half(const Tensor& t) { return t.is_cpu() && t.scalar_type() == at::kHalf; }

Tensor log_softmax_last(const Tensor& t) {
  if (cpu_half(t)) return at::log_softmax(t.to(at::kFloat), -1).to(at::kHalf);
  return at::log_softmax(t, -1);
}

Tensor exp_of(const Tensor& t) {
  return cpu_half(t) ? t.to(at::kFloat).exp().to(at::kHalf) : t.exp();
}

Tensor cumsum_last(const Tensor& t) {
  return cpu_half(t) ? t.to(at::kFloat).cumsum(-1).to(at::kHalf) : t.cumsum(-1);
}

Tensor topk_values(const Tensor& t, int64_t k) {
  if (cpu_half(t)) return std::get<0>(at::topk(t.to(at::kFloat), k)).to(at::kHalf);
  return std::get<0>(at::topk(t, k));
}

Tensor draw(const Tensor& probs) {
  return at::multinomial(cpu_half(probs) ? probs.to(at::kFloat) : probs, 1);
}

// logits / temperature; dividing floats by 1.0 changes no value, so that
// division is skipped (the result is only read afterwards).
Tensor divide(const Tensor& logits, double temperature) {
  if (temperature == 1.0 && logits.is_floating_point()) return logits;
  return logits / temperature;
}

// ---- input checks -----------------------------------------------------------

Tensor prompt_of(py::handle x) {
  if (!is_tensor(x)) common::raise(PyExc_TypeError, "Input x must be a torch tensor");
  Tensor t = unpack(x);
  if (t.dim() != 2)
    common::raise(PyExc_ValueError, "Input x must be 2-dimensional (batch_size, seq_len)");
  return t;
}

// self.max_length checked against the prompt, then the number of steps left.
int64_t steps_left(py::handle self, const Tensor& x) {
  py::object limit = self.attr("max_length");
  py::int_ length(x.size(1));
  const int shorter = PyObject_RichCompareBool(limit.ptr(), length.ptr(), Py_LT);
  if (shorter < 0) common::rethrow();
  if (shorter) common::raise(PyExc_ValueError, "max_length must be >= input sequence length");
  return index_of(limit) - x.size(1);
}

void check_signals() {
  if (PyErr_CheckSignals() != 0) common::rethrow();
}

// ---- repetition penalty -----------------------------------------------------

// Every (row, id) of `ids` names logits[row, id]; a row is one leading index
// of 2-D logits or one (batch, beam) pair of 3-D logits.
struct PenaltyRows {
  Tensor logits;  // the penalised part, (rows, V) or (B, W, V)
  Tensor ids;     // (rows, t) or (B, W, t), int64
  int64_t count = 0;
};

// The shapes handled on whole tensors: int64 ids whose leading dimensions fit
// inside floating logits of 2 or 3 dimensions. Anything else takes the
// row-by-row route, which raises what indexing raises.
bool whole_tensor_shapes(const Tensor& logits, const Tensor& ids, PenaltyRows* rows) {
  if (!logits.is_floating_point() || ids.scalar_type() != at::kLong) return false;
  if (logits.device() != ids.device()) return false;
  const int64_t d = logits.dim();
  if ((d != 2 && d != 3) || ids.dim() != d) return false;
  Tensor part = logits;
  for (int64_t i = 0; i + 1 < d; ++i) {
    if (ids.size(i) > logits.size(i)) return false;
    part = part.narrow(i, 0, ids.size(i));
  }
  rows->logits = part;
  rows->ids = ids;
  rows->count = d == 2 ? ids.size(0) : ids.size(0) * ids.size(1);
  return true;
}

// The row-by-row route, as indexing does it: the distinct ids of each row
// select its logits, which are read, divided and written back.
Tensor distinct(const Tensor& row_ids) {
  return std::get<0>(at::_unique2(row_ids, true, false, false));
}

Tensor penalized(const Tensor& picked, double penalty) {
  Tensor positive = picked > 0;
  Tensor up = at::full_like(picked, penalty);
  if (penalty == 0.0) common::raise(PyExc_ZeroDivisionError, "float division");
  return picked / at::where(positive, up, at::full_like(picked, 1.0 / penalty));
}

void penalize_rows(Tensor logits, const Tensor& ids, double penalty) {
  if (logits.dim() == 2) {
    for (int64_t r = 0; r < ids.size(0); ++r) {
      const Tensor u = distinct(ids.index({r}));
      logits.index_put_({r, u}, penalized(logits.index({r, u}), penalty));
    }
    return;
  }
  for (int64_t b = 0; b < ids.size(0); ++b)
    for (int64_t w = 0; w < ids.size(1); ++w) {
      const Tensor u = distinct(ids.index({b, w}));
      logits.index_put_({b, w, u}, penalized(logits.index({b, w, u}), penalty));
    }
}

// Ids index the vocabulary as Python indexing does: -V .. V-1.
bool ids_in_range(const Tensor& ids, int64_t vocab) {
  if (ids.numel() == 0) return true;
  if (common::raw::readable(ids, at::kLong)) {
    const Tensor c = ids.contiguous();
    const int64_t* p = c.data_ptr<int64_t>();
    return std::all_of(p, p + c.numel(), [vocab](int64_t v) { return v >= -vocab && v < vocab; });
  }
  auto [lo, hi] = at::aminmax(ids);
  return lo.item<int64_t>() >= -vocab && hi.item<int64_t>() < vocab;
}

// Whole-tensor form: a presence mask from the ids, then the division where
// it is set.
void penalize_tensors(const PenaltyRows& rows, double penalty) {
  const Tensor& lg = rows.logits;
  const int64_t vocab = lg.size(-1);
  Tensor ids = at::remainder(rows.ids, vocab);  // Python's wrap of -V .. -1
  Tensor present = at::zeros(lg.sizes(), lg.options().dtype(at::kBool)).scatter_(-1, ids, true);
  Tensor up = at::scalar_tensor(penalty, lg.options());
  Tensor down = at::scalar_tensor(1.0 / penalty, lg.options());
  Tensor divided = lg / at::where(lg > 0, up, down);
  lg.copy_(at::where(present, divided, lg));
}

// CPU form: each distinct id of a row is divided once, in place.
template <class T>
void penalize_cpu(const PenaltyRows& rows, double penalty) {
  const Tensor& lg = rows.logits;
  const bool beams = lg.dim() == 3;
  const int64_t outer = rows.ids.size(0), inner = beams ? rows.ids.size(1) : 1;
  const int64_t vocab = lg.size(-1), t = rows.ids.size(-1);
  const int64_t ls0 = lg.stride(0), ls1 = beams ? lg.stride(1) : 0, lsv = lg.stride(-1);
  const int64_t is0 = rows.ids.stride(0), is1 = beams ? rows.ids.stride(1) : 0;
  const int64_t ist = rows.ids.stride(-1);
  T* base = lg.data_ptr<T>();
  const int64_t* ids = rows.ids.data_ptr<int64_t>();
  const T up = static_cast<T>(penalty), down = static_cast<T>(1.0 / penalty);
  py::gil_scoped_release nogil;
  std::vector<int64_t> seen(static_cast<size_t>(vocab), -1);
  int64_t row = 0;
  for (int64_t i = 0; i < outer; ++i)
    for (int64_t j = 0; j < inner; ++j, ++row) {
      T* x = base + i * ls0 + j * ls1;
      const int64_t* id = ids + i * is0 + j * is1;
      for (int64_t k = 0; k < t; ++k) {
        int64_t v = id[k * ist];
        if (v < 0) v += vocab;
        if (seen[v] == row) continue;
        seen[v] = row;
        T& cell = x[v * lsv];
        cell = cell / (cell > 0 ? up : down);
      }
    }
}

// Writes through raw pointers are safe only where autograd and inference
// mode would allow the in-place update anyway.
bool raw_writable(const Tensor& t) {
  if (t.requires_grad()) return false;
  if (t.is_inference() && !c10::InferenceMode::is_enabled()) return false;
  return true;
}

// Logits whose elements are not all distinct memory (expanded ones) take the
// tensor path, which refuses to write them as PyTorch's in-place operations do.
bool penalize_on_cpu(const PenaltyRows& rows, double penalty) {
  const Tensor& lg = rows.logits;
  if (!common::raw::writable(lg, lg.scalar_type()) || !raw_writable(lg) ||
      !common::raw::readable(rows.ids, at::kLong))
    return false;
  lg.unsafeGetTensorImpl()->bump_version();
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, lg.scalar_type(), "repeat_penalty",
                                  [&] { penalize_cpu<scalar_t>(rows, penalty); });
  return true;
}

// Divides the logits of ids present in each row's sequence by `penalty` when
// positive and multiplies them by it otherwise, in place; returns `logits`.
Tensor repeat_penalty(const Tensor& logits, const Tensor& ids, double penalty, bool kernels) {
  if (penalty == 1.0) return logits;
  PenaltyRows rows;
  if (!whole_tensor_shapes(logits, ids, &rows) || !ids_in_range(ids, logits.size(-1))) {
    penalize_rows(logits, ids, penalty);
    return logits;
  }
  if (rows.count == 0) return logits;
  if (penalty == 0.0) common::raise(PyExc_ZeroDivisionError, "float division");
  if (!(kernels && penalize_on_cpu(rows, penalty))) penalize_tensors(rows, penalty);
  return logits;
}

// ---- temperature, top-k and nucleus filtering -------------------------------

void drop_below_kth(Tensor& logits, int64_t top_k) {
  const int64_t k = std::min(top_k, logits.size(-1));
  Tensor kth = topk_values(logits, k).slice(-1, -1);
  logits.masked_fill_(logits < kth, -kInf);
}

// Removes the tokens after the one whose cumulative probability crosses top_p.
void drop_outside_nucleus(Tensor& logits, double top_p) {
  auto [sorted, order] = at::sort(log_softmax_last(logits), -1, /*descending=*/true);
  Tensor remove = cumsum_last(exp_of(sorted)) > top_p;
  remove.slice(-1, 1).copy_(remove.slice(-1, 0, -1).clone());
  remove.select(-1, 0).fill_(false);
  logits.masked_fill_(remove.scatter(-1, order, remove), -kInf);
}

Tensor filter_logits(const Tensor& logits, double temperature, int64_t top_k, double top_p) {
  Tensor out = logits / temperature;
  if (top_k > 0) drop_below_kth(out, top_k);
  if (top_p < 1.0) drop_outside_nucleus(out, top_p);
  return out;
}

// ---- the shaping steps as the searches call them ---------------------------

// `self.<name>` resolved once per search: the class's own method runs
// natively, an override (a subclass's, or one set on the instance) through
// Python.
py::object override_of(py::handle self, const char* name) {
  py::object bound = self.attr(name);
  py::object own = global("SequenceGenerator").attr("__dict__")[name];
  if (PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == own.ptr() &&
      PyMethod_GET_SELF(bound.ptr()) == self.ptr())
    return py::object();
  return bound;
}

class PenaltyStep {
 public:
  PenaltyStep(py::handle self, double penalty, bool kernels)
      : custom_(override_of(self, "_apply_repeat_penalty")), penalty_(penalty), kernels_(kernels) {}

  Tensor operator()(const Tensor& logits, const Tensor& ids) const {
    if (!custom_) return repeat_penalty(logits, ids, penalty_, kernels_);
    return tensor_result(custom_(wrap(logits), wrap(ids), penalty_), "_apply_repeat_penalty");
  }

 private:
  py::object custom_;
  double penalty_;
  bool kernels_;
};

class FilterStep {
 public:
  FilterStep(py::handle self, double temperature, int64_t top_k, double top_p)
      : custom_(override_of(self, "_filter_logits")),
        temperature_(temperature),
        top_k_(top_k),
        top_p_(top_p) {}

  Tensor operator()(const Tensor& logits) const {
    if (!custom_) return filter_logits(logits, temperature_, top_k_, top_p_);
    return tensor_result(custom_(wrap(logits), temperature_, top_k_, top_p_), "_filter_logits");
  }

 private:
  py::object custom_;
  double temperature_;
  int64_t top_k_;
  double top_p_;
};

// ---- greedy search and sampling: one token per row and step ----------------

// Per-row state of greedy search and sampling: scores and end flags, with
// the prefixes that grow by one column per step.
struct RowSearch {
  py::object x_obj;  // the caller's prompt until the first step
  Tensor x;
  Tensor scores;
  Tensor finished;
  TokenId pad;
  Tensor pad_value;  // torch.tensor(pad) on the prompts' device, made when first needed
  bool kernels = true;

  RowSearch(py::handle x_in, const Tensor& prompt, py::handle tokenizer, bool use_kernels)
      : x_obj(py::reinterpret_borrow<py::object>(x_in)), x(prompt) {
    const int64_t batch = x.size(0);
    scores = at::zeros({batch}, at::TensorOptions().device(x.device()));
    finished = at::zeros({batch}, x.options().dtype(at::kBool));
    pad = token_id(pad_of(tokenizer));
    kernels = use_kernels;
  }

  bool all_finished() const {
    if (finished.is_cpu() && finished.is_contiguous()) {
      const bool* f = finished.data_ptr<bool>();
      return std::all_of(f, f + finished.numel(), [](bool v) { return v; });
    }
    return finished.all().item<bool>();
  }

  // The fused loops apply to CPU log-probabilities without autograd and to
  // the usual dtypes: float32 scores, int64 prefixes, plain int ids.
  bool fused(const Tensor& log_probs, const TokenId& eos) const {
    const auto lp = log_probs.scalar_type();
    const int64_t batch = x.size(0);
    return kernels && common::raw::readable(log_probs, lp) && log_probs.dim() == 2 &&
           log_probs.size(0) == batch && log_probs.size(1) > 0 && scores.numel() == batch &&
           finished.numel() == batch &&
           (lp == at::kFloat || lp == at::kHalf || lp == at::kBFloat16) &&
           !log_probs.requires_grad() && !scores.requires_grad() &&
           scores.scalar_type() == at::kFloat && common::raw::readable(x, at::kLong) &&
           eos.native && pad.native;
  }

  // Scores grow for rows unfinished before this step; rows that end now, and
  // every later step of them, receive the pad filler.
  void advance(const Tensor& token_scores, const Tensor& tokens, const TokenId& eos) {
    scores = at::where(finished, scores, scores + token_scores);
    finished = finished | equals(tokens, eos);
    if (!pad_value.defined()) pad_value = pad_scalar(pad, x);
    append(at::where(finished, pad_value, tokens));
  }

  // The same for fused loops: `pick(row)` gives the row's (token, log-prob);
  // the prefixes are copied into one more column directly.
  template <class Pick>
  void advance_fused(const TokenId& eos, Pick pick) {
    const int64_t batch = x.size(0), t = x.size(1);
    const Tensor prev = x.contiguous();
    Tensor next = at::empty({batch, t + 1}, x.options());
    {
      const int64_t* from = prev.data_ptr<int64_t>();
      int64_t* to = next.data_ptr<int64_t>();
      float* s = scores.data_ptr<float>();
      bool* f = finished.data_ptr<bool>();
      py::gil_scoped_release nogil;
      for (int64_t r = 0; r < batch; ++r) {
        std::copy(from + r * t, from + (r + 1) * t, to + r * (t + 1));
        int64_t& column = to[r * (t + 1) + t];
        column = pad.id;
        if (f[r]) continue;  // its token and score are not used
        const auto [token, logp] = pick(r);
        s[r] = s[r] + logp;
        f[r] = token == eos.id;
        if (!f[r]) column = token;
      }
    }
    rebind(next);
  }

  void append(const Tensor& column) { rebind(at::cat({x, column.unsqueeze(1)}, 1)); }

  void rebind(Tensor prefixes) {
    x = std::move(prefixes);
    x_obj = wrap(x);
  }

  py::object result() const { return py::make_tuple(x_obj, wrap(scores)); }
};

// torch.max(row) on the CPU: the first maximum, or the first NaN.
template <class T>
std::pair<int64_t, float> row_max(const T* row, int64_t n, int64_t stride) {
  T best = row[0];
  int64_t at = 0;
  for (int64_t i = 0; i < n; ++i) {
    const T v = row[i * stride];
    if (!(v <= best)) {
      best = v;
      at = i;
      if (at::_isnan(v)) break;
    }
  }
  return {at, static_cast<float>(best)};
}

#if defined(__SSE2__)
// The same for a contiguous float row, four lanes at a time: the maximum,
// then its first position (equal values, signed zeros included, count as
// ties). Rows holding a NaN take the scalar loop.
std::pair<int64_t, float> row_max(const float* row, int64_t n) {
  __m128 top0 = _mm_set1_ps(-std::numeric_limits<float>::infinity()), top1 = top0;
  __m128 nan = _mm_setzero_ps();
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 a = _mm_loadu_ps(row + i), b = _mm_loadu_ps(row + i + 4);
    top0 = _mm_max_ps(top0, a);
    top1 = _mm_max_ps(top1, b);
    nan = _mm_or_ps(nan, _mm_or_ps(_mm_cmpunord_ps(a, a), _mm_cmpunord_ps(b, b)));
  }
  float lanes[4];
  _mm_storeu_ps(lanes, _mm_max_ps(top0, top1));
  float best = std::max({lanes[0], lanes[1], lanes[2], lanes[3]});
  bool any_nan = _mm_movemask_ps(nan) != 0;
  for (; i < n; ++i) {
    any_nan = any_nan || std::isnan(row[i]);
    best = row[i] > best ? row[i] : best;
  }
  if (any_nan) return row_max(row, n, 1);
  const __m128 target = _mm_set1_ps(best);
  int64_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const int hit = _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(row + j), target));
    if (hit) {
      j += __builtin_ctz(static_cast<unsigned>(hit));
      return {j, row[j]};
    }
  }
  while (row[j] != best) ++j;
  return {j, row[j]};
}

// The same eight lanes at a time, where the processor has AVX2: at a
// vocabulary of 1000 the argmax is most of a step's own work.
__attribute__((target("avx2"))) std::pair<int64_t, float> row_max_avx2(const float* row,
                                                                       int64_t n) {
  __m256 top0 = _mm256_set1_ps(-std::numeric_limits<float>::infinity()), top1 = top0;
  __m256 nan = _mm256_setzero_ps();
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256 a = _mm256_loadu_ps(row + i), b = _mm256_loadu_ps(row + i + 8);
    top0 = _mm256_max_ps(top0, a);
    top1 = _mm256_max_ps(top1, b);
    nan = _mm256_or_ps(nan, _mm256_cmp_ps(a, b, _CMP_UNORD_Q));  // a NaN in either
  }
  const __m256 top = _mm256_max_ps(top0, top1);
  float lanes[4];
  _mm_storeu_ps(lanes, _mm_max_ps(_mm256_castps256_ps128(top), _mm256_extractf128_ps(top, 1)));
  float best = std::max({lanes[0], lanes[1], lanes[2], lanes[3]});
  bool any_nan = _mm256_movemask_ps(nan) != 0;
  for (; i < n; ++i) {
    any_nan = any_nan || std::isnan(row[i]);
    best = row[i] > best ? row[i] : best;
  }
  if (any_nan) return row_max(row, n, 1);
  const __m256 target = _mm256_set1_ps(best);
  int64_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const int hit = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(row + j), target, _CMP_EQ_OQ));
    if (hit) {
      j += __builtin_ctz(static_cast<unsigned>(hit));
      return {j, row[j]};
    }
  }
  while (row[j] != best) ++j;
  return {j, row[j]};
}

bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}
#endif

template <class T>
void greedy_fused(RowSearch& s, const Tensor& log_probs, const TokenId& eos) {
  const T* lp = log_probs.data_ptr<T>();
  const int64_t s0 = log_probs.stride(0), s1 = log_probs.stride(1), n = log_probs.size(1);
#if defined(__SSE2__)
  if constexpr (std::is_same_v<T, float>) {
    if (s1 == 1 && has_avx2())
      return s.advance_fused(eos, [=](int64_t r) { return row_max_avx2(lp + r * s0, n); });
    if (s1 == 1) return s.advance_fused(eos, [=](int64_t r) { return row_max(lp + r * s0, n); });
  }
#endif
  s.advance_fused(eos, [=](int64_t r) { return row_max(lp + r * s0, n, s1); });
}

template <class T>
void sample_fused(RowSearch& s, const Tensor& log_probs, const Tensor& drawn, const TokenId& eos) {
  const T* lp = log_probs.data_ptr<T>();
  const int64_t* tok = drawn.data_ptr<int64_t>();
  const int64_t s0 = log_probs.stride(0), s1 = log_probs.stride(1), ds = drawn.stride(0);
  s.advance_fused(eos, [=](int64_t r) {
    const int64_t token = tok[r * ds];
    return std::pair<int64_t, float>(token, static_cast<float>(lp[r * s0 + token * s1]));
  });
}

#define QUILLANE_DISPATCH(dtype, ...) \
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, dtype, "quillane", __VA_ARGS__)

void greedy_step(RowSearch& s, const Tensor& log_probs, const TokenId& eos) {
  if (s.fused(log_probs, eos)) {
    QUILLANE_DISPATCH(log_probs.scalar_type(), [&] { greedy_fused<scalar_t>(s, log_probs, eos); });
    return;
  }
  auto [token_scores, tokens] = at::max(log_probs, -1);
  s.advance(token_scores, tokens, eos);
}

void sample_step(RowSearch& s, const Tensor& log_probs, const Tensor& drawn, const TokenId& eos) {
  if (s.fused(log_probs, eos) && common::raw::readable(drawn, at::kLong)) {
    QUILLANE_DISPATCH(log_probs.scalar_type(),
                      [&] { sample_fused<scalar_t>(s, log_probs, drawn, eos); });
    return;
  }
  Tensor tokens = drawn.squeeze(-1);
  s.advance(log_probs.gather(1, tokens.unsqueeze(1)).squeeze(1), tokens, eos);
}

std::vector<Param> generate_greedy_params() {
  return {arg("self"), arg("x").annotated("torch.Tensor"),
          arg("temperature", py::float_(1.0)).annotated("float"),
          arg("repeat_penalty", py::float_(1.0)).annotated("float"),
          common::returns("Tuple[torch.Tensor, torch.Tensor]")};
}
py::object generate_greedy(py::object self, py::handle x, double temperature, double penalty) {
  const Tensor prompt = prompt_of(x);
  const int64_t steps = steps_left(self, prompt);
  const bool kernels = cpu_kernels_enabled();
  RowSearch s(x, prompt, self.attr("tokenizer"), kernels);
  const PenaltyStep penalize(self, penalty, kernels);
  for (int64_t step = 0; step < steps; ++step) {
    if (s.all_finished()) break;
    Tensor logits = penalize(score(self, s.x_obj), s.x);
    Tensor log_probs = log_softmax_last(divide(logits, temperature));
    greedy_step(s, log_probs, token_id(self.attr("tokenizer").attr("eos_id")));
    check_signals();
  }
  return s.result();
}

std::vector<Param> generate_sample_params() {
  return {arg("self"),
          arg("x").annotated("torch.Tensor"),
          arg("temperature", py::float_(1.0)).annotated("float"),
          arg("top_k", py::int_(0)).annotated("int"),
          arg("top_p", py::float_(1.0)).annotated("float"),
          common::returns("Tuple[torch.Tensor, torch.Tensor]")};
}
py::object generate_sample(py::object self, py::handle x, double temperature, py::handle top_k_arg,
                           py::handle top_p_arg) {
  const int64_t top_k = to_count(top_k_arg, "top_k");
  const double top_p = common::to_float(top_p_arg);
  const Tensor prompt = prompt_of(x);
  const int64_t steps = steps_left(self, prompt);
  if (temperature <= 0) common::raise(PyExc_ValueError, "temperature must be > 0");
  if (top_k < 0) common::raise(PyExc_ValueError, "top_k must be >= 0");
  if (!(0 < top_p && top_p <= 1.0)) common::raise(PyExc_ValueError, "top_p must be > 0 and <= 1.0");
  RowSearch s(x, prompt, self.attr("tokenizer"), cpu_kernels_enabled());
  const FilterStep filter(self, temperature, top_k, top_p);
  for (int64_t step = 0; step < steps; ++step) {
    if (s.all_finished()) break;
    Tensor log_probs = log_softmax_last(filter(score(self, s.x_obj)));
    Tensor drawn = draw(exp_of(log_probs));
    sample_step(s, log_probs, drawn, token_id(self.attr("tokenizer").attr("eos_id")));
    check_signals();
  }
  return s.result();
}

// ---- beam search -------------------------------------------------------------

struct Hypothesis {
  Tensor tokens;  // prompt, generated tokens (and the end token when finished)
  double score;
  Tensor graph_score;  // the score as a 0-d tensor, kept when it carries a gradient
};

using Hypotheses = std::vector<Hypothesis>;

// Best first; equal scores keep their order.
void sort_best_first(Hypotheses& h) {
  std::stable_sort(h.begin(), h.end(),
                   [](const Hypothesis& l, const Hypothesis& r) { return l.score > r.score; });
}

// torch.max(row) > -inf: some beam is live (a NaN maximum counts as none).
bool any_live(const double* row, int64_t n) {
  bool live = false;
  for (int64_t w = 0; w < n; ++w) {
    if (std::isnan(row[w])) return false;
    live = live || row[w] > -kInf;
  }
  return live;
}

class BeamSearch {
 public:
  BeamSearch(py::handle self, const Tensor& x, int64_t width, double temperature, double penalty)
      : self_(self),
        x_(x),
        batch_(x.size(0)),
        width_(width),
        temperature_(temperature),
        kernels_(cpu_kernels_enabled()),
        penalize_(self, penalty, kernels_) {
    py::object tokenizer = self.attr("tokenizer");
    vocab_obj_ = tokenizer.attr("num_classes");
    py::object eos = tokenizer.attr("eos_id");
    eos_ = token_id(eos);
    pad_ = token_id(pad_of(self.attr("tokenizer")));
    sequences_ = x.unsqueeze(1).repeat({1, width, 1});
    scores_ = at::full({batch_, width}, -kInf, at::TensorOptions().device(x.device()));
    scores_.select(1, 0).fill_(0.0);
    host_scores_ = scores_.to(at::kCPU, at::kDouble).contiguous();
    finished_.resize(static_cast<size_t>(batch_));
  }

  void run(int64_t steps) {
    if (steps > 0) vocab_ = index_of(vocab_obj_);
    for (int64_t step = 0; step < steps; ++step) {
      extend(next_log_probs());
      check_signals();
      if (all_done()) break;
    }
  }

  py::object result() {
    const int64_t length = index_of(self_.attr("max_length"));
    Tensor seqs = at::zeros({batch_, width_, length}, x_.options());
    std::vector<double> best(static_cast<size_t>(batch_ * width_), -kInf);
    for (int64_t b = 0; b < batch_; ++b) {
      const Hypotheses chosen = final_selection(b);
      for (size_t w = 0; w < chosen.size(); ++w) {
        Tensor row = seqs[b][static_cast<int64_t>(w)];
        const int64_t n = chosen[w].tokens.size(0);
        row.slice(0, 0, n).copy_(chosen[w].tokens);
        if (n < length) fill_pad(row.slice(0, n), pad_);
        best[static_cast<size_t>(b * width_) + w] = chosen[w].score;
      }
    }
    Tensor scores = differentiable_ ? graph_scores()
                                    : at::tensor(best, at::TensorOptions().dtype(at::kDouble))
                                          .view({batch_, width_})
                                          .to(x_.device(), at::kFloat);
    return py::make_tuple(wrap(seqs), wrap(scores));
  }

 private:
  Tensor next_log_probs() {
    Tensor flat = sequences_.reshape({batch_ * width_, sequences_.size(-1)});
    Tensor logits = score(self_, wrap(flat)).view({batch_, width_, vocab_});
    logits = penalize_(logits, sequences_);
    return log_softmax_last(divide(logits, temperature_));
  }

  // scores[b, w] = score for every chosen hypothesis, as indexed assignment
  // into a tensor of -inf does: the scores then carry the gradient of the
  // logits, as those of greedy search and sampling do.
  Tensor graph_scores() const {
    Tensor scores = at::full({batch_, width_}, -kInf, at::TensorOptions().device(x_.device()));
    for (int64_t b = 0; b < batch_; ++b) {
      const Hypotheses chosen = final_selection(b);
      for (size_t w = 0; w < chosen.size(); ++w) {
        Tensor cell = scores[b][static_cast<int64_t>(w)];
        if (chosen[w].graph_score.defined())
          cell.copy_(chosen[w].graph_score);
        else
          cell.fill_(chosen[w].score);
      }
    }
    return scores;
  }

  // The best `width` extensions over all beams of each batch item; those that
  // end become finished hypotheses and leave their beam dead.
  void extend(const Tensor& log_probs) {
    Tensor total = scores_.unsqueeze(-1) + log_probs;
    auto [top_scores, top_indices] = at::topk(total.view({batch_, width_ * vocab_}), width_, -1);
    Tensor parents = at::div(top_indices, vocab_, "floor");
    Tensor tokens = top_indices.remainder(vocab_);
    Tensor rows = parents + at::arange(batch_, parents.options()).mul_(width_).unsqueeze(1);
    Tensor grown = at::cat(
        {sequences_.reshape({batch_ * width_, sequences_.size(-1)}).index_select(0, rows.view(-1)),
         tokens.view({-1, 1})},
        1);
    sequences_ = grown.view({batch_, width_, grown.size(-1)});
    Tensor ended = equals(tokens, eos_).to(at::kBool);
    host_scores_ = top_scores.to(at::kCPU, at::kDouble).contiguous();
    differentiable_ = differentiable_ || top_scores.requires_grad();
    collect_finished(ended.to(at::kCPU).contiguous(), grown, top_scores.view(-1));
    scores_ = top_scores.masked_fill(ended, -kInf);
  }

  void collect_finished(const Tensor& ended, const Tensor& grown, const Tensor& top_scores) {
    const bool* e = ended.data_ptr<bool>();
    std::vector<int64_t> flat;
    for (int64_t i = 0; i < batch_ * width_; ++i)
      if (e[i]) flat.push_back(i);
    if (flat.empty()) return;
    Tensor idx = at::tensor(flat, at::TensorOptions().dtype(at::kLong)).to(grown.device());
    Tensor copies = grown.index_select(0, idx);
    double* s = host_scores_.data_ptr<double>();
    for (size_t k = 0; k < flat.size(); ++k) {
      const int64_t b = flat[k] / width_;
      Tensor graph_score = differentiable_ ? top_scores[flat[k]] : Tensor();
      finished_[b].push_back({copies[static_cast<int64_t>(k)], s[flat[k]], graph_score});
      s[flat[k]] = -kInf;
    }
    for (int64_t b = 0; b < batch_; ++b) {
      Hypotheses& f = finished_[b];
      if (static_cast<int64_t>(f.size()) <= width_) continue;
      sort_best_first(f);
      f.resize(static_cast<size_t>(width_));
    }
  }

  bool all_done() const {
    const double* s = host_scores_.data_ptr<double>();
    for (int64_t b = 0; b < batch_; ++b) {
      if (any_live(s + b * width_, width_)) return false;
      if (static_cast<int64_t>(finished_[b].size()) < width_) return false;
    }
    return true;
  }

  // Finished hypotheses, then live beams, best first, at most `width`.
  Hypotheses final_selection(int64_t b) const {
    Hypotheses all = finished_[b];
    const double* s = host_scores_.data_ptr<double>() + b * width_;
    for (int64_t w = 0; w < width_; ++w)
      if (s[w] != -kInf)
        all.push_back({sequences_[b][w], s[w], differentiable_ ? scores_[b][w] : Tensor()});
    sort_best_first(all);
    if (static_cast<int64_t>(all.size()) > width_) all.resize(static_cast<size_t>(width_));
    return all;
  }

  py::handle self_;
  Tensor x_;
  int64_t batch_, width_;
  double temperature_;
  bool kernels_;
  PenaltyStep penalize_;
  py::object vocab_obj_;
  int64_t vocab_ = 0;
  TokenId eos_, pad_;
  Tensor sequences_;             // (batch, width, t)
  Tensor scores_;                // (batch, width), on the device
  Tensor host_scores_;           // the same as doubles on the CPU
  bool differentiable_ = false;  // the scores carry a gradient
  std::vector<Hypotheses> finished_;
};

std::vector<Param> generate_beam_params() {
  return {arg("self"),
          arg("x").annotated("torch.Tensor"),
          arg("beam_width").annotated("int"),
          arg("temperature", py::float_(1.0)).annotated("float"),
          arg("repeat_penalty", py::float_(1.0)).annotated("float"),
          common::returns("Tuple[torch.Tensor, torch.Tensor]")};
}
// beam_width is converted first, before the floats declared after it.
py::object generate_beam(py::object self, py::handle x_arg, py::handle beam_width,
                         py::handle temperature_arg, py::handle penalty_arg) {
  const int64_t width = to_count(beam_width, "beam_width");
  const double temperature = common::to_float(temperature_arg);
  const double penalty = common::to_float(penalty_arg);
  const Tensor x = prompt_of(x_arg);
  if (width < 1) common::raise(PyExc_ValueError, "beam_width must be >= 1");
  const int64_t steps = steps_left(self, x);
  BeamSearch search(self, x, width, temperature, penalty);
  search.run(steps);
  return search.result();
}

// ---- trimming ------------------------------------------------------------------

// Cuts after the first end token: a view (or `seq` itself) for one sequence,
// a list of row views for a batch.
std::vector<Param> post_process_sequence_params() {
  return {arg("seq").annotated("torch.Tensor"), arg("tokenizer").annotated("ZelTokenizer"),
          common::returns("torch.Tensor")};
}
py::object post_process_sequence(py::handle seq_obj, py::handle tokenizer) {
  if (!is_tensor(seq_obj)) common::raise(PyExc_TypeError, "seq must be a torch tensor");
  const Tensor seq = unpack(seq_obj);
  const TokenId eos = token_id(tokenizer.attr("eos_id"));
  Tensor is_eos = equals(seq, eos);
  if (seq.dim() == 1) {
    Tensor at_eos = is_eos.nonzero();
    if (at_eos.size(0) == 0) return py::reinterpret_borrow<py::object>(seq_obj);
    return wrap(seq.slice(0, 0, at_eos[0].item<int64_t>() + 1));
  }
  Tensor first = is_eos.to(at::kFloat).cumsum(1).eq(1) & is_eos;
  Tensor kept = first.cumsum(1).eq(0) | first;
  Tensor lengths = kept.flatten(1).sum(1).to(at::kCPU).contiguous();
  const int64_t* n = lengths.data_ptr<int64_t>();
  py::list rows;
  for (int64_t r = 0; r < seq.size(0); ++r) rows.append(wrap(seq[r].slice(0, 0, n[r])));
  return rows;
}

// ---- the class --------------------------------------------------------------------

// "cuda" when CUDA is available when the module is imported, else "cpu".
py::str default_device() {
  py::object cuda = py::module_::import("torch").attr("cuda");
  return py::str(cuda.attr("is_available")().cast<bool>() ? "cuda" : "cpu");
}

std::vector<Param> init_params() {
  return {arg("self"), arg("score_fn").annotated("Callable"),
          arg("tokenizer").annotated("ZelTokenizer"), arg("max_length").annotated("int"),
          arg("device", default_device()).annotated("str")};
}
py::object init(py::handle self, py::handle score_fn, py::handle tokenizer, py::int_ max_length,
                py::str device) {
  self.attr("score_fn") = score_fn;
  self.attr("tokenizer") = tokenizer;
  self.attr("max_length") = max_length;
  self.attr("device") = device;
  return py::none();
}

std::vector<Param> apply_repeat_penalty_params() {
  return {arg("self"), arg("logits").annotated("torch.Tensor"),
          arg("sequences").annotated("torch.Tensor"),
          arg("penalty", py::float_(1.0)).annotated("float")};
}
py::object apply_repeat_penalty(py::handle, py::handle logits, py::handle sequences,
                                double penalty) {
  if (penalty == 1.0) return py::reinterpret_borrow<py::object>(logits);
  if (!is_tensor(logits)) common::raise(PyExc_TypeError, "logits must be a torch tensor");
  if (!is_tensor(sequences)) common::raise(PyExc_TypeError, "sequences must be a torch tensor");
  repeat_penalty(unpack(logits), unpack(sequences), penalty, cpu_kernels_enabled());
  return py::reinterpret_borrow<py::object>(logits);
}

std::vector<Param> apply_filter_params() {
  return {arg("self"), arg("logits").annotated("torch.Tensor"),
          arg("temperature", py::float_(1.0)).annotated("float"),
          arg("top_k", py::int_(0)).annotated("int"),
          arg("top_p", py::float_(1.0)).annotated("float")};
}
py::object apply_filter(py::handle, py::handle logits, double temperature, py::handle top_k_arg,
                        py::handle top_p_arg) {
  const int64_t top_k = to_count(top_k_arg, "top_k");
  const double top_p = common::to_float(top_p_arg);
  if (!is_tensor(logits)) common::raise(PyExc_TypeError, "logits must be a torch tensor");
  return wrap(filter_logits(unpack(logits), temperature, top_k, top_p));
}

void import_names(py::module_& m) {
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  common::import_into(m, "typing", {"Tuple", "List", "Optional", "Callable"});
}

}  // namespace

PYBIND11_MODULE(quillane, m) {
  m.doc() = "Sequence generation: greedy search, beam search and sampling over a scoring function.";
  import_names(m);
  m.attr("_cpu_kernels") = py::bool_(true);
  common::ClassBuilder(m, "SequenceGenerator")
      .doc(
          "A class for generating sequences using various decoding strategies.\n"
          "Supports greedy search, beam search, and sampling with top-k/nucleus filtering.")
      .method("__init__", init_params(), init,
              "score_fn: prefixes (rows, length) int64 -> next-token logits (rows, vocabulary);\n"
              "tokenizer: eos_id and pad_id (and num_classes for beam search); max_length: the\n"
              "longest sequence, prompt included; device: \"cuda\" when available at import.")
      .method("_apply_repeat_penalty", apply_repeat_penalty_params(), apply_repeat_penalty,
              "Lowers (penalty > 1) the logits of tokens already in each sequence, in place.")
      .method("_filter_logits", apply_filter_params(), apply_filter,
              "Divides by the temperature and sets logits outside the top k and the nucleus "
              "to -inf; returns a new tensor.")
      .method("generate_greedy", generate_greedy_params(), generate_greedy,
              "Extends each row by its most probable token until the end token or max_length.\n"
              "Returns (sequences, scores).")
      .method("generate_beam", generate_beam_params(), generate_beam,
              "Beam search. Returns (sequences (batch, beam_width, max_length), scores "
              "(batch, beam_width)), best first.")
      .method("generate_sample", generate_sample_params(), generate_sample,
              "Draws each next token from the filtered distribution (torch.multinomial).\n"
              "Returns (sequences, scores).")
      .static_method("post_process_sequence", post_process_sequence_params(), post_process_sequence,
                     "Cuts sequences after their first end token: a tensor for 1-D input, a "
                     "list of row tensors otherwise.")
      .finish();
}
