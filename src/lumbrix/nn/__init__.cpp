// Front of the lumbrix.nn package.
#include <pybind11/pybind11.h>

#include "binding/front.h"

namespace {
void body(pybind11::module_&) {}
}  // namespace

COMMON_PACKAGE_FRONT(nn, "Layers and activations on NumPy arrays.", body)
