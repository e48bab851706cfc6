// How a job ends when it fails (internal to jobs): a JobFailure thrown inside the job and caught
// once at its end, and the failure an exception from the device's side of the job stands for.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "kestrix/contracts/host.hpp"
#include "kestrix/flash/failure.hpp"

namespace kestrix::jobs::detail {

struct JobFailure {
  flash::Failure failure;
  std::string error;
  // The byte offset the failure is about: the block refused, or the first byte read back wrong.
  std::optional<std::uint64_t> offset;
};

[[noreturn]] void failWith(flash::Failure failure, std::string error,
                           std::optional<std::uint64_t> offset = std::nullopt);

// The failure `error` stands for: a cancellation the host asked for, a refused block, a silent
// or closed link, a host out of descriptors, a protocol fault, a file that failed, or else the
// update failed with the host's words for the error.
JobFailure classify(const std::exception& error, Host& host);

}  // namespace kestrix::jobs::detail
