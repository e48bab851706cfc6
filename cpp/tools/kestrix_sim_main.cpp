// kestrix-sim: simulated beam-forming devices on TCP, for tests and demonstrations.
//
// --version prints the package's version. Exit codes: 0 after SIGINT or SIGTERM (and for --help
// and --version), 1 when a server cannot start or a flash file cannot be read or written, 2 for a
// bad command line.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/contracts/build_info.hpp"
#include "kestrix/sim/device.hpp"
#include "kestrix/sim/flash_file.hpp"
#include "kestrix/sim/listener.hpp"
#include "kestrix/sim/options.hpp"
#include "kestrix/sim/server.hpp"
#include "kestrix/sim/stop_signals.hpp"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// One simulated device and where its flash is kept.
struct Unit {
  std::unique_ptr<kestrix::sim::Device> device;
  std::optional<std::string> flash_file;

  void load() {
    if (!flash_file) return;
    kestrix::sim::FlashStore content(device->flash().size());
    if (kestrix::sim::readFlashFile(*flash_file, content)) device->loadFlash(std::move(content));
  }
  void save() const {
    if (flash_file && device->takeFlashChanged()) {
      kestrix::sim::writeFlashFile(*flash_file, device->flash());
    }
  }
};

int run(const kestrix::sim::SimOptions& options) {
  if (options.exit_with_parent) {
    // SIGTERM, which stops the simulator cleanly, when the starting thread's process ends; one
    // that ended before this line leaves the simulator to init.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (parent == 1) return 0;
  }
  std::vector<Unit> units;
  for (unsigned i = 0; i < options.count; ++i) {
    Unit unit{std::make_unique<kestrix::sim::Device>(kestrix::sim::deviceOptionsOf(options, i),
                                                     options.device_faults),
              kestrix::sim::flashFileOf(options, i)};
    unit.load();
    units.push_back(std::move(unit));
  }

  kestrix::sim::StopSignals signals;
  // Every device is served by this one thread, in one event loop. One wake-up serves every client
  // that is ready, whatever its device, and the simulator never takes more than one core from the
  // host beside it. With 16 devices each driven by a minimal client on 2 cores it spent about
  // 4-7 us of CPU per exchange where a thread per device spent 6-10 us. It also runs every
  // device's commands and flash saves without a lock.
  kestrix::sim::Server server(options.server);
  std::vector<kestrix::sim::Listener> listeners;
  for (unsigned i = 0; i < options.count; ++i) {
    const int port = options.server.port == 0 ? 0 : options.server.port + static_cast<int>(i);
    listeners.emplace_back(options.server.host, port);
  }
  // The lines a starter waits for, all before serving; nothing else goes to standard output.
  for (const auto& listener : listeners) {
    std::cout << "kestrix-sim listening on " << listener.host() << ":" << listener.port() << "\n";
  }
  std::cout << std::flush;
  for (unsigned i = 0; i < options.count; ++i) {
    const Unit& unit = units[i];
    server.addDevice(std::move(listeners[i]), *unit.device, options.link_faults,
                     [&unit] { unit.save(); });
  }
  server.run(signals.fd());
  for (const Unit& unit : units) unit.save();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The version of the package the simulator was built with, wherever the flag stands.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      std::cout << "kestrix-sim " << kestrix::toolVersion() << "\n";
      return 0;
    }
  }
  kestrix::sim::SimOptions options;
  try {
    options = kestrix::sim::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "kestrix-sim: " << e.what() << "\n(see kestrix-sim --help)\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << kestrix::sim::usage() << "--version prints the version and exits.\n";
    return 0;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::cerr << "kestrix-sim: " << e.what() << "\n";
    return kExitFailure;
  }
}
