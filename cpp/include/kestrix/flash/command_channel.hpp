// The one path of every command the tool sends to a device: lock-step exchanges (a command, then
// its reply) and windows of several commands in flight. It owns what each command needs whatever
// it is: the cancellation check around every wait, the count of commands sent, the line end, the
// text check of replies and the debug log of raw replies.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/connection.hpp"
#include "kestrix/contracts/host.hpp"

namespace kestrix::flash {

// The most a raw reply may be unless a caller allows more.
inline constexpr std::size_t kRecvSize = 1024;

class CommandChannel {
 public:
  // Sends over `connection`; logs to, and runs the cancellation check of, `host`.
  CommandChannel(std::shared_ptr<Connection> connection, std::shared_ptr<Host> host);
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Sends `command` and returns the reply text ("" when there is none). Throws DecodeError for a
  // reply that is not UTF-8, ProtocolError for one that is not text, and what the connection
  // throws.
  std::string exchange(std::string_view command);
  // Sends `command` raw and returns its reply frame less its first 4 and last 2 bytes (the block
  // header of a page and CR LF; empty for a frame of 6 bytes or fewer), logged when `log_reply`.
  Bytes exchangeRaw(std::string_view command, bool log_reply = false, std::size_t size = kRecvSize);
  // One reply frame: whole and checked to be UTF-8 when `decode`, else as exchangeRaw cuts it.
  Bytes receive(bool log_reply, std::size_t size, bool decode);

  // Several commands in flight: sent without waiting, their replies read back in order, as a
  // stream the pipeline runs (Connection::Pipeline::run), on the caller's thread or an event
  // loop's. The commands are counted as they go; every wait runs the cancellation check.
  class Window {
   public:
    Window(CommandChannel& channel, std::unique_ptr<Connection::Pipeline> pipe)
        : channel_(channel), pipe_(std::move(pipe)) {}
    // Runs `stream` to its end with what the channel does to every command: the stream gives its
    // commands without their line end, and takes its raw replies cut as exchangeRaw() cuts them.
    void run(Connection::Stream& stream);

   private:
    CommandChannel& channel_;
    std::unique_ptr<Connection::Pipeline> pipe_;
  };
  // A window, or null when the connection cannot keep several commands in flight.
  std::unique_ptr<Window> openWindow();

  // The token whose raising stops every wait of the channel; the host's interrupt check runs too.
  void setCancelToken(CancelToken token);
  CancelToken cancelToken() const;
  // Throws when the token is raised or the host asks to stop.
  void checkCancelled();

  std::uint64_t commandsSent() const { return sent_.load(std::memory_order_relaxed); }
  const std::shared_ptr<Connection>& connection() const { return connection_; }
  Host& host() const { return *host_; }

 private:
  // The frame as callers get it, see receive().
  Bytes cutFrame(Bytes frame, bool log_reply, bool decode);
  // A raw reply frame less its block header and CR LF, as exchangeRaw() returns it.
  static std::string_view pageOf(std::string_view frame);

  std::shared_ptr<Connection> connection_;
  std::shared_ptr<Host> host_;
  mutable std::mutex token_mutex_;
  CancelToken token_;
  std::atomic<std::uint64_t> sent_{0};
};

}  // namespace kestrix::flash
