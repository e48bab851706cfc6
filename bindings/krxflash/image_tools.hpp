// Offline image tools of kestrix.KRXFlash: packing a tbin and inspecting any image file. They
// back the kestrix-flash command line and need no device.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrix::py {

// Adds the private functions _pack_image and _inspect_image to the module.
void bindImageTools(pybind11::module_& m);

}  // namespace kestrix::py
