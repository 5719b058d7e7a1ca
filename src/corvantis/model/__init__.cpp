// Front of the corvantis.model package.
#include <pybind11/pybind11.h>

#include "common/front.h"

namespace {
void body(pybind11::module_&) {}
}  // namespace

COMMON_PACKAGE_FRONT(model, "Model components and model classes.", body)
