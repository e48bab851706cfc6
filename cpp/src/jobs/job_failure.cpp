#include "job_failure.hpp"

#include <new>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/flash/image_limits.hpp"

namespace kestrix::jobs::detail {

using flash::Failure;
using flash::ImageTooLargeError;

void failWith(Failure failure, std::string error, std::optional<std::uint64_t> offset) {
  throw JobFailure{failure, std::move(error), offset};
}

JobFailure classify(const std::exception& error, Host& host) {
  if (host.isCancellation(error)) return {Failure::kInterrupted, host.errorText(error), {}};
  if (const auto* refused = dynamic_cast<const BlockRefusedError*>(&error))
    return {Failure::kBlockRefused, error.what(), refused->offset()};
  if (dynamic_cast<const TimeoutError*>(&error) != nullptr)
    return {Failure::kTimeout, error.what(), {}};
  if (dynamic_cast<const ResourceError*>(&error) != nullptr ||
      dynamic_cast<const std::bad_alloc*>(&error) != nullptr)
    return {Failure::kHostResources,
            std::string("this host ran out of resources for the device's link: ") + error.what() +
                " (fewer devices at once, or a higher limit of open files, would do)",
            {}};
  if (dynamic_cast<const ProtocolError*>(&error) != nullptr)
    return {Failure::kProtocol,
            std::string("the device answered against its protocol: ") + error.what(),
            {}};
  if (dynamic_cast<const ConnectionError*>(&error) != nullptr)
    return {Failure::kConnectionLost, error.what(), {}};
  if (const auto* too_large = dynamic_cast<const ImageTooLargeError*>(&error))
    return {Failure::kImageInvalid, too_large->what(), {}};
  if (dynamic_cast<const FileError*>(&error) != nullptr)
    return {Failure::kImageInvalid, error.what(), {}};
  return {Failure::kUpdateFailed, host.errorText(error), {}};
}

}  // namespace kestrix::jobs::detail
