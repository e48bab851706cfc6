#include "kestrix/flash/failure.hpp"

namespace kestrix::flash {

const FailureInfo& failureInfo(Failure failure) {
  for (const FailureInfo& info : kFailures) {
    if (info.failure == failure) return info;
  }
  return kFailures[0];
}

}  // namespace kestrix::flash
