#include "py_host.hpp"

#include <chrono>
#include <utility>

#include "kestrix/contracts/cancel.hpp"
#include "py_contracts.hpp"
#include "py_runtime.hpp"

namespace kestrix::py {
namespace {

namespace pyb = pybind11;

class PythonHost final : public Host {
 public:
  explicit PythonHost(pyb::module_ module)
      : module_(std::move(module)),
        logger_(pyb::module_::import("logging").attr("getLogger")("FPGA")),
        sys_(pyb::module_::import("sys")),
        time_(pyb::module_::import("time")) {}

  ~PythonHost() override {
    dropReference(module_);
    dropReference(logger_);
    dropReference(sys_);
    dropReference(time_);
  }

  void log(LogLevel level, std::string_view message) override {
    const Gil gil;
    if (!gil) return;
    logger_.attr("log")(static_cast<int>(level), displayText(message));
  }

  bool logEnabled(LogLevel level) override {
    const Gil gil;
    if (!gil) return false;
    return logger_.attr("isEnabledFor")(static_cast<int>(level)).cast<bool>();
  }

  void writeStdout(std::string_view text, bool flush) override {
    const Gil gil;
    if (!gil) return;
    pyb::object out = sys_.attr("stdout");
    out.attr("write")(displayText(text));
    if (flush) out.attr("flush")();
  }

  bool stdoutIsTerminal() override {
    const Gil gil;
    if (!gil) return false;
    try {
      return sys_.attr("stdout").attr("isatty")().cast<bool>();
    } catch (pyb::error_already_set&) {
      return false;  // a stream without isatty() is no terminal
    }
  }

  double monotonicClock() override {
    using Seconds = std::chrono::duration<double>;
    return Seconds(std::chrono::steady_clock::now().time_since_epoch()).count();
  }

  double wallClock() override {
    using Seconds = std::chrono::duration<double>;
    return Seconds(std::chrono::system_clock::now().time_since_epoch()).count();
  }

  void sleepSeconds(int seconds) override {
    const Gil gil;
    if (!gil) throwInterpreterEnding();
    time_.attr("sleep")(seconds);
  }

  bool versionLess(std::string_view a, std::string_view b) override {
    const Gil gil;
    if (!gil) throwInterpreterEnding();
    pyb::object ver = module_.attr("VER");
    const pyb::object lhs = ver(pyb::str(a.data(), a.size()));
    const pyb::object rhs = ver(pyb::str(b.data(), b.size()));
    return lhs < rhs;
  }

  std::string versionText(std::string_view text) override {
    const Gil gil;
    if (!gil) throwInterpreterEnding();
    return pyb::str(module_.attr("VER")(pyb::str(text.data(), text.size())));
  }

  // Runs the handlers of signals that came (Python's SIGINT handler raises KeyboardInterrupt).
  void checkCancelled() override {
    const Gil gil;
    if (!gil) throwInterpreterEnding();
    if (PyErr_CheckSignals() != 0) throw pyb::error_already_set();
  }

  bool isCancellation(const std::exception& error) override {
    if (dynamic_cast<const CancelledError*>(&error) != nullptr) return true;
    const auto* py_error = dynamic_cast<const pyb::error_already_set*>(&error);
    if (py_error == nullptr) return false;
    const Gil gil;
    if (!gil) return false;
    return py_error->matches(PyExc_KeyboardInterrupt);
  }

  std::string errorText(const std::exception& error) override {
    if (const auto* py_error = dynamic_cast<const pyb::error_already_set*>(&error)) {
      const Gil gil;
      if (!gil) return "a Python error (the interpreter is shutting down)";
      return pyb::str(py_error->value());
    }
    return error.what();
  }

 private:
  pyb::module_ module_;
  pyb::object logger_;
  pyb::object sys_;
  pyb::object time_;
};

}  // namespace

std::shared_ptr<Host> makePythonHost(pybind11::module_ module) {
  return std::make_shared<PythonHost>(std::move(module));
}

}  // namespace kestrix::py
