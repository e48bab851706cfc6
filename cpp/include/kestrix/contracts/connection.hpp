// The device connection: the one channel through which the library talks to a device.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "kestrix/contracts/ret_type.hpp"
#include "kestrix/contracts/rsp_type.hpp"

namespace kestrix {

// Byte strings travel as std::string: any byte value, NUL included.
using Bytes = std::string;

// The TCP port a device listens on unless told otherwise.
inline constexpr int kDefaultPort = 5025;

class Connection {
 public:
  virtual ~Connection() = default;

  // Opens the link. Returns false when the device cannot be reached; other failures throw.
  virtual bool initConnection() = 0;

  // Sends one command line (ending in CR LF) and returns the device's reply as the text payload
  // of the record: a string, empty when the device sent nothing.
  virtual RetType sendCmd(std::string_view line, RspType rsp_type) = 0;

  // Sends bytes without waiting for anything.
  virtual void sendRawBytes(std::string_view bytes) = 0;

  // Returns one whole reply frame of at most `size` bytes.
  virtual Bytes recvRawBytes(std::size_t size) = 0;

  // One raw exchange: sendRawBytes(line), then recvRawBytes(size). A connection that serves
  // several threads makes the pair atomic, so no other caller's traffic comes between them.
  virtual Bytes queryRaw(std::string_view line, std::size_t size) {
    sendRawBytes(line);
    return recvRawBytes(size);
  }

  // Closes the link; safe to call when it is already closed.
  virtual void closeConnection() = 0;

  // A windowed transfer as the pipeline runs it: the commands to send and what to do with each
  // reply, so that a pipeline may drive it from any thread (an event loop shared by many
  // connections) while the caller's thread waits. next() and take() are called one at a time, in
  // the pipeline's order, on whichever thread drives it; report() always on the caller's thread,
  // possibly while take() runs elsewhere, so what report() reads of take()'s work is atomic.
  class Stream {
   public:
    virtual ~Stream() = default;
    // Most commands in flight at once (at least 1).
    virtual std::size_t window() const = 0;
    // Replies are raw frames of at most maxFrame() bytes (as receiveFrame returns them) when
    // true, else text lines (as receiveLine returns them).
    virtual bool rawFrames() const = 0;
    virtual std::size_t maxFrame() const = 0;
    // The next command line (ending in CR LF) into `line`; false when there is none (any more).
    // The transfer ends when there is none and every reply was taken.
    virtual bool next(std::string& line) = 0;
    // The reply to the oldest command without one. What it throws ends the transfer.
    virtual void take(std::string_view reply) = 0;
    // Progress so far, and the check for cancellation: called between batches of replies, and
    // every kCancelCheckInterval while the transfer runs on another thread. What it throws ends
    // the transfer.
    virtual void report() = 0;
  };

  // Several commands in flight: commands go out without waiting for replies, and the replies are
  // read back in the order the commands went. While a pipeline lives it has the connection to
  // itself (other threads' exchanges wait); one that goes with replies unread leaves the
  // connection closed, since its stream is out of step.
  class Pipeline {
   public:
    virtual ~Pipeline() = default;
    // Sends one command line (ending in CR LF) without waiting for its reply. A pipeline may hold
    // the commands sent since the last receive and write them together when the next reply is
    // asked for (or when it fills), so a window costs one write, not one per command.
    virtual void send(std::string_view line) = 0;
    // The next reply as text, as sendCmd returns it.
    virtual std::string receiveLine() = 0;
    // The next reply as one raw frame of at most `size` bytes, as recvRawBytes returns it.
    virtual Bytes receiveFrame(std::size_t size) = 0;
    // Whether the next reply has arrived whole, so receiving it waits for nothing; false when
    // the pipeline cannot tell.
    virtual bool replyReady() { return false; }
    // Runs `stream` to its end. This one runs it on the calling thread with the calls above: the
    // window refilled (one batch) after every reply that had arrived was taken. What the stream
    // or the link throws ends it, with the stream out of step.
    virtual void run(Stream& stream);
  };
  // A pipeline on this connection; null when the connection cannot keep several commands in
  // flight (then every command is one exchange).
  virtual std::unique_ptr<Pipeline> pipeline() { return nullptr; }
};

// Makes the connection of a tool that opens its own: (address, port) -> an unopened connection.
// The layer that picks the transport (jobs, the bindings, a program) hands one to the tool.
using ConnectionFactory =
    std::function<std::shared_ptr<Connection>(const std::string& address, int port)>;

}  // namespace kestrix
