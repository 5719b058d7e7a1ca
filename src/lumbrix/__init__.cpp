// Front of the lumbrix package.
#include <pybind11/pybind11.h>

#include "binding/front.h"

namespace {
void body(pybind11::module_&) {}
}  // namespace

COMMON_PACKAGE_FRONT(lumbrix, "Array operators on NumPy.", body)
