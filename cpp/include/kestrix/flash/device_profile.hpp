// What the update does differently per device type, in one table: the engine, the workflow and
// initialisation ask the profile and never compare device types themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrix::flash {

inline constexpr std::int64_t kDefaultDeviceType = 32;

// Lowest control firmware version of any device type (the control firmware gate).
inline constexpr std::string_view kFpgaFwVerMin = "0.1.0.6";

// Lowest FPGA versions by device type, and the time the RF module is given after it is
// re-initialised; the table in device_profile.cpp says which type gets which.
inline constexpr std::string_view kFpgaVerMinDev28 = "1.1.0.0";
inline constexpr std::string_view kFpgaVerMinDev32 = "0.2.3.4";
inline constexpr int kReinitWaitSeconds = 3;

// How the FPGA version is read back after an update.
enum class VersionReadBack {
  kNone,        // not read; the result carries the empty text
  kGetFpgaVer,  // "GET_FPGA_VER"
  kFeInfo,      // "fpga_ver" of the first device in the "GET_FE_INFO" JSON reply
};

struct DeviceProfile {
  std::int64_t type = 0;
  // The "FPGA_ERASE" argument; none: the flash is not erased before it is written.
  std::optional<std::string_view> erase_bits;
  // Seconds the RF module is given after "REINIT_RF_MODULE"; none: not re-initialised.
  std::optional<int> reinit_wait_seconds;
  // initFpga accepts the type (the others get a warning and no device traffic).
  bool init_accepted = false;
  // Lowest FPGA version initFpga accepts; none: the version is not read there.
  std::optional<std::string_view> min_fpga_version;
  VersionReadBack version_read_back = VersionReadBack::kNone;
};

// The profile of `device_type`; a type without one of its own gets the generic profile (no
// erase, no re-initialisation, refused by initFpga, no version read-back).
const DeviceProfile& deviceProfile(std::int64_t device_type);

// Whether `device_type` has a profile of its own.
bool hasDeviceProfile(std::int64_t device_type);
// The device types with a profile of their own, and those initFpga accepts, in table order.
std::vector<std::int64_t> profiledDeviceTypes();
std::vector<std::int64_t> initAcceptedTypes();

}  // namespace kestrix::flash
