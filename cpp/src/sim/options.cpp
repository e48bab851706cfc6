#include "kestrix/sim/options.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "kestrix/contracts/json.hpp"
#include "kestrix/sim/replies.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim {
namespace {

// Large enough for any real configuration flash, small enough never to exhaust the host.
constexpr std::uint64_t kMaxFlashSize = std::uint64_t{1} << 30;
// Devices one process serves: each has its own flash, so this bounds the memory too.
constexpr std::uint64_t kMaxCount = 1024;
// Beyond these a setting is surely a typo, and the clock arithmetic stays far from overflow.
constexpr std::uint64_t kMaxIdleSeconds = 7 * 24 * 3600;
constexpr std::uint64_t kMaxLatencyMicros = 60'000'000;

std::uint64_t number(const std::string& flag, const std::string& text, std::uint64_t max) {
  // strtoull accepts a sign and leading space; a count or an offset has neither.
  if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0]))) {
    throw std::invalid_argument(flag + " needs a number, not '" + text + "'");
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end != text.c_str() + text.size()) {
    throw std::invalid_argument(flag + " needs a number, not '" + text + "'");
  }
  if (value > max) {
    throw std::invalid_argument(flag + " must be at most " + std::to_string(max));
  }
  return value;
}

std::string compactJson(const std::string& flag, const std::string& text) {
  const Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) throw std::invalid_argument(flag + " needs JSON text");
  // One line: the reply must not carry a line end of its own.
  return parsed.dump();
}

// A text reply must fit on one line.
std::string oneLine(const std::string& flag, const std::string& text) {
  if (text.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument(flag + " must not contain a line break");
  }
  return text;
}

// The flags that take a value, each with what it sets. A flag given twice takes its last value.
using Setter = void (*)(SimOptions& o, const std::string& flag, const std::string& value);
struct ValueFlag {
  std::string_view name;
  Setter set;
};

constexpr auto kAny = std::numeric_limits<std::uint64_t>::max();

const ValueFlag kValueFlags[] = {
    {"--host", [](SimOptions& o, const std::string&, const std::string& v) { o.server.host = v; }},
    {"--port", [](SimOptions& o, const std::string& f,
                  const std::string& v) { o.server.port = static_cast<int>(number(f, v, 65535)); }},
    {"--flash-size",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       const std::uint64_t size = number(f, v, kMaxFlashSize);
       if (size == 0 || size % wire::kPageSize != 0) {
         throw std::invalid_argument(f + " must be a positive multiple of 16");
       }
       o.device.flash_size = static_cast<std::size_t>(size);
     }},
    {"--flash-file",
     [](SimOptions& o, const std::string&, const std::string& v) { o.flash_file = v; }},
    {"--device-id", [](SimOptions& o, const std::string& f,
                       const std::string& v) { o.device.device_id = oneLine(f, v); }},
    {"--fpga-version", [](SimOptions& o, const std::string& f,
                          const std::string& v) { o.device.fpga_version = oneLine(f, v); }},
    {"--version-after-update",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       o.device.version_after_update = oneLine(f, v);
     }},
    {"--fw-version", [](SimOptions& o, const std::string& f,
                        const std::string& v) { o.device.fw_version = oneLine(f, v); }},
    {"--serial", [](SimOptions& o, const std::string& f,
                    const std::string& v) { o.device.serial = oneLine(f, v); }},
    {"--fe-info", [](SimOptions& o, const std::string& f,
                     const std::string& v) { o.device.fe_info = compactJson(f, v); }},
    {"--refuse-blocks",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       o.device_faults.refuse_blocks =
           static_cast<unsigned>(number(f, v, std::numeric_limits<unsigned>::max()));
     }},
    {"--refuse-from",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       o.device_faults.refuse_from = number(f, v, kAny);
     }},
    {"--corrupt-read",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       o.device_faults.corrupt_read = number(f, v, kAny);
     }},
    {"--close-after", [](SimOptions& o, const std::string& f,
                         const std::string& v) { o.link_faults.close_after = number(f, v, kAny); }},
    {"--stall-after", [](SimOptions& o, const std::string& f,
                         const std::string& v) { o.link_faults.stall_after = number(f, v, kAny); }},
    {"--count",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       const std::uint64_t count = number(f, v, kMaxCount);
       if (count == 0) throw std::invalid_argument(f + " must be at least 1");
       o.count = static_cast<unsigned>(count);
     }},
    {"--max-clients",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       o.server.max_clients =
           static_cast<unsigned>(number(f, v, std::numeric_limits<unsigned>::max()));
     }},
    {"--idle-timeout",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       o.server.idle_timeout = std::chrono::seconds(number(f, v, kMaxIdleSeconds));
     }},
    {"--latency-us",
     [](SimOptions& o, const std::string& f, const std::string& v) {
       o.server.latency = std::chrono::microseconds(number(f, v, kMaxLatencyMicros));
     }},
};

}  // namespace

SimOptions parseOptions(const std::vector<std::string>& args) {
  SimOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "-h" || flag == "--help") {
      o.help = true;
      continue;
    }
    if (flag == "--garbage") {
      o.link_faults.garbage = true;
      continue;
    }
    if (flag == "--exit-with-parent") {
      o.exit_with_parent = true;
      continue;
    }
    const auto* known = std::find_if(std::begin(kValueFlags), std::end(kValueFlags),
                                     [&](const ValueFlag& f) { return f.name == flag; });
    if (known == std::end(kValueFlags)) {
      if (flag.rfind("--", 0) != 0)
        throw std::invalid_argument("unexpected argument '" + flag + "'");
      throw std::invalid_argument("unknown option " + flag);
    }
    if (i + 1 >= args.size()) throw std::invalid_argument(flag + " needs a value");
    known->set(o, flag, args[++i]);
  }
  if (o.server.port != 0 && o.server.port + (o.count - 1) > 65535) {
    throw std::invalid_argument("--count " + std::to_string(o.count) + " devices from --port " +
                                std::to_string(o.server.port) + " run past port 65535");
  }
  return o;
}

std::optional<std::string> flashFileOf(const SimOptions& options, unsigned index) {
  if (!options.flash_file) return std::nullopt;
  if (options.count == 1) return *options.flash_file;
  return *options.flash_file + "." + std::to_string(index);
}

DeviceOptions deviceOptionsOf(const SimOptions& options, unsigned index) {
  DeviceOptions device = options.device;
  if (options.count > 1) device.serial += "-" + std::to_string(index);
  return device;
}

std::string usage() {
  const DeviceOptions device;
  const ServerOptions server;
  std::string text = R"(usage: kestrix-sim [options]

Simulated beam-forming devices. Each is an FPGA configuration controller (flash of 16-byte pages
behind the FPGA_* commands) with the fast beam settings, served over TCP to any number of clients
at once; every command is carried out whole before the next. One line
"kestrix-sim listening on HOST:PORT" is written per device, in device order, before any of them
serves. SIGINT or SIGTERM stops it.

  --host HOST                  address to listen on (@HOST@)
  --port PORT                  TCP port of the first device, 0 picks a free one for each (@PORT@)
  --count N                    serve N independent devices, on ports PORT to PORT+N-1 (1)
  --flash-size BYTES           flash size, a multiple of 16 (@FLASH_SIZE@); memory is taken in
                               chunks as the flash is written, and an erase gives it back
  --flash-file PATH            keep the flash in this file across runs; with --count above 1,
                               device I (0 to N-1) keeps its flash in PATH.I
  --exit-with-parent           stop as on SIGTERM when the process that started it ends
  --device-id TEXT             FPGA_GET_ID answer (@DEVICE_ID@)
  --fpga-version TEXT          GET_FPGA_VER answer (@FPGA_VERSION@)
  --version-after-update TEXT  GET_FPGA_VER answer after FPGA_REFRESH
  --fw-version TEXT            GET_FW_VER answer (@FW_VERSION@)
  --serial TEXT                GET_SN answer (@SERIAL@); with --count above 1, device I
                               answers TEXT-I
  --fe-info JSON               GET_FE_INFO answer ({"FE0":{"fpga_ver":<fpga version>}})
  *IDN? is answered "@MAKER@,@MODEL@,<serial>,<fw version>".
clients (of each device):
  --max-clients N              clients served at once (0: no limit); one more gets the line
                               "ERR @BUSY@" and is closed
  --idle-timeout SECONDS       close a client that has sent and taken nothing for this long
                               (@IDLE@; 0: never)
  --latency-us MICROSECONDS    send each reply this long after its command came in, each reply
                               on its own clock: never early, late by at most an eighth of it
                               (1 us to 1 ms), so that replies due together go out together (0)
  A client is not read while @CAP_MIB@ MiB of its replies wait for it to take them.
faults (every device has its own; the link faults apply to each client on its own):
  --refuse-blocks N            refuse every programming block N times (reply 1), then accept it
  --refuse-from OFFSET         refuse forever every block that writes at or after OFFSET
  --corrupt-read OFFSET        read back the byte at flash OFFSET inverted
  --close-after N              close the connection after answering N commands
  --stall-after N              answer N commands, then stay silent with the connection open
  --garbage                    answer every command with garbage
debug queries (exempt from faults, not counted as commands):
  SIM_FLASH_SHA256? [LEN]      SHA-256 hex of the first LEN flash bytes (all by default)
  SIM_FLASH_HEX? OFFSET,LEN    flash bytes as hex, LEN up to 4096
  SIM_PAGE_PTR?                page pointer, in pages
  SIM_STATS?                   JSON counters: commands, program, refused, read, erase,
                               stored_beams, reboots
Numbers are decimal or 0x-prefixed hexadecimal.
)";
  const std::pair<std::string_view, std::string> values[] = {
      {"@HOST@", server.host},
      {"@PORT@", std::to_string(server.port)},
      {"@FLASH_SIZE@", std::to_string(device.flash_size)},
      {"@DEVICE_ID@", device.device_id},
      {"@FPGA_VERSION@", device.fpga_version},
      {"@FW_VERSION@", device.fw_version},
      {"@SERIAL@", device.serial},
      {"@MAKER@", std::string(kMaker)},
      {"@MODEL@", std::string(kModel)},
      {"@BUSY@", std::string(replies::kBusy)},
      {"@IDLE@", std::to_string(server.idle_timeout.count())},
      {"@CAP_MIB@", std::to_string(kMaxPendingOutput >> 20)},
  };
  for (const auto& [key, value] : values) {
    const std::size_t at = text.find(key);
    if (at != std::string::npos) text.replace(at, key.size(), value);
  }
  return text;
}

}  // namespace kestrix::sim
