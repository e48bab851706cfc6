#include "kestrix/sim/options.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "kestrix/contracts/json.hpp"
#include "kestrix/flash/protocol.hpp"

namespace kestrix::sim {
namespace {

// Large enough for any real configuration flash, small enough never to exhaust the host.
constexpr std::uint64_t kMaxFlashSize = std::uint64_t{1} << 30;

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
       if (size == 0 || size % flash::protocol::kPageSize != 0) {
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
  return o;
}

std::string usage() {
  return R"(usage: kestrix-sim [options]

A simulated beam-forming device: the FPGA configuration controller (flash of 16-byte pages
behind the FPGA_* commands) and the fast beam settings, served over TCP one client at a time.
The first line written is "kestrix-sim listening on HOST:PORT". SIGINT or SIGTERM stops it.

  --host HOST                  address to listen on (127.0.0.1)
  --port PORT                  TCP port, 0 picks a free one (5025)
  --flash-size BYTES           flash size, a multiple of 16 (16777216)
  --flash-file PATH            keep the flash in this file across runs
  --device-id TEXT             FPGA_GET_ID answer (0x0362D093)
  --fpga-version TEXT          GET_FPGA_VER answer (0.2.3.4)
  --version-after-update TEXT  GET_FPGA_VER answer after FPGA_REFRESH
  --fw-version TEXT            GET_FW_VER answer (0.1.0.6)
  --serial TEXT                GET_SN answer (KRX-SIM-0001)
  --fe-info JSON               GET_FE_INFO answer ({"FE0":{"fpga_ver":<fpga version>}})
faults:
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
  SIM_STATS?                   JSON counters: commands, program, refused, read, erase
Numbers are decimal or 0x-prefixed hexadecimal.
)";
}

}  // namespace kestrix::sim
