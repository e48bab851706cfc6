// SIGINT and SIGTERM as a readable descriptor, so that an event loop waiting in poll() sees them
// like any other event.
#pragma once

#include "kestrix/net/socket.hpp"

namespace kestrix::sim {

// Turns SIGINT and SIGTERM into a readable descriptor for as long as it lives (one at a time).
// Also ignores SIGPIPE: writes to a vanished client are reported by send(), and the process must
// not die of them.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable once a stop signal has arrived; it stays readable.
  int fd() const { return read_end_.get(); }

 private:
  net::UniqueFd read_end_;
  net::UniqueFd write_end_;
};

}  // namespace kestrix::sim
