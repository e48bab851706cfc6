// A connection object from Python as the core's Connection.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <utility>

#include "kestrix/contracts/connection.hpp"

namespace kestrix::py {

// The core's view of `obj`: the native connection itself when `obj` is exactly the package's
// TCP connection (no Python call per command, the GIL released while waiting), otherwise a
// PythonConnection. Errors they raise pass through unchanged.
std::shared_ptr<Connection> connectionFrom(const pybind11::object& obj);

// A connection object written in Python: calls obj's sendCmd, sendRawBytes, recvRawBytes,
// initConnection and closeConnection under the GIL.
class PythonConnection final : public Connection {
 public:
  explicit PythonConnection(pybind11::object obj) : obj_(std::move(obj)) {}
  ~PythonConnection() override;

  bool initConnection() override;
  RetType sendCmd(std::string_view line, RspType rsp_type) override;
  void sendRawBytes(std::string_view bytes) override;
  Bytes recvRawBytes(std::size_t size) override;
  void closeConnection() override;

  // The object, for an owner's garbage-collector traversal (GIL held).
  const pybind11::object& object() const { return obj_; }
  // Drops the object (GIL held): an owner that the garbage collector clears breaks its cycle
  // here. Every later call raises ConnectionError.
  void release() { obj_ = pybind11::none(); }

 private:
  pybind11::object obj_;
};

}  // namespace kestrix::py
