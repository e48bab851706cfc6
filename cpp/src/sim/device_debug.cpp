// The simulator's own debug queries (SIM_*): the flash's digest and bytes, the page pointer and
// the counters, for tests to look inside the device.
#include "kestrix/sim/device.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device_reply.hpp"
#include "kestrix/contracts/json.hpp"
#include "kestrix/crypto/sha256.hpp"

namespace kestrix::sim {

using device_reply::fail;
using device_reply::line;
using device_reply::noArgument;
using device_reply::parseNumber;

namespace {

constexpr std::size_t kMaxHexDump = 4096;

}  // namespace

void Device::debugSha256(const Command& command, std::string& reply) {
  std::uint64_t length = flash_.size();
  if (!command.argument.empty() &&
      (!parseNumber(command.argument, &length) || length > flash_.size())) {
    fail(reply, "length must be a number up to the flash size");
    return;
  }
  crypto::Sha256 hasher;
  flash_.visit(0, length, [&hasher](std::string_view piece) { hasher.update(piece); });
  line(reply, hasher.hexdigest());
}

void Device::debugHex(const Command& command, std::string& reply) {
  const std::string_view arg = command.argument;
  const std::size_t comma = arg.find(',');
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  if (comma == std::string_view::npos || !parseNumber(arg.substr(0, comma), &offset) ||
      !parseNumber(arg.substr(comma + 1), &length) || length > kMaxHexDump ||
      offset > flash_.size() || length > flash_.size() - offset) {
    fail(reply, "takes <offset>,<length> inside the flash, length up to 4096");
    return;
  }
  const std::string bytes = flash_.read(offset, length);
  line(reply, crypto::toHex(reinterpret_cast<const unsigned char*>(bytes.data()), length));
}

void Device::debugPagePointer(const Command& command, std::string& reply) {
  if (noArgument(command, reply)) line(reply, std::to_string(page_ptr_));
}

void Device::debugStats(const Command& command, std::string& reply) {
  if (!noArgument(command, reply)) return;
  Json stats = Json::object();
  stats["commands"] = stats_.commands;
  stats["program"] = stats_.program;
  stats["refused"] = stats_.refused;
  stats["read"] = stats_.read;
  stats["erase"] = stats_.erase;
  stats["refresh"] = stats_.refresh;
  stats["stored_beams"] = stored_beams_;
  stats["reboots"] = reboots_;
  line(reply, stats.dump());
}

}  // namespace kestrix::sim
