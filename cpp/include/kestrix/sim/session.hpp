// One client's conversation with the simulated device: bytes in, replies out, no sockets. It also
// commits the faults of the link: closing it, going silent, answering garbage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/sim/device.hpp"

namespace kestrix::sim {

struct LinkFaults {
  // Close the connection once this many commands have been answered.
  std::optional<std::uint64_t> close_after;
  // Answer this many commands, then read and drop everything, keeping the connection open.
  std::optional<std::uint64_t> stall_after;
  // Answer every command with garbage (the device still carries it out).
  bool garbage = false;
};

class Session {
 public:
  Session(Device& device, LinkFaults faults);

  // Handles the complete commands at the front of `input`, appending their replies to `output`,
  // and stops before the next command once `output` holds `output_limit` bytes or more. Returns
  // the bytes consumed; the rest (a command still arriving, or those left for the limit) must be
  // offered again, with any further bytes after it.
  std::size_t feed(std::string_view input, std::string& output,
                   std::size_t output_limit = std::numeric_limits<std::size_t>::max());

  // The connection should be closed now (after sending what feed() produced).
  bool wantsClose() const { return close_; }
  std::uint64_t answered() const { return answered_; }

 private:
  void answer(const Command* command, std::string_view error, std::string& output);

  Device& device_;
  LinkFaults faults_;
  std::uint64_t answered_ = 0;  // commands answered, debug queries not counted
  bool discarding_ = false;     // dropping the rest of a refused line
  bool close_ = false;
  std::string discarded_;  // the real replies a garbage-talking link throws away
};

}  // namespace kestrix::sim
