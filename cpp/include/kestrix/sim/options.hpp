// The command line of kestrix-sim, parsed into the settings of the device, its faults and the
// server. Pure, so tests check it without starting a process.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kestrix/sim/device.hpp"
#include "kestrix/sim/server.hpp"
#include "kestrix/sim/session.hpp"

namespace kestrix::sim {

struct SimOptions {
  DeviceOptions device;
  DeviceFaults device_faults;
  LinkFaults link_faults;
  ServerOptions server;
  // Independent devices served, on consecutive ports from server.port (or each on a free port
  // when it is 0); each has its own flash and its own copy of the faults.
  unsigned count = 1;
  // The flash is loaded from this file at start (when it exists) and saved to it after every
  // client that changed it and at exit. With more than one device see flashFileOf().
  std::optional<std::string> flash_file;
  // Stop (as on SIGTERM) when the process that started the simulator ends, so a tool that is
  // killed does not leave its simulated devices running.
  bool exit_with_parent = false;
  bool help = false;
};

// Parses the arguments after the program name. A flag given twice takes its last value. Numbers
// are decimal or 0x-prefixed hexadecimal. Throws std::invalid_argument naming the bad flag.
SimOptions parseOptions(const std::vector<std::string>& args);

// The flash file of device `index` (from 0): flash_file itself for a single device, and
// "<flash_file>.<index>" when there are several; nothing without a flash file.
std::optional<std::string> flashFileOf(const SimOptions& options, unsigned index);

// The settings of device `index` (from 0): `device` itself for a single device; when there are
// several, device I answers GET_SN with "<serial>-I", so records and summaries tell them apart.
DeviceOptions deviceOptionsOf(const SimOptions& options, unsigned index);

// The --help text.
std::string usage();

}  // namespace kestrix::sim
