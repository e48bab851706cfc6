// The exceptions that cross the library's API. Messages name the failed operation and its subject.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace kestrix {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The link to the device failed: refused, reset or closed by the peer.
class ConnectionError : public Error {
 public:
  using Error::Error;
};

// The host ran out of something a device's link needs (file descriptors, memory for a socket):
// no fault of the device, and fewer devices at once would do.
class ResourceError : public ConnectionError {
 public:
  using ConnectionError::ConnectionError;
};

// The device did not answer within the configured time.
class TimeoutError : public Error {
 public:
  using Error::Error;
};

// The device answered with something the protocol does not allow.
class ProtocolError : public Error {
 public:
  using Error::Error;
};

// Bytes that should be UTF-8 text are not. Carries what a host needs to describe the bad bytes
// the way its own decoder would.
class DecodeError : public ProtocolError {
 public:
  DecodeError(std::string bytes, std::size_t start, std::size_t end, std::string reason);
  const std::string& bytes() const { return bytes_; }
  std::size_t start() const { return start_; }
  std::size_t end() const { return end_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string bytes_;
  std::size_t start_;
  std::size_t end_;
  std::string reason_;
};

// A local file could not be read or written. When a system call failed, `error_number` is its
// errno and `path` the file it was about, so a host can raise its own kind of file error.
class FileError : public Error {
 public:
  explicit FileError(const std::string& what, int error_number = 0, std::string path = {})
      : Error(what), error_number_(error_number), path_(std::move(path)) {}
  int error_number() const { return error_number_; }
  const std::string& path() const { return path_; }

 private:
  int error_number_;
  std::string path_;
};

// A key file holds no key this library can use: not PEM, not Ed25519, encrypted, or a private key
// that group or others can read.
class InvalidKeyError : public Error {
 public:
  using Error::Error;
};

// The controller kept refusing one programming block, the one at byte `offset` of the image.
class BlockRefusedError : public Error {
 public:
  BlockRefusedError(const std::string& what, std::uint64_t offset) : Error(what), offset_(offset) {}
  std::uint64_t offset() const { return offset_; }

 private:
  std::uint64_t offset_;
};

}  // namespace kestrix
