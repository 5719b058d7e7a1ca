// Front of the corvantis.utils package: the optimizer and scheduler factories.
#include <pybind11/pybind11.h>

#include "binding/front.h"

namespace {
void body(pybind11::module_& m) {
  common::reexport(m, "yarrowind", {"yarrowind"});
  common::reexport(m, "hestmoor", {"create_scheduler"});
}
}  // namespace

COMMON_PACKAGE_FRONT(utils, "Optimizer and scheduler factories.", body)
