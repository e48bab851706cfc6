// A connection object from Python as the core's Connection.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "kestrix/contracts/connection.hpp"

namespace kestrix::py {

// The core's view of `obj`: the native connection itself when `obj` is exactly the package's
// TCP connection (no Python call per command, the GIL released while waiting), otherwise an
// adapter that calls obj's sendCmd, sendRawBytes, recvRawBytes, initConnection and
// closeConnection under the GIL. Errors they raise pass through unchanged.
std::shared_ptr<Connection> connectionFrom(const pybind11::object& obj);

}  // namespace kestrix::py
