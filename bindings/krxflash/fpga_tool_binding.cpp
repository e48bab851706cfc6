// The Python face of FpgaTool. Arguments are converted with the GIL held; the core then runs with
// the GIL released and takes it back only to call into Python (a Python connection, the progress
// callback, logging, sys.stdout).
#include "fpga_tool_binding.hpp"

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "common/py_connection.hpp"
#include "common/py_contracts.hpp"
#include "common/py_host.hpp"
#include "common/py_runtime.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/trust.hpp"
#include "kestrix/jobs/tcp_open.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;
using flash::FpgaTool;
using pyb::arg;

// The caller's callback object; its truth is asked before every report. The truth of None, a
// function or a method cannot change, so it is known without asking Python per block.
class PythonProgress final : public flash::ProgressCallback {
 public:
  explicit PythonProgress(pyb::object callback)
      : callback_(std::move(callback)), constant_(truthIsConstant(callback_)) {
    if (constant_) truth_ = pyb::bool_(callback_);
  }
  ~PythonProgress() override { dropReference(callback_); }
  bool enabled() override {
    if (constant_) return truth_;
    const Gil gil;
    return gil && pyb::bool_(callback_);
  }
  void report(std::string_view stage, std::uint64_t done, std::uint64_t total) override {
    const Gil gil;
    if (!gil) throwInterpreterEnding();
    callback_(pyb::str(stage.data(), stage.size()), done, total);
  }
  const pyb::object& object() const { return callback_; }

 private:
  // Built-in types, which no one can give a __bool__ of their own.
  static bool truthIsConstant(const pyb::object& callback) {
    PyObject* o = callback.ptr();
    return o == Py_None || PyFunction_Check(o) || PyMethod_Check(o) || PyCFunction_Check(o);
  }

  pyb::object callback_;
  bool constant_;
  bool truth_ = false;
};

// FpgaTool as Python sees it: keeps the Python connection object it was given or made, and lets
// a Python subclass override deleteTempFile.
class PyFpgaTool : public FpgaTool {
 public:
  PyFpgaTool(std::shared_ptr<Connection> conn, pyb::object conn_object, std::shared_ptr<Host> host)
      : FpgaTool(std::move(conn), std::move(host)), conn_object_(std::move(conn_object)) {}
  PyFpgaTool(const std::string& address, int port, ConnectionFactory factory,
             pyb::object conn_object, std::shared_ptr<Host> host)
      : FpgaTool(address, port, std::move(factory), std::move(host)),
        conn_object_(std::move(conn_object)) {}

  void deleteTempFile() override {
    const Gil gil;
    if (!gil) return FpgaTool::deleteTempFile();
    PYBIND11_OVERRIDE(void, FpgaTool, deleteTempFile, );
  }

  pyb::object callback() const {
    const auto progress = std::dynamic_pointer_cast<PythonProgress>(progress_callback());
    return progress ? progress->object() : pyb::none();
  }
  void setCallback(pyb::object callback) {
    set_progress_callback(std::make_shared<PythonProgress>(std::move(callback)));
  }

  // The Python objects this tool holds, for the garbage collector: a callback or a connection
  // that refers back to its tool must not keep both alive for ever.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(conn_object_.ptr());
    if (const auto adapter = std::dynamic_pointer_cast<PythonConnection>(_conn()))
      Py_VISIT(adapter->object().ptr());
    if (const auto progress = std::dynamic_pointer_cast<PythonProgress>(progress_callback()))
      Py_VISIT(progress->object().ptr());
    return 0;
  }
  void clear() {
    set_progress_callback(std::shared_ptr<flash::ProgressCallback>());
    if (const auto adapter = std::dynamic_pointer_cast<PythonConnection>(_conn()))
      adapter->release();
    // Detach first: dropping the last reference may run code that looks at this object.
    pyb::object old = std::move(conn_object_);
    conn_object_ = pyb::none();
  }

  pyb::object conn_object_;
};

// The tool behind a Python instance, or null while it is not (or no longer) built.
PyFpgaTool* toolOf(PyObject* self) {
  auto* inst = reinterpret_cast<pyb::detail::instance*>(self);
  pyb::detail::value_and_holder vh = inst->get_value_and_holder(nullptr, false);
  if (vh.inst == nullptr || !vh.holder_constructed()) return nullptr;
  return static_cast<PyFpgaTool*>(vh.value_ptr<FpgaTool>());
}

int traverseTool(PyObject* self, visitproc visit, void* arg) {
  if (const int ret = pyb::detail::pybind11_traverse(self, visit, arg)) return ret;
  if (const PyFpgaTool* tool = toolOf(self)) return tool->traverse(visit, arg);
  return 0;
}

int clearTool(PyObject* self) {
  if (PyFpgaTool* tool = toolOf(self)) tool->clear();
  return pyb::detail::pybind11_clear(self);
}

std::unique_ptr<PyFpgaTool> makeTool(pyb::module_ module, pyb::object connection,
                                     pyb::object address, pyb::object port) {
  if (!address.is_none() && !pyb::isinstance<pyb::str>(address))
    throw pyb::type_error("address must be str or None, not " +
                          std::string(pyb::str(pyb::type::handle_of(address).attr("__name__"))));
  const auto port_number = numberToInt(port, "port");
  std::shared_ptr<Host> host = makePythonHost(module);
  if (!connection.is_none()) {
    auto conn = connectionFrom(connection);
    return std::make_unique<PyFpgaTool>(std::move(conn), connection, std::move(host));
  }
  if (address.is_none()) throw pyb::value_error("Either connection or address must be provided");

  // The connection class is looked up only here: a tool on a caller's connection never needs it.
  pyb::object tcp_class = siblingName("kestrix.KRXCommService", "_TCPConn");
  pyb::object conn_object = tcp_class(address, port_number);
  std::shared_ptr<Connection> conn = connectionFrom(conn_object);
  const std::string address_text = utf8Text(address);
  std::unique_ptr<PyFpgaTool> tool = withoutGil(
      [&] {
        return std::make_unique<PyFpgaTool>(address_text, static_cast<int>(port_number),
                                            jobs::openedConnection(conn), pyb::object(), host);
      },
      AtExit::kWaitForIt);
  tool->conn_object_ = std::move(conn_object);
  return tool;
}

// Runs `f` on the tool with the GIL released; the interpreter's exit waits for it to end.
template <typename F>
auto released(F&& f) {
  return withoutGil(std::forward<F>(f), AtExit::kWaitForIt);
}

// Every FpgaTool made from Python is a PyFpgaTool (the constructor below makes nothing else).
PyFpgaTool& self(FpgaTool& t) {
  return static_cast<PyFpgaTool&>(t);
}

bool truth(const pyb::handle& value) {
  return pyb::bool_(pyb::reinterpret_borrow<pyb::object>(value));
}

}  // namespace

void bindFpgaTool(pyb::module_& m) {
  static const std::string window_doc =
      "Program and read commands kept in flight at once (1 to " +
      std::to_string(flash::kMaxWindow) +
      "; 1 is one at a time).\n"
      "With more, the verify phase keeps that many reads outstanding, and for device types\n"
      "whose flash is erased first so does the write phase; at the first block refused\n"
      "inside a window the update erases and writes the image again one block at a time.\n"
      "Needs the package's TCP connection; other connections go one at a time.";
  pyb::class_<FpgaTool, PyFpgaTool>(
      m, "FpgaTool", pyb::dynamic_attr(), pyb::custom_type_setup([](PyHeapTypeObject* heap_type) {
        heap_type->ht_type.tp_traverse = traverseTool;
        heap_type->ht_type.tp_clear = clearTool;
      }),
      "FPGA update tool: drives the device's FPGA configuration controller.")
      .def(pyb::init([m](pyb::object connection, pyb::object address, pyb::object port,
                         bool show_progress, int window, pyb::object trusted_keys) {
             // The keys are read first: a bad one stops the tool before it connects.
             flash::TrustPolicy policy;
             if (!trusted_keys.is_none()) {
               const std::vector<std::string> paths = pathList(trusted_keys, "trusted_keys");
               policy = released([&] { return flash::TrustPolicy::fromKeyFiles(paths); });
             }
             auto tool = makeTool(m, std::move(connection), std::move(address), std::move(port));
             tool->set_show_progress(show_progress);
             tool->set_window(window);
             tool->set_trust_policy(std::move(policy));
             return tool;
           }),
           arg("connection") = pyb::none(), arg("address") = pyb::none(),
           arg("port") = kDefaultPort, pyb::kw_only(), arg("show_progress") = true,
           arg("window") = flash::EngineSettings{}.window, arg("trusted_keys") = pyb::none(),
           "Create a tool on `connection` (an existing DevConnection (e.g. _TCPConn) "
           "instance.), or open a connection to `address`:`port`.\n\n"
           "show_progress=False switches off the per-block progress display on standard output\n"
           "(for programs with a display of their own); the progress callback and the log are\n"
           "the same either way. window=W keeps up to W program or read commands in flight\n"
           "(see the window property); 1, the default, sends one command at a time.\n\n"
           "trusted_keys=[PATH, ...] (Ed25519 public key files) makes processFpgaUpdate program\n"
           "only images whose IMAGE.sig one of them signed for exactly that image; a refused\n"
           "image is an error result and nothing is sent. A key file that cannot be read raises\n"
           "OSError, one that holds no Ed25519 public key ValueError.")
      .def(
          "_getRecv",
          [](FpgaTool& t, pyb::object log_print, std::size_t size,
             pyb::object isdecode) -> pyb::object {
            const bool decode = truth(isdecode);
            const bool print = truth(log_print);
            std::string data = released([&] { return t._getRecv(print, size, decode); });
            if (decode) return pyb::str(data);
            return pyb::bytes(data);
          },
          arg("log_print") = false, arg("size") = flash::kRecvSize, arg("isdecode") = true)
      .def(
          "_sendCmd",
          [](FpgaTool& t, pyb::object cmd, pyb::object log_print, std::size_t size,
             pyb::object isdecode) -> pyb::object {
            const std::string line = commandBytes(cmd, "cmd");
            if (truth(isdecode)) return pyb::str(released([&] { return t._sendCmd(line); }));
            const bool print = truth(log_print);
            return pyb::bytes(released([&] { return t._sendCmdRaw(line, print, size); }));
          },
          arg("cmd"), arg("log_print") = false, arg("size") = flash::kRecvSize,
          arg("isdecode") = true)
      .def("_fpgaCtrlInit", [](FpgaTool& t) { return released([&] { return t._fpgaCtrlInit(); }); })
      .def("_fpgaGetId", [](FpgaTool& t) { return released([&] { return t._fpgaGetId(); }); })
      .def("_fpgaGetVersion",
           [](FpgaTool& t) { return released([&] { return t._fpgaGetVersion(); }); })
      .def(
          "_fpgaCfgMode",
          [](FpgaTool& t, pyb::object mode) {
            const std::string value = commandArgument(mode);
            return released([&] { return t._fpgaCfgMode(value); });
          },
          arg("mode"))
      .def(
          "_fpgaErase",
          [](FpgaTool& t, pyb::object erase_bits) {
            const std::string value = commandArgument(erase_bits);
            return released([&] { return t._fpgaErase(value); });
          },
          arg("erase_bits"))
      .def(
          "_fpgaRstPagePtr",
          [](FpgaTool& t, pyb::object section) {
            const std::string value = commandArgument(section);
            return released([&] { return t._fpgaRstPagePtr(value); });
          },
          arg("section"))
      .def(
          "_fpgaProgram",
          [](FpgaTool& t, pyb::object data_block) {
            const std::string data = bytesLike(data_block, "data_block");
            return released([&] { return t._fpgaProgram(data); });
          },
          arg("data_block"))
      .def("_fpgaRead",
           [](FpgaTool& t) { return pyb::bytes(released([&] { return t._fpgaRead(); })); })
      .def("_fpgaDone", [](FpgaTool& t) { return released([&] { return t._fpgaDone(); }); })
      .def("_fpgaRefresh", [](FpgaTool& t) { return released([&] { return t._fpgaRefresh(); }); })
      .def("_fpgaReinit", [](FpgaTool& t) { return released([&] { return t._fpgaReinit(); }); })
      .def("_fpgaGetInfo", [](FpgaTool& t) { return released([&] { return t._fpgaGetInfo(); }); })
      .def("_fpgaGetControlFwVer",
           [](FpgaTool& t) { return released([&] { return t._fpgaGetControlFwVer(); }); })
      .def("_fpgaGetSerialNumber",
           [](FpgaTool& t) { return released([&] { return t._fpgaGetSerialNumber(); }); })
      .def(
          "_fpgaProgramFile",
          [](FpgaTool& t, pyb::object image_path, pyb::object device_type) {
            const std::string path = pathText(image_path, "image_path");
            const auto type = numberToInt(device_type, "device_type");
            return released([&] { return t._fpgaProgramFile(path, type); });
          },
          arg("image_path"), arg("device_type") = flash::kDefaultDeviceType)
      .def("_checkControlFwVersion",
           [](FpgaTool& t) { return released([&] { return t._checkControlFwVersion(); }); })
      .def(
          "_checkUpdateFile",
          [](FpgaTool& t, pyb::object image_path) {
            const std::string path = pathText(image_path, "image_path");
            return released([&] { return t._checkUpdateFile(path); });
          },
          arg("image_path"), "Check if the update file is valid.")
      .def(
          "_checkFileHeader",
          [](FpgaTool& t, pyb::object image_path) {
            const std::string path = pathText(image_path, "image_path");
            return released([&] { return t._checkFileHeader(path); });
          },
          arg("image_path"))
      .def(
          "initFpga",
          [](FpgaTool& t, pyb::object device_type, pyb::object disable_fw_check) {
            const auto type = numberToInt(device_type, "device_type");
            const bool disable = truth(disable_fw_check);
            const RetType ret = released([&] { return t.initFpga(type, disable); });
            return makeRetType(ret);
          },
          arg("device_type"), arg("disable_fw_check") = false,
          "Initialise the FPGA controller of a supported device type and check its version.")
      .def(
          "set_progress_callback",
          [](FpgaTool& t, pyb::object callback) { self(t).setCallback(std::move(callback)); },
          arg("callback"),
          "Set progress callback function.\n\n"
          "Args:\n    callback: The callback function to be called on progress updates.")
      .def(
          "processFpgaUpdate",
          [](FpgaTool& t, pyb::object image_path, pyb::object device_type) {
            std::optional<std::string> path;
            if (!image_path.is_none()) {
              if (!pyb::isinstance<pyb::str>(image_path))
                throw pyb::type_error(
                    "image_path must be str or None, not " +
                    std::string(pyb::str(pyb::type::handle_of(image_path).attr("__name__"))));
              path = pathBytes(image_path);
            }
            const auto type = strictInt(device_type, "device_type");
            const RetType ret = released([&] { return t.processFpgaUpdate(path, type); });
            return makeRetType(ret, ret.ok());
          },
          arg("image_path") = pyb::none(), arg("device_type") = flash::kDefaultDeviceType,
          "Process FPGA update with the given image path.\n\n"
          "Args:\n    image_path: The path to the FPGA image file.\n"
          "    device_type: The type of the device (default is 32).\n\n"
          "Returns:\n    RetType whose RetData is a dict with the keys \"success\" (bool), "
          "\"error_message\" (str) and \"fw_version\" (str).")
      .def(
          "deleteTempFile", [](FpgaTool& t) { t.FpgaTool::deleteTempFile(); },
          "Clean-up hook called first by disconnect(); does nothing unless overridden.")
      .def(
          "disconnect", [](FpgaTool& t) { released([&] { t.disconnect(); }); },
          "Close the connection and clean up.")
      .def("__enter__", [](pyb::object self) { return self; })
      .def(
          "__exit__",
          [](FpgaTool& t, const pyb::args&) {
            released([&] { t.disconnect(); });
            return false;  // an exception of the block goes on
          },
          "Leaving a with block disconnects, also when the block raised.")
      .def_property_readonly("_conn", [](FpgaTool& t) { return self(t).conn_object_; })
      .def_property_readonly("_owns_conn", [](FpgaTool& t) { return t._owns_conn(); })
      .def_property(
          "window", [](FpgaTool& t) { return t.window(); },
          [](FpgaTool& t, int window) { t.set_window(window); }, window_doc.c_str())
      .def_property(
          "show_progress", [](FpgaTool& t) { return t.show_progress(); },
          [](FpgaTool& t, bool show) { t.set_show_progress(show); },
          "Whether updates write the per-block progress display to standard output.")
      .def_property(
          "progress_callback", [](FpgaTool& t) { return self(t).callback(); },
          [](FpgaTool& t, pyb::object callback) { self(t).setCallback(std::move(callback)); });
}

}  // namespace kestrix::py
