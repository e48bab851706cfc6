// How the simulated device's command handlers answer and read their arguments. Private to the
// device model: the files that hold its commands (device*.cpp) share it, nothing else includes it.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "kestrix/sim/command_parser.hpp"
#include "kestrix/sim/replies.hpp"

namespace kestrix::sim::device_reply {

// One reply line, line end included.
inline void line(std::string& reply, std::string_view text) {
  reply.append(text).append(replies::kLineEnd);
}

inline void ok(std::string& reply) {
  line(reply, replies::kOk);
}

inline void fail(std::string& reply, std::string_view what) {
  reply.append(replies::kErrorPrefix).append(what).append(replies::kLineEnd);
}

inline void flag(std::string& reply, bool on) {
  line(reply, on ? replies::kOn : replies::kOff);
}

// Whole decimal text, nothing else.
inline bool parseNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Commands that take no argument refuse one: a device that ignored it would hide a host bug.
inline bool noArgument(const Command& command, std::string& reply) {
  if (command.argument.empty() && !command.has_block) return true;
  fail(reply, std::string(command.name) + " takes no argument");
  return false;
}

}  // namespace kestrix::sim::device_reply
