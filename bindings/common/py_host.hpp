// The Python process as the core's host: messages go to the logger "FPGA" of Python's logging,
// standard output is whatever sys.stdout is at the time, sleeping is time.sleep (so a test can
// patch it), versions are made and ordered by the package's VER.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "kestrix/contracts/host.hpp"

namespace kestrix::py {

// `module` is the extension module whose attribute "VER" orders versions.
std::shared_ptr<Host> makePythonHost(pybind11::module_ module);

}  // namespace kestrix::py
