// Scaled dot-product attention on NumPy arrays, with a hand-written backward.
//
// Every step runs natively when its operands are plain float32 or float64
// arrays whose last two axes BLAS can address; any other operand sends that
// step through NumPy itself, so broadcasting, dtype rules and errors are
// NumPy's. The softmax is whatever object `self.softmax` holds, called
// through its Python methods.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/pyutil.h"
#include "domain/blas.h"

namespace py = pybind11;
using common::arg;
using common::Param;
using common::blas::Matrix;
using Shape = std::vector<py::ssize_t>;

namespace {

py::handle numpy() {
  static py::handle np = py::module_::import("numpy").release();
  return np;
}

constexpr const char* kModule = "lumbrix.nn.gorsemont";
constexpr common::Globals global{kModule};

// ---------------------------------------------------------------------------
// Arrays seen as stacks of matrices

bool is_plain_array(py::handle obj) {
  return Py_TYPE(obj.ptr()) == py::detail::npy_api::get().PyArray_Type_;
}

// The leading dimension of a matrix stored row by row (unit steps along a
// row, rows at least a row apart), or none when it is not stored so.
std::optional<int> row_major_ld(py::ssize_t row_step, py::ssize_t col_step, py::ssize_t rows,
                                py::ssize_t cols, py::ssize_t item) {
  if (cols > 1 && col_step != item) return std::nullopt;
  if (rows == 1) return static_cast<int>(cols);
  if (row_step % item != 0 || row_step / item < cols || row_step / item > INT_MAX)
    return std::nullopt;
  return static_cast<int>(row_step / item);
}

// A non-empty array of element type T, as a stack of matrices over its
// leading axes.
struct Stack {
  const char* data;
  Shape lead, lead_steps;  // leading shape; byte steps along it
  int rows, cols, ld;
  bool column_major;
};

template <class T>
std::optional<Stack> stack_of(py::handle obj) {
  if (!is_plain_array(obj)) return std::nullopt;
  auto a = py::reinterpret_borrow<py::array>(obj);
  const py::ssize_t nd = a.ndim();
  if (nd < 2 || a.size() == 0 || !a.dtype().equal(py::dtype::of<T>()) ||
      !(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_))
    return std::nullopt;
  const py::ssize_t rows = a.shape(nd - 2), cols = a.shape(nd - 1);
  const py::ssize_t row_step = a.strides(nd - 2), col_step = a.strides(nd - 1);
  if (rows > INT_MAX || cols > INT_MAX) return std::nullopt;
  Stack s{static_cast<const char*>(a.data()),
          {},
          {},
          static_cast<int>(rows),
          static_cast<int>(cols),
          0,
          false};
  if (auto ld = row_major_ld(row_step, col_step, rows, cols, sizeof(T))) {
    s.ld = *ld;
  } else if (auto ld_t = row_major_ld(col_step, row_step, cols, rows, sizeof(T))) {
    s.ld = *ld_t;
    s.column_major = true;
  } else {
    return std::nullopt;
  }
  for (py::ssize_t d = 0; d < nd - 2; ++d) {
    if (a.strides(d) % static_cast<py::ssize_t>(sizeof(T)) != 0) return std::nullopt;
    s.lead.push_back(a.shape(d));
    s.lead_steps.push_back(a.strides(d));
  }
  return s;
}

// The leading shape that shapes broadcast to, as NumPy's matmul broadcasts.
std::optional<Shape> broadcast(std::initializer_list<const Shape*> shapes) {
  size_t n = 0;
  for (const Shape* s : shapes) n = std::max(n, s->size());
  Shape out(n, 1);
  for (const Shape* s : shapes)
    for (size_t i = 0; i < s->size(); ++i) {
      py::ssize_t& o = out[n - s->size() + i];
      const py::ssize_t d = (*s)[i];
      if (d == 1) continue;
      if (o != 1 && o != d) return std::nullopt;
      o = d;
    }
  return out;
}

py::ssize_t count(const Shape& lead) {
  py::ssize_t n = 1;
  for (py::ssize_t d : lead) n *= d;
  return n;
}

// Byte steps of an operand's leading axes against the broadcast leading
// shape `lead`: zero along axes it lacks or has of size one.
Shape steps_against(const Shape& shape, const Shape& steps, const Shape& lead) {
  Shape out(lead.size(), 0);
  const size_t skip = lead.size() - shape.size();
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] != 1) out[skip + i] = steps[i];
  return out;
}

// The byte offset of every matrix, in the C order of `lead`.
std::vector<py::ssize_t> offsets(const Shape& lead, const Shape& steps) {
  std::vector<py::ssize_t> out(count(lead));
  Shape index(lead.size(), 0);
  py::ssize_t at = 0;
  for (auto& o : out) {
    o = at;
    for (size_t d = lead.size(); d-- > 0;) {
      at += steps[d];
      if (++index[d] < lead[d]) break;
      at -= steps[d] * lead[d];
      index[d] = 0;
    }
  }
  return out;
}

std::vector<py::ssize_t> offsets(const Stack& s, const Shape& lead) {
  return offsets(lead, steps_against(s.lead, s.lead_steps, lead));
}

template <class T>
Matrix<T> matrix(const Stack& s, py::ssize_t offset) {
  return {reinterpret_cast<const T*>(s.data + offset), s.rows, s.cols, s.ld, s.column_major};
}

Shape joined(Shape lead, py::ssize_t rows, py::ssize_t cols) {
  lead.push_back(rows);
  lead.push_back(cols);
  return lead;
}

// ---------------------------------------------------------------------------
// Running over the matrices

// Enough matrices to keep the threads busy: they run side by side and each
// BLAS call runs on one thread; otherwise one after another, each product
// threaded by the library.
bool side_by_side(py::ssize_t matrices, py::ssize_t work_each) {
  return matrices >= std::max(2, common::omp::max_threads() / 2) &&
         matrices * work_each >= common::omp::kParallelWork &&
         !common::blas::runs_own_thread_pool();
}

// f(h, scratch) for every matrix h, scratch being `scratch_size` elements of
// the running thread's own. What a thread throws is rethrown after the region.
template <class T, class F>
void for_each_matrix(py::ssize_t matrices, py::ssize_t work_each, py::ssize_t scratch_size, F&& f) {
  py::gil_scoped_release nogil;
  workers::FirstError error;
#pragma omp parallel if (side_by_side(matrices, work_each))
  {
    std::vector<T> scratch;
    error.guard([&] { scratch.resize(scratch_size); });
#pragma omp for schedule(static)
    for (py::ssize_t h = 0; h < matrices; ++h)
      if (!error.failed()) error.guard([&] { f(h, scratch.data()); });
  }
  error.rethrow();
}

// ---------------------------------------------------------------------------
// Native steps

// out = op(x) . op(y) over the broadcast leading axes.
template <class T>
std::optional<py::object> native_product(py::handle x_obj, bool tx, py::handle y_obj, bool ty) {
  const auto x = stack_of<T>(x_obj), y = stack_of<T>(y_obj);
  if (!x || !y) return std::nullopt;
  const int m = tx ? x->cols : x->rows, k = tx ? x->rows : x->cols;
  const int k_y = ty ? y->cols : y->rows, n = ty ? y->rows : y->cols;
  const auto lead = broadcast({&x->lead, &y->lead});
  if (k != k_y || !lead) return std::nullopt;
  py::array_t<T> out(joined(*lead, m, n));
  T* c = out.mutable_data();
  const auto xo = offsets(*x, *lead), yo = offsets(*y, *lead);
  const py::ssize_t per = static_cast<py::ssize_t>(m) * n;
  for_each_matrix<T>(count(*lead), per * k, 0, [&](py::ssize_t h, T*) {
    common::blas::product(matrix<T>(*x, xo[h]), tx, matrix<T>(*y, yo[h]), ty, c + h * per, n);
  });
  return py::object(std::move(out));
}

// A boolean mask broadcast against the scores (lead..., rows, cols).
struct Mask {
  const char* data;
  std::vector<py::ssize_t> offsets;  // per score matrix
  py::ssize_t row_step, col_step;
};

std::optional<Mask> mask_of(py::handle obj, const Shape& lead, py::ssize_t rows, py::ssize_t cols) {
  if (!is_plain_array(obj)) return std::nullopt;
  auto a = py::reinterpret_borrow<py::array>(obj);
  const Shape full = joined(lead, rows, cols);
  const auto nd = static_cast<size_t>(a.ndim());
  if (a.dtype().kind() != 'b' || nd > full.size()) return std::nullopt;
  Shape shape(a.shape(), a.shape() + nd), steps(a.strides(), a.strides() + nd);
  for (size_t i = 0; i < nd; ++i)
    if (shape[i] != 1 && shape[i] != full[full.size() - nd + i]) return std::nullopt;
  const Shape aligned = steps_against(shape, steps, full);
  const Shape lead_steps(aligned.begin(), aligned.end() - 2);
  return Mask{static_cast<const char*>(a.data()), offsets(lead, lead_steps),
              aligned[full.size() - 2], aligned[full.size() - 1]};
}

// One row of scores: divided by the scale in D, then masked entries replaced.
template <class T, class D>
void scale_row(T* row, py::ssize_t cols, D scale, const char* mask, py::ssize_t mask_step,
               T masked) {
  for (py::ssize_t j = 0; j < cols; ++j) row[j] = static_cast<T>(row[j] / scale);
  if (!mask) return;
  if (mask_step == 1) {
    for (py::ssize_t j = 0; j < cols; ++j) row[j] = mask[j] ? masked : row[j];
  } else {
    for (py::ssize_t j = 0; j < cols; ++j)
      if (mask[j * mask_step]) row[j] = masked;
  }
}

// The value np.where(mask, -eps, scores) writes into T scores, when NumPy
// keeps T for it: eps a float whose negation T holds.
template <class T>
std::optional<T> masking_value(py::handle eps) {
  if (!PyFloat_CheckExact(eps.ptr())) return std::nullopt;
  const double v = -PyFloat_AS_DOUBLE(eps.ptr());
  if (std::isfinite(v) && !std::isfinite(static_cast<T>(v))) return std::nullopt;
  return static_cast<T>(v);
}

struct Scores {
  py::object array;
  bool masked;  // the mask is applied already
};

// (Q . K^T) / sqrt(d_k), masked in the same pass when the mask allows it;
// `eps` was read before, since reading it may run Python code that resizes
// the arrays. `wide`: NumPy divides in float64 (NumPy 2 does not demote the
// float64 square root to a float32 array's type), storing the rounded quotient.
template <class T>
std::optional<Scores> native_scores(py::handle q_obj, py::handle k_obj, py::handle mask_obj,
                                    py::handle eps, bool wide) {
  const auto q = stack_of<T>(q_obj), k = stack_of<T>(k_obj);
  if (!q || !k || q->cols != k->cols) return std::nullopt;
  const auto lead = broadcast({&q->lead, &k->lead});
  if (!lead) return std::nullopt;
  const py::ssize_t rows = q->rows, cols = k->rows, per = rows * cols;
  std::optional<Mask> mask;
  std::optional<T> masked_value;
  if (!mask_obj.is_none() && (mask = mask_of(mask_obj, *lead, rows, cols)))
    masked_value = masking_value<T>(eps);
  const bool apply = mask && masked_value;
  py::array_t<T> out(joined(*lead, rows, cols));
  T* s = out.mutable_data();
  const auto qo = offsets(*q, *lead), ko = offsets(*k, *lead);
  const double root = std::sqrt(static_cast<double>(q->cols));
  const T scale = static_cast<T>(root);  // else NumPy divides by it rounded to T
  for_each_matrix<T>(count(*lead), per * q->cols, 0, [&](py::ssize_t h, T*) {
    T* sh = s + h * per;
    common::blas::product(matrix<T>(*q, qo[h]), false, matrix<T>(*k, ko[h]), true, sh, cols);
    for (py::ssize_t i = 0; i < rows; ++i) {
      const char* m = apply ? mask->data + mask->offsets[h] + i * mask->row_step : nullptr;
      const py::ssize_t step = apply ? mask->col_step : 0;
      const T fill = apply ? *masked_value : T(0);
      if (wide)
        scale_row(sh + i * cols, cols, root, m, step, fill);
      else
        scale_row(sh + i * cols, cols, scale, m, step, fill);
    }
  });
  return Scores{py::object(std::move(out)), apply};
}

// d_Q = (G / sqrt(d_k)) . K and d_K = (G / sqrt(d_k))^T . Q, with G the
// softmax's gradient; the divided G is kept one matrix at a time.
template <class T>
std::optional<py::tuple> native_query_key_grads(py::handle g_obj, py::handle k_obj,
                                                py::handle q_obj) {
  const auto g = stack_of<T>(g_obj), k = stack_of<T>(k_obj), q = stack_of<T>(q_obj);
  if (!g || !k || !q || g->lead != k->lead || g->lead != q->lead || g->rows != q->rows ||
      g->cols != k->rows || k->cols != q->cols)
    return std::nullopt;
  const py::ssize_t rows = g->rows, cols = g->cols, width = k->cols, per = rows * cols;
  py::array_t<T> dq(joined(g->lead, rows, width)), dk(joined(g->lead, cols, width));
  T *dqp = dq.mutable_data(), *dkp = dk.mutable_data();
  const auto go = offsets(*g, g->lead), ko = offsets(*k, g->lead), qo = offsets(*q, g->lead);
  const T scale = static_cast<T>(std::sqrt(static_cast<double>(width)));
  for_each_matrix<T>(count(g->lead), 2 * per * width, per, [&](py::ssize_t h, T* buf) {
    const Matrix<T> gh = matrix<T>(*g, go[h]);
    for (py::ssize_t i = 0; i < rows; ++i)
      for (py::ssize_t j = 0; j < cols; ++j)
        buf[i * cols + j] =
            (gh.column_major ? gh.data[i + j * gh.ld] : gh.data[i * gh.ld + j]) / scale;
    const Matrix<T> d{buf, g->rows, g->cols, g->cols, false};
    common::blas::product(d, false, matrix<T>(*k, ko[h]), false, dqp + h * rows * width, width);
    common::blas::product(d, true, matrix<T>(*q, qo[h]), false, dkp + h * cols * width, width);
  });
  return py::make_tuple(std::move(dq), std::move(dk));
}

// f(T{}) for the array's element type when it is float32 or float64, else
// an empty R.
template <class R, class F>
R for_float_type(py::handle x, F&& f) {
  if (is_plain_array(x)) {
    const py::dtype dt = py::reinterpret_borrow<py::array>(x).dtype();
    if (dt.equal(py::dtype::of<float>())) return f(float{});
    if (dt.equal(py::dtype::of<double>())) return f(double{});
  }
  return R{};
}

// ---------------------------------------------------------------------------
// NumPy's steps

std::string shape_text(py::handle obj) {
  if (!py::hasattr(obj, "shape")) return std::string("a ") + common::type_name(obj);
  return "shape " + std::string(py::str(py::tuple(obj.attr("shape"))));
}

// Runs a NumPy step; a plain ValueError from it (a shape that does not fit)
// is raised again saying which operands of which step.
template <class F>
py::object explained(const std::string& context, F&& step) {
  try {
    return step();
  } catch (py::error_already_set& e) {
    if (!e.type().is(py::handle(PyExc_ValueError))) throw;
    const std::string message = context + " (" + std::string(py::str(e.value())) + ")";
    py::raise_from(e, PyExc_ValueError, message.c_str());
    throw py::error_already_set();
  }
}

// The array with its last two axes swapped, through its own transpose.
py::object swap_last(py::handle x) {
  const py::ssize_t n = x.attr("ndim").cast<py::ssize_t>();
  py::list order;
  for (py::ssize_t d = 0; d < n - 2; ++d) order.append(d);
  order.append(-1);
  order.append(-2);
  return x.attr("transpose")(*order);
}

struct Operand {
  const char* name;
  py::handle value;
  bool transposed;
};

py::object transposed(const Operand& x) {
  const std::string context = std::string(x.name) + "^T: " + x.name + " of " + shape_text(x.value) +
                              " has fewer than two axes";
  return explained(context, [&] { return swap_last(x.value); });
}

// x @ y, transposing each first where asked.
py::object matmul(const char* expression, Operand x, Operand y) {
  auto native = for_float_type<std::optional<py::object>>(x.value, [&](auto t) {
    return native_product<decltype(t)>(x.value, x.transposed, y.value, y.transposed);
  });
  if (native) return *native;
  py::object xs = x.transposed ? transposed(x) : py::reinterpret_borrow<py::object>(x.value);
  py::object ys = y.transposed ? transposed(y) : py::reinterpret_borrow<py::object>(y.value);
  const std::string context = std::string(expression) + ": " + x.name + " of " +
                              shape_text(x.value) + " and " + y.name + " of " +
                              shape_text(y.value) + " do not fit";
  return explained(context,
                   [&] { return common::steal(PyNumber_MatrixMultiply(xs.ptr(), ys.ptr())); });
}

// np.sqrt of the key width, K's last length.
py::object key_root(py::handle K) { return numpy().attr("sqrt")(K.attr("shape")[py::int_(-1)]); }

// Whether NumPy keeps x's dtype for x / root: always under NumPy 1's
// value-based casting; under NumPy 2 not for float32 x, which the float64
// root promotes.
bool keeps_dtype(py::handle x, py::handle root) {
  return numpy().attr("result_type")(x, root).equal(x.attr("dtype"));
}

// Steps 2 to 5 of forward: the scaled, masked scores. `eps` is read once,
// before any pointer into the arrays is taken.
py::object masked_scores(py::handle self, py::handle Q, py::handle K, py::handle mask) {
  const py::object eps = mask.is_none() ? py::object() : py::object(self.attr("eps"));
  auto native = for_float_type<std::optional<Scores>>(Q, [&](auto t) -> std::optional<Scores> {
    if (!is_plain_array(K)) return std::nullopt;
    const bool wide = !keeps_dtype(Q, key_root(K));
    return native_scores<decltype(t)>(Q, K, mask, eps, wide);
  });
  Scores s{py::object(), false};
  if (native) {
    s = *native;
  } else {
    py::object root = key_root(K);
    s.array = matmul("Q @ K^T", {"Q", Q, false}, {"K", K, true});
    s.array = common::steal(PyNumber_InPlaceTrueDivide(s.array.ptr(), root.ptr()));
  }
  if (mask.is_none() || s.masked) return s.array;
  py::object masked = common::steal(PyNumber_Negative(eps.ptr()));
  const std::string context =
      "mask of " + shape_text(mask) + " does not broadcast to the scores' " + shape_text(s.array);
  return explained(context, [&] { return numpy().attr("where")(mask, masked, s.array); });
}

// ---------------------------------------------------------------------------
// The class

py::object init(py::handle self) {
  self.attr("eps") = py::float_(1e10);
  // the module's Softmax, looked up at each call as a global would be
  self.attr("softmax") = global("Softmax")(py::arg("dim") = -1);
  return py::none();
}

std::vector<Param> forward_params() {
  return {arg("self"), arg("Q"), arg("K"), arg("V"), arg("mask", py::none())};
}
py::object forward(py::handle self, py::object Q, py::object K, py::object V, py::object mask) {
  self.attr("V") = V;
  self.attr("K") = K;
  self.attr("Q") = Q;
  py::object scores = masked_scores(self, Q, K, mask);
  py::object attention = self.attr("softmax").attr("forward")(scores);
  self.attr("attention_scores") = attention;
  return matmul("attention_scores @ V", {"attention_scores", attention, false}, {"V", V, false});
}

std::vector<Param> backward_params() { return {arg("self"), arg("d_output")}; }
py::object backward(py::handle self, const py::object& d_output) {
  py::object attention = self.attr("attention_scores");
  py::object d_V = matmul("attention_scores^T @ d_output", {"attention_scores", attention, true},
                          {"d_output", d_output, false});
  py::object V = self.attr("V");
  py::object d_attention = matmul("d_output @ V^T", {"d_output", d_output, false}, {"V", V, true});
  py::object grad = self.attr("softmax").attr("backward")(d_attention);
  py::object K = self.attr("K");
  py::object Q = self.attr("Q");
  py::object root = key_root(K);
  // natively only where the divided gradient keeps its dtype
  auto native = for_float_type<std::optional<py::tuple>>(grad, [&](auto t) {
    return keeps_dtype(grad, root) ? native_query_key_grads<decltype(t)>(grad, K, Q) : std::nullopt;
  });
  if (native) return py::make_tuple((*native)[0], (*native)[1], d_V);
  py::object d_scaled = common::div(grad, root);
  py::object d_Q = matmul("d_scaled_dot_product @ K", {"d_scaled_dot_product", d_scaled, false},
                          {"K", K, false});
  py::object d_K = matmul("d_scaled_dot_product^T @ Q", {"d_scaled_dot_product", d_scaled, true},
                          {"Q", Q, false});
  return py::make_tuple(d_Q, d_K, d_V);
}

}  // namespace

PYBIND11_MODULE(gorsemont, m) {
  m.doc() = "Scaled dot-product attention on NumPy arrays.";
  common::omp::one_thread_after_fork();
  m.attr("np") = numpy();
  m.attr("Softmax") =
      common::relative(m.attr("__name__").cast<std::string>(), "activation").attr("Softmax");
  common::ClassBuilder(m, "ScaledDotProductAttention")
      .doc("Scaled Dot Product Attention")
      .method("__init__", {arg("self")}, init,
              "Sets eps = 1e10 (masked scores become -eps) and softmax = Softmax(dim=-1).")
      .method("forward", forward_params(), forward,
              "forward(Q, K, V, mask=None) -> softmax(Q K^T / sqrt(d_k), masked) V")
      .method("backward", backward_params(), backward,
              "backward(d_output) -> (d_Q, d_K, d_V) for the last forward")
      .finish();
}
