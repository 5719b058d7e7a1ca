// Front of the corvantis package. Checks, once for every corvantis module,
// that the running PyTorch is the one the extensions were built against: a
// mismatch would otherwise surface as an obscure undefined-symbol error.
#include <pybind11/pybind11.h>

#include <string>

#include "binding/front.h"

#define CORVANTIS_STR2(x) #x
#define CORVANTIS_STR(x) CORVANTIS_STR2(x)

namespace py = pybind11;

namespace {

// "2.1.0+cu121" -> "2.1.0": local build tags do not change the ABI.
std::string release(std::string version) {
  const auto plus = version.find('+');
  return plus == std::string::npos ? version : version.substr(0, plus);
}

void body(py::module_& m) {
  const std::string built = CORVANTIS_STR(CORVANTIS_BUILT_TORCH);
  const std::string running = py::str(py::module_::import("torch").attr("__version__"));
  if (release(built) != release(running)) {
    PyErr_Format(PyExc_ImportError,
                 "corvantis was built against PyTorch %s but PyTorch %s is installed; "
                 "rebuild it (make build) with the PyTorch you run",
                 built.c_str(), running.c_str());
    throw py::error_already_set();
  }
  m.attr("built_with_torch") = built;
}

}  // namespace

COMMON_PACKAGE_FRONT(corvantis, "Transformer speech recognition and language models on PyTorch.",
                     body)
