// Test-only extension: the vectorizable exp on NumPy arrays, so tests can
// measure it against NumPy's.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "domain/vexp.h"

namespace py = pybind11;

namespace {

template <class T>
py::array_t<T> exp_of(py::array_t<T, py::array::c_style | py::array::forcecast> x) {
  py::array_t<T> y(x.size());
  const T* in = x.data();
  T* out = y.mutable_data();
  for (py::ssize_t i = 0; i < x.size(); ++i) out[i] = common::vexp::exp(in[i]);
  return y;
}

}  // namespace

PYBIND11_MODULE(_vexpcheck, m) {
  m.def("exp32", &exp_of<float>);
  m.def("exp64", &exp_of<double>);
}
