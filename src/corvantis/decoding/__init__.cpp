// Front of the corvantis.decoding package.
#include <pybind11/pybind11.h>

#include "binding/front.h"

namespace {
void body(pybind11::module_&) {}
}  // namespace

COMMON_PACKAGE_FRONT(decoding, "Sequence generation.", body)
