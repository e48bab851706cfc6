#include "kestrix/contracts/cancel.hpp"

#include <utility>

namespace kestrix {
namespace {

thread_local const std::function<void()>* t_check = nullptr;

}  // namespace

void CancelToken::throwIfCancelled() const {
  if (cancelled()) throw CancelledError("operation cancelled");
}

CancellationScope::CancellationScope(std::function<void()> check)
    : check_(std::move(check)), previous_(t_check) {
  t_check = &check_;
}

CancellationScope::~CancellationScope() {
  t_check = previous_;
}

bool cancellationWatched() {
  return t_check != nullptr;
}

void checkCancellation() {
  if (t_check != nullptr) (*t_check)();
}

}  // namespace kestrix
