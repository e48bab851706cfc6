#include "py_connection.hpp"

#include <string>
#include <utility>

#include "kestrix/net/tcp_connection.hpp"
#include "py_contracts.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;

class PythonConnection final : public Connection {
 public:
  explicit PythonConnection(pyb::object obj) : obj_(std::move(obj)) {}
  ~PythonConnection() override {
    pyb::gil_scoped_acquire gil;
    obj_ = {};
  }

  bool initConnection() override {
    pyb::gil_scoped_acquire gil;
    return pyb::bool_(obj_.attr("initConnection")());
  }

  RetType sendCmd(std::string_view line, RspType rsp_type) override {
    pyb::gil_scoped_acquire gil;
    pyb::object ret =
        obj_.attr("sendCmd")(pyb::bytes(line.data(), line.size()), pyRspType(rsp_type));
    pyb::object data = ret.attr("RetData");
    // An absent or empty payload reads as no reply; the record's code is not the transport's
    // business.
    if (!pyb::bool_(data)) return RetType(RetCode::OK, "", nullptr);
    if (!pyb::isinstance<pyb::str>(data)) {
      throw pyb::type_error("connection sendCmd returned RetData of type " +
                            std::string(pyb::str(pyb::type::handle_of(data).attr("__name__"))) +
                            "; expected text");
    }
    return RetType(RetCode::OK, "", Json(utf8Text(data)));
  }

  void sendRawBytes(std::string_view bytes) override {
    pyb::gil_scoped_acquire gil;
    obj_.attr("sendRawBytes")(pyb::bytes(bytes.data(), bytes.size()));
  }

  Bytes recvRawBytes(std::size_t size) override {
    pyb::gil_scoped_acquire gil;
    pyb::object data = obj_.attr("recvRawBytes")(size);
    if (pyb::isinstance<pyb::bytes>(data)) return data.cast<std::string>();
    if (pyb::isinstance<pyb::bytearray>(data))
      return std::string(PyByteArray_AsString(data.ptr()),
                         static_cast<std::size_t>(PyByteArray_Size(data.ptr())));
    throw pyb::type_error("connection recvRawBytes returned " +
                          std::string(pyb::str(pyb::type::handle_of(data).attr("__name__"))) +
                          "; expected bytes");
  }

  void closeConnection() override {
    pyb::gil_scoped_acquire gil;
    obj_.attr("closeConnection")();
  }

 private:
  pyb::object obj_;
};

}  // namespace

std::shared_ptr<Connection> connectionFrom(const pyb::object& obj) {
  // Only the exact native type: a Python subclass may override what it sends.
  if (const auto* info = pyb::detail::get_type_info(typeid(net::TcpConnection))) {
    if (Py_TYPE(obj.ptr()) == info->type) return obj.cast<std::shared_ptr<net::TcpConnection>>();
  }
  return std::make_shared<PythonConnection>(obj);
}

}  // namespace kestrix::py
