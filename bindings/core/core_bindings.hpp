// The parts of kestrix._core: the package's native values that no device module owns.
#pragma once

#include <pybind11/pybind11.h>

namespace kestrix::py {

// TCPConnection: the package's _TCPConn.
void bindTcpConnection(pybind11::module_& m);
// VER: the package's version value, the core's Version.
void bindVersion(pybind11::module_& m);
// The update's constants, device profiles and failure kinds.
void bindUpdateRules(pybind11::module_& m);
// run_fleet: update jobs for many devices on a pool of threads.
void bindFleet(pybind11::module_& m);
// load_image, check_devices and the rest of what a fleet is given.
void bindFleetInputs(pybind11::module_& m);
// read_history, devices_to_retry: audit records read back.
void bindRecords(pybind11::module_& m);
// generate_key, sign_image, check_signature: signed images and the trust verdict.
void bindSigning(pybind11::module_& m);

}  // namespace kestrix::py
