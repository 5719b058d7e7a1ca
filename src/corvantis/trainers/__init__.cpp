// Front of the corvantis.trainers package.
#include <pybind11/pybind11.h>

#include "binding/front.h"

namespace {
void body(pybind11::module_&) {}
}  // namespace

COMMON_PACKAGE_FRONT(trainers, "Trainers.", body)
