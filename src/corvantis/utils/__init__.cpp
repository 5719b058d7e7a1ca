// Front of the corvantis.utils package.
#include <pybind11/pybind11.h>

#include "common/front.h"

namespace {
void body(pybind11::module_&) {}
}  // namespace

COMMON_PACKAGE_FRONT(utils, "Optimizer and scheduler factories.", body)
