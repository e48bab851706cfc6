#include "py_connection.hpp"

#include <string>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/tcp_connection.hpp"
#include "py_contracts.hpp"
#include "py_runtime.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;

std::string typeName(const pyb::handle& value) {
  return pyb::str(pyb::type::handle_of(value).attr("__name__"));
}

// The object's method `name`, or ConnectionError once the object was released.
pyb::object method(const pyb::object& obj, const char* name) {
  if (obj.is_none()) throw ConnectionError(std::string(name) + ": the connection was released");
  return obj.attr(name);
}

}  // namespace

PythonConnection::~PythonConnection() {
  dropReference(obj_);
}

bool PythonConnection::initConnection() {
  const Gil gil;
  if (!gil) throwInterpreterEnding();
  return pyb::bool_(method(obj_, "initConnection")());
}

RetType PythonConnection::sendCmd(std::string_view line, RspType rsp_type) {
  const Gil gil;
  if (!gil) throwInterpreterEnding();
  pyb::object ret =
      method(obj_, "sendCmd")(pyb::bytes(line.data(), line.size()), pyRspType(rsp_type));
  pyb::object data = ret.attr("RetData");
  // An absent or empty payload reads as no reply; the record's code is not the transport's
  // business.
  if (!pyb::bool_(data)) return RetType(RetCode::OK, "", nullptr);
  if (!pyb::isinstance<pyb::str>(data)) {
    throw pyb::type_error("connection sendCmd returned RetData of type " + typeName(data) +
                          "; expected text");
  }
  return RetType(RetCode::OK, "", Json(utf8Text(data)));
}

void PythonConnection::sendRawBytes(std::string_view bytes) {
  const Gil gil;
  if (!gil) throwInterpreterEnding();
  method(obj_, "sendRawBytes")(pyb::bytes(bytes.data(), bytes.size()));
}

Bytes PythonConnection::recvRawBytes(std::size_t size) {
  const Gil gil;
  if (!gil) throwInterpreterEnding();
  pyb::object data = method(obj_, "recvRawBytes")(size);
  if (pyb::isinstance<pyb::bytes>(data)) return data.cast<std::string>();
  if (pyb::isinstance<pyb::bytearray>(data))
    return std::string(PyByteArray_AsString(data.ptr()),
                       static_cast<std::size_t>(PyByteArray_Size(data.ptr())));
  throw pyb::type_error("connection recvRawBytes returned " + typeName(data) + "; expected bytes");
}

void PythonConnection::closeConnection() {
  const Gil gil;
  if (!gil) return;  // the ending process closes what the object holds
  method(obj_, "closeConnection")();
}

std::shared_ptr<Connection> connectionFrom(const pyb::object& obj) {
  // Only the exact native type: a Python subclass may override what it sends.
  if (const auto* info = pyb::detail::get_type_info(typeid(net::TcpConnection))) {
    if (Py_TYPE(obj.ptr()) == info->type) return obj.cast<std::shared_ptr<net::TcpConnection>>();
  }
  return std::make_shared<PythonConnection>(obj);
}

}  // namespace kestrix::py
