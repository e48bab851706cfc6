// The native TCP connection, as the package's `_TCPConn` (kestrix._core.TCPConnection).
//
// The Python object holds a std::shared_ptr<kestrix::net::TcpConnection>, so other native modules
// can take the connection out of it and drive it directly. Arguments are converted with the GIL
// held; every wait on the network runs with it released.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "core_bindings.hpp"

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "kestrix/flash/command_channel.hpp"
#include "kestrix/net/tcp_connection.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;
using kestrix::net::TcpConnection;

// A command line as bytes: bytes unchanged, text as UTF-8.
std::string lineBytes(const pyb::handle& line, const char* argument) {
  if (pyb::isinstance<pyb::bytes>(line)) return pyb::cast<std::string>(line);
  if (pyb::isinstance<pyb::str>(line)) return pyb::cast<std::string>(line);  // encodes UTF-8
  throw pyb::type_error(std::string(argument) + " must be bytes or str, not " +
                        pyb::cast<std::string>(pyb::type::handle_of(line).attr("__name__")));
}

std::shared_ptr<TcpConnection> makeConnection(std::string address, int port, double connect_timeout,
                                              double timeout) {
  kestrix::net::TcpOptions options;
  options.connect_timeout = connect_timeout;
  options.timeout = timeout;
  return std::make_shared<TcpConnection>(std::move(address), port, options);
}

}  // namespace

void bindTcpConnection(pyb::module_& m) {
  pyb::class_<TcpConnection, std::shared_ptr<TcpConnection>>(m, "TCPConnection", R"doc(
A device connection over TCP (default port 5025).

Commands are lines ending in CR LF; a text reply is one line. Threads may share a connection:
each command and its reply are one atomic exchange. A raw reply is one frame: an
IEEE 488.2 definite-length block (#<d><length><data> CR LF) read by its header, or one line.
A reply that does not come within `timeout` seconds raises TimeoutError, a lost link raises
ConnectionError, a malformed reply raises kestrix.errors.DeviceProtocolError; after a time-out
or a lost link the connection is closed and initConnection() opens it again.
)doc")
      .def(pyb::init(&makeConnection), pyb::arg("address"),
           pyb::arg("port") = kestrix::kDefaultPort, pyb::kw_only(),
           pyb::arg("connect_timeout") = net::kDefaultConnectTimeout,
           pyb::arg("timeout") = net::kDefaultReplyTimeout,
           "Creates an unopened connection; time-outs are in seconds and must be positive.")
      .def(
          "initConnection",
          [](TcpConnection& self) { return withoutGil([&] { return self.initConnection(); }); },
          "Opens the connection; False when the device refuses, cannot be reached or does not "
          "answer within connect_timeout.")
      .def(
          "sendCmd",
          [](TcpConnection& self, const pyb::object& line, const pyb::object& rsp_type) {
            const std::string bytes = lineBytes(line, "line");
            const kestrix::RspType type = kestrix::py::rspTypeFrom(rsp_type);
            const kestrix::RetType ret = withoutGil([&] { return self.sendCmd(bytes, type); });
            return kestrix::py::makeRetType(ret);
          },
          pyb::arg("line"), pyb::arg("rsp_type"),
          "Sends one command line (CR LF is added when missing) and returns a "
          "kestrix.KRXUtils.RetType whose RetData is the reply line as text, without its line end.")
      .def(
          "sendRawBytes",
          [](TcpConnection& self, const pyb::bytes& data) {
            const std::string bytes = data;
            withoutGil([&] { self.sendRawBytes(bytes); });
          },
          pyb::arg("data"), "Sends the bytes as they are and reads nothing.")
      .def(
          "recvRawBytes",
          [](TcpConnection& self, std::size_t size) {
            return pyb::bytes(withoutGil([&] { return self.recvRawBytes(size); }));
          },
          pyb::arg("size") = flash::kRecvSize,
          "Receives one whole reply frame of at most `size` bytes, line end included.")
      .def(
          "closeConnection",
          [](TcpConnection& self) {
            // Waits for another thread's exchange, which may need the GIL to finish.
            withoutGil([&] { self.closeConnection(); });
          },
          "Closes the connection; closing a closed connection does nothing. A thread waiting "
          "for a reply on it fails with ConnectionError at once.")
      .def_property_readonly("address", &TcpConnection::address)
      .def_property_readonly("port", &TcpConnection::port)
      .def_property_readonly("timeout",
                             [](const TcpConnection& self) { return self.options().timeout; })
      .def_property_readonly(
          "connect_timeout",
          [](const TcpConnection& self) { return self.options().connect_timeout; })
      .def_property_readonly("is_open", &TcpConnection::isOpen)
      .def("__repr__", [](const TcpConnection& self) {
        return "<kestrix TCPConnection " + self.address() + ":" + std::to_string(self.port()) +
               (self.isOpen() ? " open>" : " closed>");
      });
}

}  // namespace kestrix::py
