// Fast beam steering rules, written once for every face of the library: the device command table,
// the command line a device class sends, the external control text and its read-back, the lazily
// made beam pattern manager, the beam pattern setup sequence and fast parallel mode.
//
// The sequences are templates over a small device interface, so the C++ base class and the Python
// module run the same code over their own result records and their own failures. A device, as
// these templates see it, offers (each template uses only the members it needs):
//
//   using Result = ...;                                  the device's result record
//   bool succeeded(const Result& r);                     is r's code the success member?
//   Result setBeamPatternEnable(std::string_view flag);  hook `_setBeamPatternEnable`
//   Result eraseBeamPattern(int user_delay);             hook `_eraseBeamPattern`
//   void applyBeamPatternToBFIC(int user_delay);         hook `_applyBeamPatternToBFIC`
//   Result getExtCtrl();                                 hook `_getExtCtrl`
//   Result setExtCtrl(const std::string& text);          hook `_setExtCtrl`
//   bool extCtrlState(const Result& r);                  r's payload read as on (nonzero) / off
//   Result successResult();                              a fresh success record, no payload
//   Result flagResult(bool flag);                        a fresh success record carrying flag
//   void setExternalControlEnabled(bool enabled);        the device object's public field
//
// and, optionally, `void cleanupRaised(std::exception_ptr earlier)`: called, while a failure
// raised by the setup sequence's cleanup is being handled, with the failure the cleanup replaces,
// so that a face with chained exceptions (Python) can keep the first one as context.
//
// Failures are whatever the device's calls throw; nothing here catches one for good or logs.
#pragma once

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "kestrix/contracts/rsp_type.hpp"

namespace kestrix::lobesteer {

// Start / end marker of a beam sequence; exported for the package's device classes.
enum class StartEndEnum : int { OTHER = 0, START = 1, END = 2, START_END = 3 };

// One entry of the device command table: the hook that reaches the device, the command text it
// sends (a query is the setting command followed by "?") and how the reply comes back.
struct FbsCommand {
  std::string_view hook;
  std::string_view command;
  RspType rsp_type;
};

inline constexpr std::array<FbsCommand, 8> kFbsCommandTable = {{
    {"_getExtCtrl", "ExtCtrl_EN?", RspType::RSP_STRING},
    {"_setExtCtrl", "ExtCtrl_EN", RspType::RSP_STRING},
    {"_setBeamPatternEnable", "BEAM_PATTERN_STORE_EN", RspType::RSP_STRING},
    {"_getBeamPatternEnable", "BEAM_PATTERN_STORE_EN?", RspType::RSP_STRING},
    {"_eraseBeamPattern", "BEAM_PATTERN_ERASE", RspType::RSP_STRING},
    {"_setBeamPatternStoreTDBS", "BEAM_PATTERN_STORE_TDBS_BEAM", RspType::RSP_STRING},
    {"_setBeamPatternStoreFBS", "BEAM_PATTERN_STORE_FBS_BEAM", RspType::RSP_STRING},
    {"_applyBeamPatternToBFIC", "BEAM_PATTERN_APPLY_BFIC", RspType::RSP_STRING},
}};

// The command word of the device's reboot (it reloads its stored beams). Not a table entry: the
// table is the hook map handed out as is, and no hook of it sends this.
inline constexpr std::string_view kRebootCommand = "REBOOT";

// What the setup sequence passes as `user_delay` to the erase and apply hooks; its unit and effect
// belong to the device class.
inline constexpr int kUserDelay = 2;

// Beam pattern storage switch texts: the decimal texts of true and false.
inline constexpr std::string_view kStorageOn = "1";
inline constexpr std::string_view kStorageOff = "0";

// The one argument of `_setExtCtrl`: the enable flag ("1" / "0"), a comma, the mode number in
// decimal; no spaces, no terminator. The mode is sent when switching off too.
std::string externalControlText(bool enable, long long mode);

// Reads the external control state the device reported as text: one decimal integer with an
// optional sign and surrounding white space; zero is off, anything else on. Throws
// std::invalid_argument for any other text (empty, "1,3", "1.0").
bool externalControlState(std::string_view reply);

// One fast beam command line, without its terminator: `command`, or `command`, a space and
// `argument` when the argument is not empty. A CR, LF or NUL would end the line early and let the
// rest reach the device as a command of its own, so either text holding one throws
// std::invalid_argument and nothing is built.
std::string commandLine(std::string_view command, std::string_view argument = {});

// The lazy manager rule. `Slot` offers `bool empty()`, `void store(Handle)` and `Handle get()`.
// The factory runs whenever the stored handle is empty, not only the first time: a factory that
// fails leaves the slot as it was, and one that returns an empty handle is asked again next time.
template <class Slot, class Factory>
decltype(auto) lazyBeamPatternManager(Slot& slot, Factory&& create) {
  if (slot.empty()) slot.store(std::forward<Factory>(create)());
  return slot.get();
}

namespace detail {

template <class Device, class = void>
struct HasCleanupRaised : std::false_type {};
template <class Device>
struct HasCleanupRaised<Device, std::void_t<decltype(std::declval<Device&>().cleanupRaised(
                                    std::declval<std::exception_ptr>()))>> : std::true_type {};

// Storage off, then apply. Their results are never examined; a failure raised by the first one
// means the second is not attempted.
template <class Device>
void cleanUpBeamPatternSetup(Device& device) {
  (void)device.setBeamPatternEnable(kStorageOff);
  device.applyBeamPatternToBFIC(kUserDelay);
}

}  // namespace detail

// Runs `body` inside the beam pattern setup sequence: storage on, erase, body, then storage off
// and apply. A failed (not raised) storage-on or erase record is the result and the body does not
// run. The cleanup runs exactly once whichever way the protected part ends, and the result is the
// record the protected part ended with, unchanged. A failure raised in the protected part continues
// after the cleanup; one raised by the cleanup replaces the result or the earlier failure. No
// nesting guard: a body that runs the sequence again gets a whole inner sequence.
template <class Device, class Body>
typename Device::Result runWithBeamPatternSetup(Device& device, Body&& body) {
  using Result = typename Device::Result;
  std::optional<Result> result;
  try {
    Result ret = device.setBeamPatternEnable(kStorageOn);
    if (device.succeeded(ret)) {
      ret = device.eraseBeamPattern(kUserDelay);
      if (device.succeeded(ret)) ret = std::forward<Body>(body)();
    }
    result.emplace(std::move(ret));
  } catch (...) {
    const std::exception_ptr earlier = std::current_exception();
    try {
      detail::cleanUpBeamPatternSetup(device);
    } catch (...) {
      if constexpr (detail::HasCleanupRaised<Device>::value) device.cleanupRaised(earlier);
      throw;
    }
    throw;
  }
  detail::cleanUpBeamPatternSetup(device);
  return std::move(*result);
}

// getFastParallelMode: asks the device; a failed record comes back unchanged, otherwise a fresh
// success record carrying whether the reported state is nonzero. The device object's field is
// neither read nor written.
template <class Device>
typename Device::Result readFastParallelMode(Device& device) {
  auto ret = device.getExtCtrl();
  if (!device.succeeded(ret)) return ret;
  return device.flagResult(device.extCtrlState(ret));
}

// setFastParallelMode, with the arguments already converted: sends the external control text; on
// success records the requested state in the device object and returns a fresh success record
// without payload (the hook's own record is not passed on); a failed record comes back unchanged
// and the state stays as it was.
template <class Device>
typename Device::Result writeFastParallelMode(Device& device, bool enable, long long mode) {
  const std::string text = externalControlText(enable, mode);
  auto ret = device.setExtCtrl(text);
  if (!device.succeeded(ret)) return ret;
  device.setExternalControlEnabled(enable);
  return device.successResult();
}

}  // namespace kestrix::lobesteer
