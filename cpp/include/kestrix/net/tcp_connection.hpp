// A device connection over TCP.
//
// Framing:
//  - sendCmd writes one command line and reads one reply line: bytes up to and including LF. The
//    reply text is returned without its trailing CR LF (or LF) as the string payload of the record;
//    it must be UTF-8 (DecodeError otherwise, with the line consumed). A line given without a line
//    end gets CR LF appended, so callers may pass the bare command.
//  - sendRawBytes writes bytes and reads nothing.
//  - recvRawBytes reads one whole reply frame. A frame that starts with '#' is an IEEE 488.2
//    definite-length block ('#', one digit d, d length digits, the data, CR LF), read by its
//    header, so data bytes that happen to be CR or LF never cut it short; any other frame is one
//    line up to and including LF. The frame is returned whole, header and CR LF included.
// Failures: a reply that does not come within `timeout` seconds throws TimeoutError; a peer that
// closes or resets the link throws ConnectionError; a frame longer than the caller allows or a
// malformed block header throws ProtocolError (the rest of the frame is drained first when its
// end can be found). A refused or unreachable address makes initConnection() return false.
// After a time-out, a lost link, a frame whose end cannot be found or a wait cancelled by the
// thread's cancellation check, the connection closes itself: a late or half-read reply would
// otherwise be taken for the answer to the next command. Every command on a closed connection
// throws ConnectionError; initConnection() opens it again.
//
// Threads: one command/reply exchange (sendCmd, queryRaw) is atomic, so threads that share the
// connection take turns and each gets its own reply. closeConnection() from another thread wakes
// a caller that is waiting for a reply (it fails with ConnectionError) instead of waiting for it.
// Waits run the thread's cancellation check (kestrix/contracts/cancel.hpp).
//
// A pipeline's stream (Connection::Pipeline::run) runs on the calling thread, or, when the options
// name an event loop, on one of the loop's threads while the caller waits: the same commands,
// replies, time-outs and failures either way.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "kestrix/contracts/connection.hpp"
#include "kestrix/net/byte_buffer.hpp"
#include "kestrix/net/event_loop.hpp"
#include "kestrix/net/socket.hpp"
#include "kestrix/wire/reply_frame.hpp"

namespace kestrix::net {

// Seconds a connection waits, unless told otherwise: to connect, and for each reply.
inline constexpr double kDefaultConnectTimeout = 5.0;
inline constexpr double kDefaultReplyTimeout = 10.0;

struct TcpOptions {
  double connect_timeout = kDefaultConnectTimeout;  // seconds to establish the link
  double timeout = kDefaultReplyTimeout;  // seconds to wait for each reply (and a blocked send)
  // Drives the pipelines' streams when given (shared by many connections); else each runs on
  // its caller's thread.
  std::shared_ptr<EventLoop> loop;
};

// Makes unopened TCP connections with `options`, for a tool that opens its own.
ConnectionFactory tcpConnectionFactory(TcpOptions options = {});

class TcpConnection : public Connection {
 public:
  // Throws std::invalid_argument unless both time-outs are positive (infinity waits forever).
  TcpConnection(std::string address, int port, TcpOptions options = {});
  ~TcpConnection() override = default;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // True once connected (also when already open). False when the address does not resolve, the
  // port is out of range, or every address refuses or does not answer within connect_timeout.
  bool initConnection() override;
  // Why the last initConnection() returned false, for people: "connection refused by HOST:PORT",
  // "name 'HOST' not resolved: ...", "no answer from HOST:PORT within 5 s", ...
  std::string connectError() const;
  RetType sendCmd(std::string_view line, RspType rsp_type) override;
  void sendRawBytes(std::string_view bytes) override;
  // One whole frame of at most `size` bytes (see the framing above).
  Bytes recvRawBytes(std::size_t size) override;
  Bytes queryRaw(std::string_view line, std::size_t size) override;
  void closeConnection() override;
  std::unique_ptr<Pipeline> pipeline() override;

  bool isOpen() const;
  const std::string& address() const { return address_; }
  int port() const { return port_; }
  const TcpOptions& options() const { return options_; }

 private:
  class TcpPipeline;
  class LoopTransfer;

  // The members below run with exchange_ held.
  void closeLocked();
  // The next reply line as text, without its line end.
  std::string receiveLine();
  // A reply line's text: `frame` less its LF and a CR before it.
  static std::string_view lineText(std::string_view frame);
  void requireOpen(const char* operation) const;
  // Writes all of `bytes`; with `read_while_blocked`, replies that arrive while the socket takes
  // no more are read into the buffer (a pipeline's batch must not wait on the device's replies).
  void sendAll(std::string_view bytes, bool read_while_blocked = false);
  void waitToSendOrReceive(const Deadline& deadline);
  // Whether a whole reply frame is in the buffer.
  bool replyBuffered() const;
  Bytes receiveFrame(std::size_t size);
  // Receives more bytes into the buffer, waiting until `deadline`.
  void fill(const Deadline& deadline);
  // Sets the socket's receive time-out to `millis` (-1: none) unless it already is close to it.
  void armReceiveTimeout(int millis);
  // Length of the frame at the front of the buffer (a line whatever its first byte when
  // `line_only`), receiving until it is complete. A refused frame is dropped, or the link closed
  // when its end cannot be found, and thrown as ProtocolError.
  std::size_t frameLength(bool line_only, std::size_t max_length, const Deadline& deadline);
  [[noreturn]] void refuseFrame(const wire::FrameScan& scan, std::size_t max_length,
                                const Deadline& deadline);
  // Drops `n` bytes of the stream, receiving them first as needed.
  void drain(std::size_t n, const Deadline& deadline);
  // Why a frame was refused, for people.
  std::string frameFault(const wire::FrameScan& scan, std::size_t max_length) const;
  std::string noReplyText() const;
  std::string notTakenText() const;
  std::string closedText() const;
  // "<action> HOST:PORT failed: <strerror(err)>", action "send to", "receive from", ...
  std::string failedText(const char* action, int err) const;
  // Throws TimeoutError or ConnectionError saying `what`; fail() closes the link first.
  [[noreturn]] static void raise(const std::string& what, bool timed_out);
  [[noreturn]] void fail(const std::string& what, bool timed_out);
  std::string peer() const;

  std::string address_;
  int port_;
  TcpOptions options_;
  // Held for a whole exchange. Every member below it belongs to the holder.
  mutable std::mutex exchange_;
  // Held while fd_ changes, and by closeConnection() to shut the socket down under a waiter.
  mutable std::mutex fd_mutex_;
  UniqueFd fd_;
  ByteBuffer buffer_;            // received, not yet handed out
  int receive_timeout_ms_ = -1;  // what SO_RCVTIMEO is set to (-1: no limit)
  std::string scratch_;          // a command line with its CR LF added, reused across commands
  std::string connect_error_;    // why the last connect failed
};

}  // namespace kestrix::net
