// Why an update did not succeed, as values callers branch on; messages are for people. Tools map
// a failure's category to what they do (kestrix-flash: its exit status), never its message text.
#pragma once

#include <string_view>

namespace kestrix::flash {

// What the caller can do about a failure.
enum class FailureCategory {
  kNone,         // no failure
  kInput,        // the image, the device type or the request: fix it and run again
  kDevice,       // the device cannot be reached, is busy or stopped answering properly
  kUpdate,       // the device refused the update or the flash did not verify
  kInterrupted,  // stopped on request; the flash may be incomplete
};

enum class Failure {
  kNone,
  // Found without the device.
  kImageMissing,           // no image path, or nothing at it
  kImageInvalid,           // not a .bin or .tbin, not a regular file, empty, unreadable, too large
  kImageRejected,          // the tbin header does not parse or a digest does not match
  kImageDeviceType,        // the image is made for other device types
  kImageUntrusted,         // keys are trusted and the image's signature does not satisfy them
  kDeviceTypeUnsupported,  // initialisation does not accept the device type
  kDuplicateDevice,        // another entry of the list reached the same device first
  kDowngradeRefused,       // the image is older than the version the FPGA runs, and downgrades
                           // were not allowed
  // Reaching the device.
  kUnreachable,     // refused, name not resolved, no route, no answer to the connect
  kDeviceBusy,      // another client is connected
  kTimeout,         // no answer within the time-out
  kConnectionLost,  // the device closed or reset the link
  kProtocol,        // an answer the protocol does not allow
  // The update itself.
  kVersionTooLow,    // the FPGA version is below the minimum initialisation accepts
  kBlockRefused,     // the controller kept refusing a block
  kVerifyFailed,     // the flash did not read back as written
  kVersionMismatch,  // the flash holds the image, but the FPGA runs another version than it
                     // declares
  kUpdateFailed,     // anything else that stopped the update (a progress callback's error, ...)
  kHostResources,    // this host ran out of descriptors or memory for the device's link
  kSkipped,          // not started: the canary devices or too many others failed first
  kInterrupted,
};

struct FailureInfo {
  Failure failure;
  std::string_view name;  // "block-refused": stable, for records and scripts
  FailureCategory category;
};

// Every failure with its name and category, in declaration order.
inline constexpr FailureInfo kFailures[] = {
    {Failure::kNone, "none", FailureCategory::kNone},
    {Failure::kImageMissing, "image-missing", FailureCategory::kInput},
    {Failure::kImageInvalid, "image-invalid", FailureCategory::kInput},
    {Failure::kImageRejected, "image-rejected", FailureCategory::kInput},
    {Failure::kImageDeviceType, "image-device-type", FailureCategory::kInput},
    {Failure::kImageUntrusted, "image-untrusted", FailureCategory::kInput},
    {Failure::kDeviceTypeUnsupported, "device-type-unsupported", FailureCategory::kInput},
    {Failure::kDuplicateDevice, "duplicate-device", FailureCategory::kInput},
    {Failure::kDowngradeRefused, "downgrade-refused", FailureCategory::kInput},
    {Failure::kUnreachable, "unreachable", FailureCategory::kDevice},
    {Failure::kDeviceBusy, "device-busy", FailureCategory::kDevice},
    {Failure::kTimeout, "timeout", FailureCategory::kDevice},
    {Failure::kConnectionLost, "connection-lost", FailureCategory::kDevice},
    {Failure::kProtocol, "protocol", FailureCategory::kDevice},
    {Failure::kVersionTooLow, "version-too-low", FailureCategory::kUpdate},
    {Failure::kBlockRefused, "block-refused", FailureCategory::kUpdate},
    {Failure::kVerifyFailed, "verify-failed", FailureCategory::kUpdate},
    {Failure::kVersionMismatch, "version-mismatch", FailureCategory::kUpdate},
    {Failure::kUpdateFailed, "update-failed", FailureCategory::kUpdate},
    {Failure::kHostResources, "host-resources", FailureCategory::kUpdate},
    {Failure::kSkipped, "skipped", FailureCategory::kUpdate},
    {Failure::kInterrupted, "interrupted", FailureCategory::kInterrupted},
};

const FailureInfo& failureInfo(Failure failure);

// The workflow's failure texts (the result messages of processFpgaUpdate).
namespace messages {
inline constexpr std::string_view kPathNotProvided = "FPGA image path is not provided.";
inline constexpr std::string_view kFileCheckFailed = "FPGA update file check failed.";
inline constexpr std::string_view kHeaderCheckFailed = "FPGA image header check failed.";
inline constexpr std::string_view kProcessFailed = "FPGA update process failed.";
}  // namespace messages

}  // namespace kestrix::flash
