// kestrix-sim: a simulated beam-forming device on TCP, for tests and demonstrations.
//
// Exit codes: 0 after SIGINT or SIGTERM, 1 when the server cannot start or the flash file cannot
// be read or written, 2 for a bad command line.
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrix/sim/device.hpp"
#include "kestrix/sim/flash_file.hpp"
#include "kestrix/sim/options.hpp"
#include "kestrix/sim/server.hpp"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int run(const kestrix::sim::SimOptions& options) {
  kestrix::sim::Device device(options.device, options.device_faults);
  if (options.flash_file) {
    if (auto content =
            kestrix::sim::readFlashFile(*options.flash_file, options.device.flash_size)) {
      device.loadFlash(std::move(*content));
    }
  }
  const auto save = [&] {
    if (options.flash_file && device.takeFlashChanged()) {
      kestrix::sim::writeFlashFile(*options.flash_file, device.flash());
    }
  };

  kestrix::sim::StopSignals signals;
  kestrix::sim::Server server(options.server, device, options.link_faults);
  // The one line a starter waits for; nothing else goes to standard output while serving.
  std::cout << "kestrix-sim listening on " << server.host() << ":" << server.port() << std::endl;
  server.run(signals.fd(), save);
  save();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  kestrix::sim::SimOptions options;
  try {
    options = kestrix::sim::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "kestrix-sim: " << e.what() << "\n(see kestrix-sim --help)\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << kestrix::sim::usage();
    return 0;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::cerr << "kestrix-sim: " << e.what() << "\n";
    return kExitFailure;
  }
}
