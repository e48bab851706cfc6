#include "kestrix/flash/device_profile.hpp"

#include <array>

#include "kestrix/wire/protocol.hpp"

namespace kestrix::flash {
namespace {

// Device type 28's minimum FPGA version is known but not enforced: initFpga does not accept the
// type, and nothing else reads versions before an update.
constexpr std::array<DeviceProfile, 2> kProfiles = {{
    {28, wire::kEraseDevice28, std::nullopt, false, kFpgaVerMinDev28, VersionReadBack::kFeInfo},
    {32, wire::kEraseDevice32, kReinitWaitSeconds, true, kFpgaVerMinDev32,
     VersionReadBack::kGetFpgaVer},
}};

constexpr DeviceProfile kGeneric{};

}  // namespace

const DeviceProfile& deviceProfile(std::int64_t device_type) {
  for (const DeviceProfile& profile : kProfiles) {
    if (profile.type == device_type) return profile;
  }
  return kGeneric;
}

bool hasDeviceProfile(std::int64_t device_type) {
  return &deviceProfile(device_type) != &kGeneric;
}

std::vector<std::int64_t> profiledDeviceTypes() {
  std::vector<std::int64_t> types;
  for (const DeviceProfile& profile : kProfiles) types.push_back(profile.type);
  return types;
}

std::vector<std::int64_t> initAcceptedTypes() {
  std::vector<std::int64_t> types;
  for (const DeviceProfile& profile : kProfiles) {
    if (profile.init_accepted) types.push_back(profile.type);
  }
  return types;
}

}  // namespace kestrix::flash
