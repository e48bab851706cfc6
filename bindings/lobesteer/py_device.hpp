// A Python device object as the shared fast beam sequences see it: hooks are looked up on the
// object and called with the arguments the sequences pass, their records travel back as the very
// objects the hooks returned, and success is identity with the RetCode.OK bound at module load.
// Every function here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <string_view>

namespace kestrix::py::lobesteer {

namespace pyb = pybind11;

// The package's result record and its success code, bound when the module loads.
struct Records {
  pyb::object ret_type;  // kestrix.KRXUtils.RetType
  pyb::object ok;        // kestrix.KRXUtils.RetCode.OK
};

class PyDevice {
 public:
  using Result = pyb::object;

  PyDevice(pyb::handle self, const Records& records) : self_(self), records_(records) {}

  bool succeeded(const pyb::object& ret) const {
    return pyb::object(ret.attr("RetCode")).is(records_.ok);
  }

  pyb::object setBeamPatternEnable(std::string_view flag) {
    return self_.attr("_setBeamPatternEnable")(pyb::str(flag.data(), flag.size()));
  }
  pyb::object eraseBeamPattern(int user_delay) {
    return self_.attr("_eraseBeamPattern")(pyb::arg("user_delay") = user_delay);
  }
  void applyBeamPatternToBFIC(int user_delay) {
    self_.attr("_applyBeamPatternToBFIC")(pyb::arg("user_delay") = user_delay);
  }
  pyb::object getExtCtrl() { return self_.attr("_getExtCtrl")(); }
  pyb::object setExtCtrl(const std::string& text) { return self_.attr("_setExtCtrl")(text); }

  // RetData as an integer (anything with __index__) or decimal text (str, bytes, bytearray).
  bool extCtrlState(const pyb::object& ret) const;

  pyb::object successResult() const { return records_.ret_type(); }
  pyb::object flagResult(bool flag) const { return records_.ret_type(pyb::arg("data") = flag); }
  void setExternalControlEnabled(bool enabled) {
    pyb::setattr(self_, "external_control_enabled", pyb::bool_(enabled));
  }

  // Python chains a failure raised while another is handled to that one (its __context__); the
  // cleanup of the setup sequence does the same for the failure it replaces.
  static void cleanupRaised(std::exception_ptr earlier);

 private:
  pyb::handle self_;
  const Records& records_;
};

}  // namespace kestrix::py::lobesteer
