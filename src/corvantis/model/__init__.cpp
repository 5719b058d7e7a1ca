// Front of the corvantis.model package: the two model classes.
#include <pybind11/pybind11.h>

#include "binding/front.h"

namespace {
void body(pybind11::module_& m) {
  common::reexport(m, "transformers", {"EncoderDecoderTransformer", "DecoderOnlyTransformer"});
}
}  // namespace

COMMON_PACKAGE_FRONT(model, "Model components and model classes.", body)
