// Adds the class FpgaTool to the KRXFlash module.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrix::py {

void bindFpgaTool(pybind11::module_& m);

}  // namespace kestrix::py
