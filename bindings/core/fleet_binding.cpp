// The fleet runner for Python: run_fleet runs every device's job on a pool of threads with the GIL
// released, and takes it back only for the caller's callbacks (throttled) and the log.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/py_contracts.hpp"
#include "core_bindings.hpp"
#include "kestrix/flash/fleet.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/record.hpp"

namespace kestrix::py {

namespace pyb = pybind11;
using flash::DeviceAddress;
using flash::Phase;
using flash::UpdateReport;

namespace {

// A device's job logs to Python's logger "FPGA", its messages prefixed with the device when the
// fleet has more than one; clocks are the process's own, and nothing is printed. Its sleep is
// time.sleep, looked up when it sleeps, so a test can patch it; the real one is served by the
// process's wait, which a cancelled fleet cuts short.
class DeviceHost final : public ProcessHost {
 public:
  DeviceHost(pyb::object logger, std::string prefix, pyb::object real_sleep)
      : logger_(std::move(logger)),
        prefix_(std::move(prefix)),
        real_sleep_(std::move(real_sleep)) {}
  ~DeviceHost() override {
    pyb::gil_scoped_acquire gil;
    logger_ = {};
    real_sleep_ = {};
  }
  void sleepSeconds(int seconds) override {
    {
      pyb::gil_scoped_acquire gil;
      const pyb::object sleep = pyb::module_::import("time").attr("sleep");
      if (!sleep.is(real_sleep_)) {
        sleep(seconds);
        return;
      }
    }
    ProcessHost::sleepSeconds(seconds);
  }
  void log(LogLevel level, std::string_view message) override {
    pyb::gil_scoped_acquire gil;
    logger_.attr("log")(static_cast<int>(level), displayText(prefix_ + std::string(message)));
  }
  bool logEnabled(LogLevel level) override {
    pyb::gil_scoped_acquire gil;
    return logger_.attr("isEnabledFor")(static_cast<int>(level)).cast<bool>();
  }
  void writeStdout(std::string_view, bool) override {}

 private:
  pyb::object logger_;
  std::string prefix_;
  pyb::object real_sleep_;
};

flash::JobMode modeFrom(const std::string& name) {
  if (name == "update") return flash::JobMode::kUpdate;
  if (name == "verify") return flash::JobMode::kVerify;
  if (name == "update-unless-identical") return flash::JobMode::kUpdateUnlessIdentical;
  if (name == "identify") return flash::JobMode::kIdentify;
  throw pyb::value_error(
      "mode must be 'update', 'verify', 'update-unless-identical' or 'identify', not '" + name +
      "'");
}

// time.sleep as the interpreter made it, before anyone could patch it (kept for the life of the
// interpreter, the way pybind11 keeps such objects).
const pyb::object& realSleep() {
  PYBIND11_CONSTINIT static pyb::gil_safe_call_once_and_store<pyb::object> storage;
  return storage
      .call_once_and_store_result([] { return pyb::module_::import("time").attr("sleep"); })
      .get_stored();
}

// What a job did: its record's fields (image_path with bytes that are not UTF-8 escaped), with the
// failure as a Failure member.
pyb::dict reportDict(const UpdateReport& r) {
  pyb::dict d = toPython(flash::recordOf(r));
  d["failure"] = pyb::cast(r.failure);
  return d;
}

// Passes a fleet's events to the caller's callbacks, with the GIL: progress within a phase at
// most every kProgressInterval per device, every phase change and every end at once.
class PythonFleetObserver final : public flash::FleetObserver {
 public:
  static constexpr auto kProgressInterval = std::chrono::milliseconds(50);

  PythonFleetObserver(pyb::object progress, pyb::object on_result, std::vector<std::string> names)
      : progress_(std::move(progress)),
        on_result_(std::move(on_result)),
        names_(std::move(names)),
        last_(names_.size()) {}
  ~PythonFleetObserver() override {
    pyb::gil_scoped_acquire gil;
    progress_ = {};
    on_result_ = {};
  }

  void onStart(std::size_t device) override { report(device, "connect", 0, 0); }
  void onPhase(std::size_t device, Phase phase, std::uint64_t total) override {
    report(device, flash::phaseName(phase), 0, total);
  }
  void onProgress(std::size_t device, Phase phase, std::uint64_t done,
                  std::uint64_t total) override {
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_[device] < kProgressInterval) return;
    last_[device] = now;
    report(device, flash::phaseName(phase), done, total);
  }
  void onFinish(std::size_t device, const UpdateReport& report) override {
    if (on_result_.is_none()) return;
    pyb::gil_scoped_acquire gil;
    try {
      on_result_(reportDict(report));
    } catch (pyb::error_already_set& e) {
      keep(e);
    }
  }

  // The first error a callback raised outside a job, to be raised when the fleet is done.
  std::optional<pyb::error_already_set> error;

 private:
  // Progress goes inside the device's job: what the callback raises stops that job.
  void report(std::size_t device, std::string_view stage, std::uint64_t done, std::uint64_t total) {
    if (progress_.is_none()) return;
    pyb::gil_scoped_acquire gil;
    progress_(names_[device], pyb::str(stage.data(), stage.size()), done, total);
  }
  void keep(pyb::error_already_set& e) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!error) error.emplace(std::move(e));
  }

  pyb::object progress_;
  pyb::object on_result_;
  std::vector<std::string> names_;
  std::vector<std::chrono::steady_clock::time_point> last_;
  std::mutex mutex_;
};

// Why a fleet with these settings cannot run, found without a device: (Failure, message), or
// None.
pyb::object checkOffline(const pyb::object& image_object, std::int64_t device_type, bool init,
                         const std::string& mode) {
  flash::UpdateOptions options;
  options.mode = modeFrom(mode);
  options.device_type = device_type;
  options.init = init;
  const std::string image_path = pathBytes(image_object);
  std::optional<flash::OfflineFault> fault;
  {
    pyb::gil_scoped_release release;
    fault = flash::checkJobOffline(image_path, options);
  }
  if (!fault) return pyb::none();
  return pyb::make_tuple(fault->failure, displayText(fault->error));
}

// The record file failed while the fleet ran: an OSError for the caller to raise beside the
// devices' results, which would be lost if it were raised here.
pyb::object recordError(const std::exception_ptr& error) {
  if (!error) return pyb::none();
  try {
    std::rethrow_exception(error);
  } catch (const FileError& e) {
    return osError(e);
  } catch (const std::exception& e) {
    return pyb::reinterpret_borrow<pyb::object>(PyExc_OSError)(e.what());
  }
}

pyb::tuple runFleet(const pyb::object& image_object, const std::vector<std::string>& devices,
                    std::int64_t device_type, bool init, bool check_version,
                    const std::string& mode, double timeout, double connect_timeout, int jobs,
                    int window, pyb::object progress, pyb::object on_result,
                    const pyb::object& record) {
  const std::string image_path = pathBytes(image_object);
  if (jobs < 1 || jobs > flash::kMaxJobs)
    throw pyb::value_error("jobs must be from 1 to " + std::to_string(flash::kMaxJobs));
  if (window < 1 || window > flash::kMaxWindow)
    throw pyb::value_error("window must be from 1 to " + std::to_string(flash::kMaxWindow));
  if (!(timeout > 0) || !(connect_timeout > 0))
    throw pyb::value_error("time-outs must be positive");
  std::vector<DeviceAddress> addresses;
  std::vector<std::string> names;
  for (const std::string& device : devices) {
    addresses.push_back(flash::parseDeviceAddress(device));
    names.push_back(flash::formatDeviceAddress(addresses.back()));
  }
  flash::FleetOptions options;
  options.update.mode = modeFrom(mode);
  options.update.device_type = device_type;
  options.update.init = init;
  options.update.check_version = check_version;
  options.update.timeout = timeout;
  options.update.connect_timeout = connect_timeout;
  options.update.window = window;
  options.jobs = jobs;
  // Opened before any device is touched, so a record that cannot be kept stops nothing halfway.
  std::optional<flash::RecordFile> record_file;
  if (!record.is_none()) record_file.emplace(pathBytes(record));
  options.record = record_file ? &*record_file : nullptr;
  std::vector<std::shared_ptr<Host>> hosts;
  const pyb::object logger = pyb::module_::import("logging").attr("getLogger")("FPGA");
  for (const std::string& name : names) {
    hosts.push_back(
        std::make_shared<DeviceHost>(logger, names.size() > 1 ? name + ": " : "", realSleep()));
  }
  options.host_for = [&hosts](std::size_t device) { return hosts[device]; };
  PythonFleetObserver observer(std::move(progress), std::move(on_result), names);

  flash::FleetResult result;
  {
    pyb::gil_scoped_release release;
    // Ctrl-C reaches Python's handler on this (the main) thread while it waits.
    result = flash::runFleet(addresses, image_path, options, &observer, CancelToken(), [] {
      pyb::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() != 0) throw pyb::error_already_set();
    });
    // The hosts and the observer let go of their Python objects with the GIL held.
    hosts.clear();
  }
  if (observer.error) throw std::move(*observer.error);
  pyb::object record_error = recordError(result.record_error);
  pyb::list reports;
  for (const UpdateReport& report : result.reports) reports.append(reportDict(report));
  pyb::object stopped = pyb::none();
  if (result.stopped_by) {
    try {
      std::rethrow_exception(result.stopped_by);
    } catch (pyb::error_already_set& e) {
      stopped = e.value();
    }
  }
  return pyb::make_tuple(reports, stopped, record_error);
}

}  // namespace

void bindFleet(pyb::module_& m) {
  realSleep();
  m.def(
      "parse_device_address",
      [](const std::string& text, int default_port) {
        const DeviceAddress address = flash::parseDeviceAddress(text, default_port);
        return pyb::make_tuple(address.host, address.port);
      },
      pyb::arg("text"), pyb::arg("default_port") = kDefaultPort,
      "(host, port) of \"host\", \"host:port\" or \"[v6]:port\"; ValueError for anything else.");
  m.def("check_offline", &checkOffline, pyb::arg("image_path"), pyb::kw_only(),
        pyb::arg("device_type") = flash::kDefaultDeviceType, pyb::arg("init") = true,
        pyb::arg("mode") = "update",
        "Why run_fleet with these settings would fail for every device, found without one:\n"
        "(Failure, message), or None when the image and the device type are fine.");
  m.def("run_fleet", &runFleet, pyb::arg("image_path"), pyb::arg("devices"), pyb::kw_only(),
        pyb::arg("device_type") = flash::kDefaultDeviceType, pyb::arg("init") = true,
        pyb::arg("check_version") = true, pyb::arg("mode") = "update", pyb::arg("timeout") = 10.0,
        pyb::arg("connect_timeout") = 5.0, pyb::arg("jobs") = 8, pyb::arg("window") = 1,
        pyb::arg("progress") = pyb::none(), pyb::arg("on_result") = pyb::none(),
        pyb::arg("record") = pyb::none(),
        "Runs one job per device (\"host\", \"host:port\", \"[v6]:port\") on `jobs` threads and\n"
        "returns (reports, stopped, record_error): one dict per device in input order, the\n"
        "exception that stopped the fleet (KeyboardInterrupt) or None, and the OSError that a\n"
        "write to `record` met, or None. progress(device, stage, done, total) and\n"
        "on_result(report) are called with the GIL held; each report is appended to the file\n"
        "`record` as one JSON line. Use kestrix.fleet.update_fleet.");
}

}  // namespace kestrix::py
