// Test-only extension: the worker pools of domain/workers.h and the OpenMP
// loop of domain/openmp.h, with items that fail or take long.
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "domain/openmp.h"
#include "domain/workers.h"

namespace py = pybind11;

namespace {

std::atomic<long> begun{0}, busy{0};

// Item `fail_at` fails: with a C++ exception, or by calling `callback(i)`
// with the GIL taken (a Python exception) when one is given.
void item(long i, long fail_at, const py::object& callback, int sleep_ms) {
  ++begun;
  ++busy;
  struct Done {
    ~Done() { --busy; }
  } done;
  if (sleep_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
  if (i != fail_at) return;
  if (callback.is_none()) throw std::runtime_error("item " + std::to_string(i) + " failed");
  py::gil_scoped_acquire gil;
  callback(i);
}

void reset() {
  begun = 0;
  busy = 0;
}

}  // namespace

PYBIND11_MODULE(_workerscheck, m) {
  m.def(
      "items",
      [](long n, unsigned threads, long fail_at, py::object callback, int sleep_ms) {
        reset();
        workers::parallel_items(static_cast<size_t>(n), threads, [&](size_t i) {
          item(static_cast<long>(i), fail_at, callback, sleep_ms);
        });
      },
      py::arg("n"), py::arg("threads"), py::arg("fail_at") = -1, py::arg("callback") = py::none(),
      py::arg("sleep_ms") = 0);
  m.def(
      "omp_items",
      [](long n, long fail_at) {
        reset();
        const py::object none = py::none();
        py::gil_scoped_release nogil;
        common::omp::parallel_for(n, common::omp::kParallelWork, [&](std::ptrdiff_t i) {
          item(static_cast<long>(i), fail_at, none, 0);
        });
      },
      py::arg("n"), py::arg("fail_at") = -1);
  // Items begun by the last call, and those still running (0 once joined).
  m.def("begun", [] { return begun.load(); });
  m.def("busy", [] { return busy.load(); });
}
