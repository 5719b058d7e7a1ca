// Front of the corvantis.data package.
#include <pybind11/pybind11.h>

#include "binding/front.h"

namespace {
void body(pybind11::module_&) {}
}  // namespace

COMMON_PACKAGE_FRONT(data, "Datasets and the tokenizer.", body)
