// Softmax along one axis of a NumPy array, with its backward pass.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "domain/openmp.h"
#include "domain/vexp.h"

namespace py = pybind11;
using common::arg;
using common::Param;

namespace {

// The array viewed as (outer, n, inner) around the softmax axis.
struct Layout {
  py::ssize_t outer = 1, n = 1, inner = 1;
};

Layout layout_of(const py::array& a, py::ssize_t axis) {
  Layout l;
  for (py::ssize_t d = 0; d < a.ndim(); ++d) {
    if (d < axis)
      l.outer *= a.shape(d);
    else if (d == axis)
      l.n = a.shape(d);
    else
      l.inner *= a.shape(d);
  }
  return l;
}

// NumPy's own axis check (its AxisError and text): public in numpy.lib.array_utils
// from NumPy 2; before, only in numpy.core.multiarray, deprecated since.
py::ssize_t normalize_axis(py::handle dim, py::ssize_t ndim) {
  py::module_ lib = py::module_::import("numpy.lib");
  py::object home = py::hasattr(lib, "array_utils") ? lib.attr("array_utils")
                                                    : py::module_::import("numpy.core.multiarray");
  return home.attr("normalize_axis_index")(dim, ndim).cast<py::ssize_t>();
}

// One softmax row, shifted by its maximum so that exp never overflows.
template <class T>
__attribute__((always_inline)) inline void softmax_row(const T* x, T* y, py::ssize_t n) {
  T top = -INFINITY;
#pragma omp simd reduction(max : top)
  for (py::ssize_t j = 0; j < n; ++j) top = x[j] > top ? x[j] : top;
  T sum = 0;
#pragma omp simd reduction(+ : sum)
  for (py::ssize_t j = 0; j < n; ++j) {
    y[j] = common::vexp::exp(x[j] - top);
    sum += y[j];
  }
#pragma omp simd
  for (py::ssize_t j = 0; j < n; ++j) y[j] /= sum;
}

// dL/dZ = A * (dL/dA - sum(dL/dA * A)) along one row.
template <class T>
__attribute__((always_inline)) inline void softmax_backward_row(const T* a, const T* g, T* dz,
                                                                py::ssize_t n) {
  T dot = 0;
#pragma omp simd reduction(+ : dot)
  for (py::ssize_t j = 0; j < n; ++j) dot += g[j] * a[j];
#pragma omp simd
  for (py::ssize_t j = 0; j < n; ++j) dz[j] = a[j] * (g[j] - dot);
}

// The row kernels compiled for each vector level.
COMMON_VECTOR_CLONES void row(const float* x, float* y, py::ssize_t n) { softmax_row(x, y, n); }
COMMON_VECTOR_CLONES void row(const double* x, double* y, py::ssize_t n) { softmax_row(x, y, n); }
COMMON_VECTOR_CLONES void backward_row(const float* a, const float* g, float* dz, py::ssize_t n) {
  softmax_backward_row(a, g, dz, n);
}
COMMON_VECTOR_CLONES void backward_row(const double* a, const double* g, double* dz,
                                       py::ssize_t n) {
  softmax_backward_row(a, g, dz, n);
}

// Along an axis that is not the last: (outer, n, inner) blocks, the
// reductions running over the inner positions side by side.
template <class T>
void softmax_strided(const T* x, T* y, const Layout& l) {
  common::omp::parallel_for(l.outer, l.n * l.inner * 8, [&](py::ssize_t o) {
    std::vector<T> top(l.inner, -INFINITY), sum(l.inner, T(0));
    const T* xo = x + o * l.n * l.inner;
    T* yo = y + o * l.n * l.inner;
    for (py::ssize_t k = 0; k < l.n; ++k)
      for (py::ssize_t j = 0; j < l.inner; ++j) top[j] = std::max(top[j], xo[k * l.inner + j]);
    for (py::ssize_t k = 0; k < l.n; ++k)
      for (py::ssize_t j = 0; j < l.inner; ++j) {
        const T e = std::exp(xo[k * l.inner + j] - top[j]);
        yo[k * l.inner + j] = e;
        sum[j] += e;
      }
    for (py::ssize_t k = 0; k < l.n; ++k)
      for (py::ssize_t j = 0; j < l.inner; ++j) yo[k * l.inner + j] /= sum[j];
  });
}

template <class T>
void softmax_backward_strided(const T* a, const T* g, T* dz, const Layout& l) {
  common::omp::parallel_for(l.outer, l.n * l.inner * 4, [&](py::ssize_t o) {
    std::vector<T> dot(l.inner, T(0));
    const py::ssize_t base = o * l.n * l.inner;
    for (py::ssize_t k = 0; k < l.n; ++k)
      for (py::ssize_t j = 0; j < l.inner; ++j) {
        const py::ssize_t i = base + k * l.inner + j;
        dot[j] += g[i] * a[i];
      }
    for (py::ssize_t k = 0; k < l.n; ++k)
      for (py::ssize_t j = 0; j < l.inner; ++j) {
        const py::ssize_t i = base + k * l.inner + j;
        dz[i] = a[i] * (g[i] - dot[j]);
      }
  });
}

template <class T>
void softmax(const T* x, T* y, const Layout& l) {
  if (l.inner != 1) return softmax_strided(x, y, l);
  common::omp::parallel_for(l.outer, l.n * 8,
                            [&](py::ssize_t o) { row(x + o * l.n, y + o * l.n, l.n); });
}

template <class T>
void softmax_backward(const T* a, const T* g, T* dz, const Layout& l) {
  if (l.inner != 1) return softmax_backward_strided(a, g, dz, l);
  common::omp::parallel_for(l.outer, l.n * 4, [&](py::ssize_t o) {
    backward_row(a + o * l.n, g + o * l.n, dz + o * l.n, l.n);
  });
}

// Half precision is computed in single precision; integers and booleans in
// double precision, as NumPy's own ufuncs would.
py::dtype compute_dtype(const py::dtype& dt) {
  if (dt.kind() == 'f' && dt.itemsize() >= 4) return dt;
  return py::dtype(dt.kind() == 'f' ? "float32" : "float64");
}

py::array out_dtype(py::array result, const py::dtype& wanted) {
  if (result.dtype().is(wanted) || result.dtype().equal(wanted)) return result;
  return result.attr("astype")(wanted);
}

// Converting an object array calls each element's __float__, which may resize
// the arrays measured before: what the loops read must still be l's size.
void check_size(const py::array& a, const Layout& l) {
  if (a.size() != l.outer * l.n * l.inner)
    common::raise(PyExc_ValueError, "an array changed size while the softmax was computed");
}

template <class T>
py::array forward_as(const py::array& z, const Layout& l) {
  auto x = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(z);
  if (!x) common::rethrow();
  check_size(x, l);
  py::array_t<T> y(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
  const T* xp = x.data();
  T* yp = y.mutable_data();
  {
    py::gil_scoped_release nogil;
    softmax(xp, yp, l);
  }
  return std::move(y);
}

template <class T>
py::array backward_as(const py::array& a, const py::array& g, const Layout& l) {
  auto ac = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
  auto gc = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(g);
  if (!ac || !gc) common::rethrow();
  check_size(ac, l);
  check_size(gc, l);
  py::array_t<T> dz(std::vector<py::ssize_t>(ac.shape(), ac.shape() + ac.ndim()));
  const T* ap = ac.data();
  const T* gp = gc.data();
  T* dp = dz.mutable_data();
  {
    py::gil_scoped_release nogil;
    softmax_backward(ap, gp, dp, l);
  }
  return std::move(dz);
}

std::vector<Param> init_params() {
  return {arg("self"), arg("dim", py::int_(-1)).annotated("int")};
}
py::object init(py::handle self, py::int_ dim) {
  self.attr("dim") = dim;
  return py::none();
}

// The axis is found before the arrays are measured: reading `dim` and
// converting it may run Python code that resizes them.
std::vector<Param> forward_params() { return {arg("self"), arg("Z")}; }
py::object forward(py::handle self, py::handle Z) {
  py::array z = py::module_::import("numpy").attr("asarray")(Z);
  const py::ssize_t axis = normalize_axis(self.attr("dim"), z.ndim());
  const Layout l = layout_of(z, axis);
  const py::dtype work = compute_dtype(z.dtype());
  py::array out = work.kind() == 'f' && work.itemsize() == 4 ? forward_as<float>(z, l)
                                                             : forward_as<double>(z, l);
  out = z.dtype().kind() == 'f' ? out_dtype(out, z.dtype()) : out;
  self.attr("A") = out;
  return out;
}

std::vector<Param> backward_params() { return {arg("self"), arg("dLdA")}; }
py::object backward(py::handle self, py::handle dLdA) {
  py::array A = self.attr("A");
  py::array g = py::module_::import("numpy").attr("asarray")(dLdA);
  const py::ssize_t axis = normalize_axis(self.attr("dim"), A.ndim());
  if (g.ndim() != A.ndim() || !std::equal(g.shape(), g.shape() + g.ndim(), A.shape()))
    common::raise(PyExc_ValueError, "dLdA must have the shape of the last forward output " +
                                        std::string(py::str(py::tuple(A.attr("shape")))) +
                                        ", got " +
                                        std::string(py::str(py::tuple(g.attr("shape")))));
  const Layout l = layout_of(A, axis);
  const py::dtype work = compute_dtype(A.dtype());
  py::array dz = work.kind() == 'f' && work.itemsize() == 4 ? backward_as<float>(A, g, l)
                                                            : backward_as<double>(A, g, l);
  return out_dtype(dz, A.dtype());
}

}  // namespace

PYBIND11_MODULE(activation, m) {
  m.doc() = "Activations on NumPy arrays.";
  common::omp::one_thread_after_fork();
  common::ClassBuilder(m, "Softmax")
      .doc("Softmax along `dim`, numerically stable; keeps its output `A` for backward.")
      .method("__init__", init_params(), init, "dim: the axis the softmax normalises along.")
      .method("forward", forward_params(), forward,
              "forward(Z) -> softmax of Z along dim, same dtype as Z")
      .method("backward", backward_params(), backward,
              "backward(dLdA) -> gradient with respect to the last forward's input")
      .finish();
}
