#include "fleet_host.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <utility>

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"

namespace kestrix::py {

namespace pyb = pybind11;

const pyb::object& realSleep() {
  // Kept for the life of the interpreter, the way pybind11 keeps such objects.
  PYBIND11_CONSTINIT static pyb::gil_safe_call_once_and_store<pyb::object> storage;
  return storage
      .call_once_and_store_result([] { return pyb::module_::import("time").attr("sleep"); })
      .get_stored();
}

FleetDeviceHost::FleetDeviceHost(pyb::object logger, std::string prefix)
    : logger_(std::move(logger)), prefix_(std::move(prefix)) {}

FleetDeviceHost::~FleetDeviceHost() {
  dropReference(logger_);
}

void FleetDeviceHost::sleepSeconds(int seconds) {
  if (const Gil gil; gil) {
    const pyb::object sleep = pyb::module_::import("time").attr("sleep");
    if (!sleep.is(realSleep())) {
      sleep(seconds);
      return;
    }
  }
  ProcessHost::sleepSeconds(seconds);
}

void FleetDeviceHost::log(LogLevel level, std::string_view message) {
  const Gil gil;
  if (!gil) return;
  logger_.attr("log")(static_cast<int>(level), displayText(prefix_ + std::string(message)));
}

bool FleetDeviceHost::logEnabled(LogLevel level) {
  const Gil gil;
  if (!gil) return false;
  return logger_.attr("isEnabledFor")(static_cast<int>(level)).cast<bool>();
}

}  // namespace kestrix::py
