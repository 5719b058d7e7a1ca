// Test-only extension: the native .npy reader on bytes in memory, so tests
// can compare it with NumPy and replay the fuzzing regressions.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "binding/bind.h"
#include "binding/native_function.h"
#include "binding/pyutil.h"
#include "domain/npy.h"

namespace py = pybind11;
using common::arg;
using common::Args;

namespace {

const char* code_name(npy::Error::Code c) {
  switch (c) {
    case npy::Error::kObject: return "object";
    case npy::Error::kUnsupported: return "unsupported";
    default: return "malformed";
  }
}

// Runs fn, turning npy::Error into ValueError("<code>: <text>").
template <class Fn>
py::object guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const npy::Error& e) {
    common::raise(PyExc_ValueError, std::string(code_name(e.code)) + ": " + e.what());
  }
}

std::string view(const py::handle& data) {
  return std::string(py::bytes(py::reinterpret_borrow<py::object>(data)));
}

py::dict describe(const npy::Header& h) {
  py::dict d;
  d["descr"] = h.dtype.descr;
  d["itemsize"] = h.dtype.itemsize;
  d["swap"] = h.dtype.swap;
  d["fortran_order"] = h.fortran;
  py::list shape;
  for (uint64_t s : h.shape) shape.append(py::int_(s));
  d["shape"] = py::tuple(shape);
  d["data_offset"] = h.data_offset;
  d["major"] = h.major;
  return d;
}

// parse_header(data): the header of a whole file held in `data`.
py::object parse_header(const Args& a) {
  const std::string data = view(a["data"]);
  return guarded([&] {
    npy::MemorySource src(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return py::object(describe(src.header()));
  });
}

// read(data, rows=None): what the datasets take from a file. A 2-D numeric
// array gives (header, C-order native bytes of its first `rows` rows); a 0-d
// or 1-d unicode array (header, joined str); anything else (header, raw
// native bytes).
py::object read_file(const Args& a) {
  const std::string data = view(a["data"]);
  return guarded([&] {
    npy::MemorySource src(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    const npy::Header h = src.header();
    if (h.dtype.numeric() && h.shape.size() == 2) {
      const uint64_t rows =
          a["rows"].is_none() ? h.shape[0] : std::min<uint64_t>(h.shape[0], py::int_(a["rows"]));
      std::string out(static_cast<size_t>(rows * h.shape[1] * h.dtype.itemsize), '\0');
      std::vector<unsigned char> scratch;
      npy::read_rows(src, h, rows, out.data(), scratch);
      return py::object(py::make_tuple(describe(h), py::bytes(out)));
    }
    const std::vector<unsigned char> raw = npy::read_data(src, h);
    if (h.dtype.kind == npy::Kind::Unicode && h.shape.size() <= 1) {
      const std::u32string text = npy::join_unicode(h, raw.data());
      PyObject* s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                              static_cast<Py_ssize_t>(text.size()));
      if (!s) common::rethrow();
      return py::object(py::make_tuple(describe(h), py::reinterpret_steal<py::str>(s)));
    }
    return py::object(py::make_tuple(
        describe(h), py::bytes(reinterpret_cast<const char*>(raw.data()), raw.size())));
  });
}

// half_to_float(data): float16 bit patterns (native uint16) to float32 bytes.
py::object half_to_float(const Args& a) {
  const std::string data = view(a["data"]);
  std::string out(data.size() / 2 * 4, '\0');
  for (size_t i = 0; i < data.size() / 2; ++i) {
    uint16_t h;
    std::memcpy(&h, data.data() + 2 * i, 2);
    const float f = npy::half_to_float(h);
    std::memcpy(out.data() + 4 * i, &f, 4);
  }
  return py::bytes(out);
}

}  // namespace

PYBIND11_MODULE(_npy_readercheck, m) {
  common::def_function(m, "parse_header", {arg("data")}, parse_header);
  common::def_function(m, "read", {arg("data"), arg("rows", py::none())}, read_file);
  common::def_function(m, "half_to_float", {arg("data")}, half_to_float);
}
