// The host of one device's job in a fleet run from Python: its messages go to Python's logger
// "FPGA" (prefixed with the device when the fleet has more than one); clocks are the process's
// own, and nothing is printed. Its sleep is time.sleep, looked up when it sleeps, so a test can
// patch it; the real one is served by the process's wait, which a cancelled fleet cuts short.
// Once the interpreter finalises it logs nothing and sleeps without Python.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "kestrix/contracts/host.hpp"

namespace kestrix::py {

class FleetDeviceHost final : public ProcessHost {
 public:
  FleetDeviceHost(pybind11::object logger, std::string prefix);
  ~FleetDeviceHost() override;

  void sleepSeconds(int seconds) override;
  void log(LogLevel level, std::string_view message) override;
  bool logEnabled(LogLevel level) override;
  void writeStdout(std::string_view, bool) override {}

 private:
  pybind11::object logger_;
  std::string prefix_;
};

// time.sleep as the interpreter made it, before anyone could patch it; called once with the GIL
// when the module loads, so later callers find it made.
const pybind11::object& realSleep();

}  // namespace kestrix::py
