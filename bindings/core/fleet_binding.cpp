// run_fleet for Python: every device's job on a pool of threads with the GIL released, taking it
// back only for the caller's callbacks and the log.
#include <pybind11/stl.h>

#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "core_bindings.hpp"
#include "fleet_host.hpp"
#include "fleet_inputs.hpp"
#include "kestrix/jobs/fleet.hpp"
#include "kestrix/jobs/record.hpp"

namespace kestrix::py {

namespace pyb = pybind11;
using jobs::UpdateReport;

namespace {

// What a job did: its record's fields (image_path with bytes that are not UTF-8 escaped), with the
// failure as a Failure member.
pyb::dict reportDict(const UpdateReport& r) {
  pyb::dict d = toPython(jobs::recordOf(r));
  d["failure"] = pyb::cast(r.failure);
  return d;
}

// Passes a fleet's events to the caller's callbacks, with the GIL. Once the interpreter finalises,
// progress ends each device's job and results are not passed on.
class PythonFleetObserver final : public jobs::FleetObserver {
 public:
  PythonFleetObserver(pyb::object progress, pyb::object on_result, std::vector<std::string> names)
      : progress_(std::move(progress)),
        on_result_(std::move(on_result)),
        names_(std::move(names)) {}
  ~PythonFleetObserver() override {
    dropReference(progress_);
    dropReference(on_result_);
  }

  void onStart(std::size_t device) override { report(device, "connect", 0, 0); }
  void onPhase(std::size_t device, flash::Phase phase, std::uint64_t total) override {
    report(device, flash::phaseName(phase), 0, total);
  }
  void onProgress(std::size_t device, flash::Phase phase, std::uint64_t done,
                  std::uint64_t total) override {
    report(device, flash::phaseName(phase), done, total);
  }
  void onFinish(std::size_t, const UpdateReport& report) override {
    if (on_result_.is_none()) return;
    const Gil gil;
    if (!gil) return;
    try {
      on_result_(reportDict(report));
    } catch (pyb::error_already_set& e) {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!error) error.emplace(std::move(e));
    }
  }

  // The first error on_result raised, to be raised when the fleet is done.
  std::optional<pyb::error_already_set> error;

 private:
  // Progress goes inside the device's job: what the callback raises stops that job.
  void report(std::size_t device, std::string_view stage, std::uint64_t done, std::uint64_t total) {
    if (progress_.is_none()) return;
    const Gil gil;
    if (!gil) throwInterpreterEnding();
    progress_(names_[device], pyb::str(stage.data(), stage.size()), done, total);
  }

  pyb::object progress_;
  pyb::object on_result_;
  std::vector<std::string> names_;
  std::mutex mutex_;
};

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

// What stopped the fleet: the exception a signal handler raised, or a KeyboardInterrupt for a
// stop of the core's own (the interpreter ending).
pyb::object stoppedBy(const std::exception_ptr& stopped) {
  if (!stopped) return pyb::none();
  try {
    std::rethrow_exception(stopped);
  } catch (pyb::error_already_set& e) {
    return e.value();
  } catch (const std::exception& e) {
    return pyb::reinterpret_borrow<pyb::object>(PyExc_KeyboardInterrupt)(e.what());
  }
}

// A whole number for an option; one beyond the option's type is out of its range, which the
// core's check then names.
template <typename T>
T wholeNumber(const pyb::handle& value, const char* name) {
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
    throw pyb::type_error(std::string(name) + " must be an integer");
  const long long number = PyLong_AsLongLong(value.ptr());
  const bool below = std::is_signed_v<T>
                         ? number < static_cast<long long>(std::numeric_limits<T>::min())
                         : number < 0;
  const bool above = static_cast<unsigned long long>(number) >
                         static_cast<unsigned long long>(std::numeric_limits<T>::max()) &&
                     number > 0;
  if (PyErr_Occurred() != nullptr || below || above) {
    PyErr_Clear();
    throw pyb::value_error(std::string(name) + " is out of range: " + std::string(pyb::str(value)));
  }
  return static_cast<T>(number);
}

// The fleet's options: the image's own (as it was loaded) and the call's.
jobs::FleetOptions fleetOptions(const PyLoadedImage& image, const pyb::kwargs& settings) {
  static const std::set<std::string> kKnown = {"check_version",   "allow_downgrade", "timeout",
                                               "connect_timeout", "window",          "jobs",
                                               "canary",          "max_failures",    "change_id"};
  for (const auto& [key, value] : settings) {
    if (kKnown.count(pyb::str(key)) == 0)
      throw pyb::type_error("run_fleet() got an unexpected keyword argument '" +
                            std::string(pyb::str(key)) + "'");
  }
  jobs::FleetOptions options;
  options.update = image.options;
  const auto take = [&](const char* name, auto& into) {
    using T = std::decay_t<decltype(into)>;
    if (!settings.contains(name)) return;
    if constexpr (std::is_same_v<T, int> || std::is_same_v<T, std::size_t>) {
      into = wholeNumber<T>(settings[name], name);
    } else {
      into = settings[name].cast<T>();
    }
  };
  take("check_version", options.update.check_version);
  take("allow_downgrade", options.update.allow_downgrade);
  take("timeout", options.update.timeout);
  take("window", options.update.window);
  take("jobs", options.jobs);
  take("canary", options.canary);
  if (settings.contains("max_failures") && !settings["max_failures"].is_none())
    options.max_failures = wholeNumber<std::size_t>(settings["max_failures"], "max_failures");
  take("change_id", options.change_id);
  if (settings.contains("connect_timeout") && !settings["connect_timeout"].is_none())
    options.update.connect_timeout = settings["connect_timeout"].cast<double>();
  jobs::validate(options);
  return options;
}

pyb::tuple runFleet(const std::shared_ptr<PyLoadedImage>& image, const jobs::DeviceList& devices,
                    pyb::object progress, pyb::object on_result, const pyb::object& record,
                    const pyb::kwargs& settings) {
  jobs::FleetOptions options = fleetOptions(*image, settings);
  // Opened before any device is touched, so a record that cannot be kept stops nothing halfway.
  std::optional<jobs::RecordFile> record_file;
  if (!record.is_none()) {
    const std::string path = pathBytes(record);
    withoutGil([&] { record_file.emplace(path); });
  }
  options.record = record_file ? &*record_file : nullptr;
  std::vector<std::string> names;
  for (const jobs::DeviceAddress& address : devices.addresses())
    names.push_back(jobs::formatDeviceAddress(address));
  std::vector<std::shared_ptr<Host>> hosts;
  const pyb::object logger = pyb::module_::import("logging").attr("getLogger")("FPGA");
  for (const std::string& name : names)
    hosts.push_back(std::make_shared<FleetDeviceHost>(logger, names.size() > 1 ? name + ": " : ""));
  options.host_for = [&hosts](std::size_t device) { return hosts[device]; };
  PythonFleetObserver observer(std::move(progress), std::move(on_result), names);

  const jobs::FleetResult result = withoutGil(
      [&] {
        jobs::FleetResult ran =
            jobs::runFleet(devices, image->loaded, options, &observer, CancelToken(), checkSignals);
        // The hosts let go of their Python objects, with the GIL while the interpreter runs.
        hosts.clear();
        return ran;
      },
      AtExit::kWaitForIt);
  pyb::list reports;
  for (const UpdateReport& report : result.reports) reports.append(reportDict(report));
  pyb::object callback_error = observer.error ? observer.error->value() : pyb::none();
  return pyb::make_tuple(reports, stoppedBy(result.stopped_by), recordError(result.record_error),
                         callback_error);
}

}  // namespace

void bindFleet(pyb::module_& m) {
  realSleep();
  m.def("run_fleet", &runFleet, pyb::arg("image"), pyb::arg("devices"), pyb::kw_only(),
        pyb::arg("progress") = pyb::none(), pyb::arg("on_result") = pyb::none(),
        pyb::arg("record") = pyb::none(),
        "Runs one job per device of the checked list with the loaded image and returns\n"
        "(reports, stopped, record_error, callback_error): one dict per device in input order,\n"
        "the exception that stopped the fleet (KeyboardInterrupt) or None, the OSError a write\n"
        "to `record` met or None, and the first exception on_result raised or None. The other\n"
        "keyword arguments are the fleet's options (check_version, allow_downgrade, timeout,\n"
        "connect_timeout, window, jobs, canary, max_failures, change_id), checked by the core\n"
        "(ValueError). progress(device, stage, done, total) and on_result(report) are called\n"
        "with the GIL held. Use kestrix.fleet.update_fleet.");
}

}  // namespace kestrix::py
