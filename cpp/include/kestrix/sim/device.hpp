// The simulated device: an FPGA configuration controller in front of a flash of 16-byte pages,
// plus the fast beam settings. It answers one parsed command at a time; it knows nothing of
// sockets, so tests drive it directly.
//
// The controller keeps a page pointer. "FPGA_RST_PAGE_PTR CFG" sets it to 0; an accepted
// "FPGA_PROGRAM" block and every "FPGA_READ" move it on by one page. A refused block leaves it
// where it is, so the host's retry lands on the same page. "FPGA_ERASE <bits>" sets the whole
// flash to 0xFF (and gives its memory back: the flash holds only what was written since, see
// FlashStore). "FPGA_REFRESH" reloads the FPGA: from then on it reports the version it was
// configured to have after an update, when one was given.
//
// "*IDN?" answers "Kestrix,KRX-SIM,<serial>,<firmware version>" so that VISA clients can tell
// what they talk to; it is a device command like the others.
//
// Debug queries of the simulator itself (not part of any real device; fault injection leaves
// them alone and they do not count as commands):
//   "SIM_FLASH_SHA256? [len]"    SHA-256 (lower-case hex) of the first len bytes (default: all)
//   "SIM_FLASH_HEX? offset,len"  the flash bytes as lower-case hex (len at most 4096)
//   "SIM_PAGE_PTR?"              the page pointer, in pages
//   "SIM_STATS?"                 JSON counters: commands, program, refused, read, erase,
//                                stored_beams, reboots
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/flash/device_profile.hpp"
#include "kestrix/sim/command_parser.hpp"
#include "kestrix/sim/flash_store.hpp"

namespace kestrix::sim {

inline constexpr std::size_t kDefaultFlashSize = 16 * 1024 * 1024;

// The "*IDN?" answer, as SCPI instruments give it: "<maker>,<model>,<serial>,<firmware version>"
// (the serial and the control firmware version are the device's own).
inline constexpr std::string_view kIdentify = "*IDN?";
inline constexpr std::string_view kMaker = "Kestrix";
inline constexpr std::string_view kModel = "KRX-SIM";

struct DeviceOptions {
  std::size_t flash_size = kDefaultFlashSize;  // a positive multiple of the page size
  std::string device_id = "0x0362D093";
  // By default the oldest versions the host's update tool accepts for device type 32.
  std::string fpga_version = std::string(flash::kFpgaVerMinDev32);
  std::optional<std::string> version_after_update;
  std::string fw_version = std::string(flash::kFpgaFwVerMin);
  std::string serial = "KRX-SIM-0001";
  // The "GET_FE_INFO" answer (one line of JSON); by default one front end reporting the FPGA
  // version: {"FE0":{"fpga_ver":"<version>"}}.
  std::optional<std::string> fe_info;
};

// Faults the device itself commits. Those of the link (closing, stalling, garbage) belong to
// the session.
struct DeviceFaults {
  // Refuse every block this many times before accepting it.
  unsigned refuse_blocks = 0;
  // Refuse, forever, every block that would write a byte at or after this flash offset.
  std::optional<std::uint64_t> refuse_from;
  // Read back the byte at this flash offset inverted (the flash itself keeps the right value).
  std::optional<std::uint64_t> corrupt_read;
};

struct DeviceStats {
  std::uint64_t commands = 0;  // device commands handled (debug queries not counted)
  std::uint64_t program = 0;   // programming blocks received, refused ones included
  std::uint64_t refused = 0;   // programming blocks refused
  std::uint64_t read = 0;      // read commands answered with a page
  std::uint64_t erase = 0;     // erase commands executed
  std::uint64_t refresh = 0;   // configuration reloads (FPGA_REFRESH)
};

class Device {
 public:
  // Throws std::invalid_argument for a flash size that is zero or not a multiple of 16.
  explicit Device(DeviceOptions options, DeviceFaults faults = {});

  // Executes `command` and appends its whole reply, line end included, to `reply`.
  void handle(const Command& command, std::string& reply);
  // The reply to a line that could not be parsed.
  static void refuse(std::string_view error, std::string& reply);

  // True for the simulator's own debug queries.
  static bool isDebugQuery(std::string_view name);

  const FlashStore& flash() const { return flash_; }
  // Replaces the flash content; throws std::invalid_argument unless the size matches.
  void loadFlash(FlashStore content);
  // True when the flash changed since the last call.
  bool takeFlashChanged();

  std::size_t pagePointer() const { return page_ptr_; }
  const std::string& fpgaVersion() const { return fpga_version_; }
  bool beamPatternStoreEnabled() const { return store_enabled_; }
  bool externalControlEnabled() const { return ext_ctrl_enabled_; }
  int externalControlMode() const { return ext_ctrl_mode_; }
  const DeviceStats& stats() const { return stats_; }

 private:
  using Handler = void (Device::*)(const Command&, std::string&);
  struct Entry {
    std::string_view name;
    Handler handler;
  };
  static const Entry kCommands[];

  // The configuration flash (device_flash.cpp).
  void program(const Command& command, std::string& reply);
  void read(const Command& command, std::string& reply);
  void erase(const Command& command, std::string& reply);
  void resetPagePointer(const Command& command, std::string& reply);
  // The controller and what the device says of itself (device_controller.cpp).
  void ctrlInit(const Command& command, std::string& reply);
  void cfgMode(const Command& command, std::string& reply);
  void done(const Command& command, std::string& reply);
  void refresh(const Command& command, std::string& reply);
  void reinit(const Command& command, std::string& reply);
  void getId(const Command& command, std::string& reply);
  void getFpgaVersion(const Command& command, std::string& reply);
  void getFwVersion(const Command& command, std::string& reply);
  void getSerial(const Command& command, std::string& reply);
  void getFeInfo(const Command& command, std::string& reply);
  void identify(const Command& command, std::string& reply);
  // The fast beam settings (device_fast_beam.cpp).
  void setStoreEnable(const Command& command, std::string& reply);
  void getStoreEnable(const Command& command, std::string& reply);
  void erasePatterns(const Command& command, std::string& reply);
  void storeBeam(const Command& command, std::string& reply);
  void applyBfic(const Command& command, std::string& reply);
  void reboot(const Command& command, std::string& reply);
  void setExtCtrl(const Command& command, std::string& reply);
  void getExtCtrl(const Command& command, std::string& reply);
  // The simulator's debug queries (device_debug.cpp).
  void debugSha256(const Command& command, std::string& reply);
  void debugHex(const Command& command, std::string& reply);
  void debugPagePointer(const Command& command, std::string& reply);
  void debugStats(const Command& command, std::string& reply);

  DeviceOptions options_;
  DeviceFaults faults_;
  FlashStore flash_;
  bool flash_changed_ = false;
  std::size_t page_ptr_ = 0;
  unsigned refusals_here_ = 0;  // refusals of the block at the page pointer so far
  std::string fpga_version_;
  std::string read_header_;  // "#216": every read reply carries one whole page
  bool store_enabled_ = false;
  std::uint64_t stored_beams_ = 0;
  std::uint64_t reboots_ = 0;
  bool ext_ctrl_enabled_ = false;
  int ext_ctrl_mode_ = 0;
  DeviceStats stats_;
};

}  // namespace kestrix::sim
