// Device mode enumerations shared by the device classes.
#pragma once

namespace kestrix {

// Fast beam steering mode. The integer value is what goes to the device, in decimal, as the mode
// number of the external control setting.
enum class FBSMode : int {
  PHASE_ONLY = 1,
  GAIN_ONLY = 2,
  FULL_GAIN_PHASE = 3,
};

// RF path of an operation.
enum class RFMode : int {
  TX = 0,
  RX = 1,
};

}  // namespace kestrix
