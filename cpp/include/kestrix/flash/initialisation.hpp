// Initialisation of the FPGA configuration controller with its version gate, and the control
// firmware gate. What a device type allows is its profile's (device_profile.hpp).
#pragma once

#include <cstdint>

#include "kestrix/contracts/ret_type.hpp"
#include "kestrix/flash/fpga_commands.hpp"

namespace kestrix::flash {

// Initialises the controller of a device type whose profile accepts it (control init,
// configuration mode "TRANS", FPGA ID, and the FPGA version against the profile's minimum unless
// `disable_fw_check`). OK with the result map, WARNING for a type that is not accepted or a
// version below the minimum (nothing is sent for the former). Errors of the device steps pass to
// the caller.
RetType initialiseController(FpgaCommands& commands, std::int64_t device_type,
                             bool disable_fw_check = false);

// Whether the control firmware version is at least kFpgaFwVerMin (a lower one is logged).
bool controlFwVersionAccepted(FpgaCommands& commands);

}  // namespace kestrix::flash
