// The fleet runner for Python: load_image reads and checks the image once, run_fleet runs every
// device's job on a pool of threads with the GIL released, and takes it back only for the
// caller's callbacks (throttled) and the log.
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
#include "common/py_runtime.hpp"
#include "core_bindings.hpp"
#include "kestrix/crypto/ed25519.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/trust.hpp"
#include "kestrix/jobs/device_list.hpp"
#include "kestrix/jobs/fleet.hpp"
#include "kestrix/jobs/record.hpp"

namespace kestrix::py {

namespace pyb = pybind11;
using flash::Phase;
using jobs::DeviceAddress;
using jobs::UpdateReport;

namespace {

// A device's job logs to Python's logger "FPGA", its messages prefixed with the device when the
// fleet has more than one; clocks are the process's own, and nothing is printed. Its sleep is
// time.sleep, looked up when it sleeps, so a test can patch it; the real one is served by the
// process's wait, which a cancelled fleet cuts short. Once the interpreter finalises, it logs
// nothing and sleeps without Python.
class DeviceHost final : public ProcessHost {
 public:
  DeviceHost(pyb::object logger, std::string prefix, pyb::object real_sleep)
      : logger_(std::move(logger)),
        prefix_(std::move(prefix)),
        real_sleep_(std::move(real_sleep)) {}
  ~DeviceHost() override {
    dropReference(logger_);
    dropReference(real_sleep_);
  }
  void sleepSeconds(int seconds) override {
    if (!interpreterFinalizing()) {
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
    if (interpreterFinalizing()) return;
    pyb::gil_scoped_acquire gil;
    logger_.attr("log")(static_cast<int>(level), displayText(prefix_ + std::string(message)));
  }
  bool logEnabled(LogLevel level) override {
    if (interpreterFinalizing()) return false;
    pyb::gil_scoped_acquire gil;
    return logger_.attr("isEnabledFor")(static_cast<int>(level)).cast<bool>();
  }
  void writeStdout(std::string_view, bool) override {}

 private:
  pyb::object logger_;
  std::string prefix_;
  pyb::object real_sleep_;
};

jobs::JobMode modeFrom(const std::string& name) {
  if (name == "update") return jobs::JobMode::kUpdate;
  if (name == "verify") return jobs::JobMode::kVerify;
  if (name == "update-unless-identical") return jobs::JobMode::kUpdateUnlessIdentical;
  if (name == "identify") return jobs::JobMode::kIdentify;
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
  pyb::dict d = toPython(jobs::recordOf(r));
  d["failure"] = pyb::cast(r.failure);
  return d;
}

// Passes a fleet's events to the caller's callbacks, with the GIL: progress within a phase at
// most every kProgressInterval per device, every phase change and every end at once. Once the
// interpreter finalises, progress ends each device's job and results are not passed on.
class PythonFleetObserver final : public jobs::FleetObserver {
 public:
  static constexpr auto kProgressInterval = std::chrono::milliseconds(50);

  PythonFleetObserver(pyb::object progress, pyb::object on_result, std::vector<std::string> names)
      : progress_(std::move(progress)),
        on_result_(std::move(on_result)),
        names_(std::move(names)),
        last_(names_.size()) {}
  ~PythonFleetObserver() override {
    dropReference(progress_);
    dropReference(on_result_);
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
  void onFinish(std::size_t, const UpdateReport& report) override {
    if (on_result_.is_none() || interpreterFinalizing()) return;
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
    if (interpreterFinalizing()) throw CancelledError("the Python interpreter is shutting down");
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

jobs::UpdateOptions updateOptions(std::int64_t device_type, bool init, const std::string& mode) {
  jobs::UpdateOptions options;
  options.mode = modeFrom(mode);
  options.device_type = device_type;
  options.init = init;
  return options;
}

// An image read and checked once, for every device of a fleet; what it was checked for travels
// with it, so a fleet cannot be run against checks made for something else.
struct PyLoadedImage {
  jobs::LoadedImage loaded;
  std::int64_t device_type = 0;
  bool init = true;
  std::string mode;
  std::vector<std::string> trusted_key_ids;
};

pyb::object faultOf(const PyLoadedImage& image) {
  if (!image.loaded.fault) return pyb::none();
  return pyb::make_tuple(image.loaded.fault->failure, displayText(image.loaded.fault->error));
}

std::shared_ptr<PyLoadedImage> loadImage(const pyb::object& image_object, std::int64_t device_type,
                                         bool init, const std::string& mode,
                                         const pyb::object& trusted_keys) {
  const std::string path = image_object.is_none() ? std::string() : pathBytes(image_object);
  const std::vector<std::string> key_paths =
      trusted_keys.is_none() ? std::vector<std::string>() : pathList(trusted_keys, "trusted_keys");
  auto image = std::make_shared<PyLoadedImage>();
  image->device_type = device_type;
  image->init = init;
  image->mode = mode;
  jobs::UpdateOptions options = updateOptions(device_type, init, mode);
  pyb::gil_scoped_release release;
  options.trust = flash::TrustPolicy::fromKeyFiles(key_paths);
  for (const crypto::Ed25519PublicKey& key : options.trust.keys())
    image->trusted_key_ids.push_back(key.keyId());
  image->loaded = jobs::loadJobImage(path, options);
  return image;
}

// The image's trust verdict, when it was read.
const flash::TrustVerdict* trustOf(const PyLoadedImage& image) {
  return image.loaded.image ? &image.loaded.image->trust : nullptr;
}

// Why a fleet with these settings cannot run, found without a device: (Failure, message), or
// None.
pyb::object checkOffline(const pyb::object& image_object, std::int64_t device_type, bool init,
                         const std::string& mode) {
  const jobs::UpdateOptions options = updateOptions(device_type, init, mode);
  const std::string image_path = pathBytes(image_object);
  std::optional<jobs::OfflineFault> fault;
  {
    pyb::gil_scoped_release release;
    fault = jobs::checkJobOffline(image_path, options);
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

using Entries = std::vector<std::pair<std::string, std::string>>;

std::vector<jobs::DeviceEntry> deviceEntries(const Entries& entries) {
  std::vector<jobs::DeviceEntry> out;
  out.reserve(entries.size());
  for (const auto& [text, origin] : entries) out.push_back({text, origin});
  return out;
}

// Signals (Ctrl-C) run Python's handlers on the main thread while it waits; the error a handler
// raises stops the wait. A daemon thread of an interpreter that is ending stops its fleet.
void checkSignals() {
  if (interpreterFinalizing()) throw CancelledError("the Python interpreter is shutting down");
  pyb::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw pyb::error_already_set();
}

struct FleetSettings {
  double timeout;
  double connect_timeout;
  bool check_version;
  bool allow_downgrade;
  int jobs;
  int window;
  std::size_t canary;
  std::size_t max_failures;
  std::string change_id;
};

std::shared_ptr<jobs::DeviceList> checkDevices(const Entries& entries, int default_port) {
  const std::vector<jobs::DeviceEntry> device_entries = deviceEntries(entries);
  auto devices = std::make_shared<jobs::DeviceList>();
  pyb::gil_scoped_release release;
  // Every name resolved before any device is touched; Ctrl-C between two of them stops it.
  *devices = jobs::checkDeviceList(device_entries, default_port, checkSignals);
  return devices;
}

pyb::tuple runFleet(const std::shared_ptr<PyLoadedImage>& image, const jobs::DeviceList& devices,
                    const FleetSettings& settings, pyb::object progress, pyb::object on_result,
                    const pyb::object& record) {
  if (settings.jobs < 1 || settings.jobs > jobs::kMaxJobs)
    throw pyb::value_error("jobs must be from 1 to " + std::to_string(jobs::kMaxJobs));
  if (settings.window < 1 || settings.window > flash::kMaxWindow)
    throw pyb::value_error("window must be from 1 to " + std::to_string(flash::kMaxWindow));
  if (!(settings.timeout > 0) || !(settings.connect_timeout > 0))
    throw pyb::value_error("time-outs must be positive");
  if (settings.change_id.find_first_of("\r\n") != std::string::npos)
    throw pyb::value_error("a change id is one line of text");
  jobs::FleetOptions options;
  options.update = updateOptions(image->device_type, image->init, image->mode);
  options.update.check_version = settings.check_version;
  options.update.allow_downgrade = settings.allow_downgrade;
  options.update.timeout = settings.timeout;
  options.update.connect_timeout = settings.connect_timeout;
  options.update.window = settings.window;
  options.jobs = settings.jobs;
  options.canary = settings.canary;
  options.max_failures = settings.max_failures;
  options.change_id = settings.change_id;
  // Opened before any device is touched, so a record that cannot be kept stops nothing halfway.
  std::optional<jobs::RecordFile> record_file;
  if (!record.is_none()) {
    const std::string path = pathBytes(record);
    pyb::gil_scoped_release release;
    record_file.emplace(path);
  }
  options.record = record_file ? &*record_file : nullptr;
  std::vector<std::string> names;
  for (const DeviceAddress& address : devices.addresses())
    names.push_back(jobs::formatDeviceAddress(address));
  std::vector<std::shared_ptr<Host>> hosts;
  const pyb::object logger = pyb::module_::import("logging").attr("getLogger")("FPGA");
  for (const std::string& name : names) {
    hosts.push_back(
        std::make_shared<DeviceHost>(logger, names.size() > 1 ? name + ": " : "", realSleep()));
  }
  options.host_for = [&hosts](std::size_t device) { return hosts[device]; };
  PythonFleetObserver observer(std::move(progress), std::move(on_result), names);

  jobs::FleetResult result;
  {
    GilReleased released;
    result =
        jobs::runFleet(devices, image->loaded, options, &observer, CancelToken(), checkSignals);
    // The hosts let go of their Python objects, with the GIL while the interpreter runs.
    hosts.clear();
    released.reacquire();
  }
  pyb::object callback_error = pyb::none();
  if (observer.error) callback_error = observer.error->value();
  pyb::object record_error = recordError(result.record_error);
  pyb::list reports;
  for (const UpdateReport& report : result.reports) reports.append(reportDict(report));
  pyb::object stopped = pyb::none();
  if (result.stopped_by) {
    try {
      std::rethrow_exception(result.stopped_by);
    } catch (pyb::error_already_set& e) {
      stopped = e.value();
    } catch (const std::exception& e) {
      stopped = pyb::reinterpret_borrow<pyb::object>(PyExc_KeyboardInterrupt)(e.what());
    }
  }
  return pyb::make_tuple(reports, stopped, record_error, callback_error);
}

// kestrix._core.DeviceListError: a ValueError whose `problems` lists every bad entry as
// (kind, origin, text, reason), kind being "malformed", "unresolved" or "duplicate".
void bindDeviceListError(pyb::module_& m) {
  PYBIND11_CONSTINIT static pyb::gil_safe_call_once_and_store<pyb::object> storage;
  storage.call_once_and_store_result([&m] {
    return pyb::object(
        pyb::exception<jobs::DeviceListError>(m, "DeviceListError", PyExc_ValueError));
  });
  pyb::register_exception_translator([](std::exception_ptr error) {
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const jobs::DeviceListError& e) {
      pyb::list problems;
      for (const jobs::DeviceListProblem& p : e.problems()) {
        const char* kind = p.kind == jobs::DeviceListProblem::Kind::kMalformed    ? "malformed"
                           : p.kind == jobs::DeviceListProblem::Kind::kUnresolved ? "unresolved"
                                                                                  : "duplicate";
        problems.append(pyb::make_tuple(kind, displayText(p.origin), displayText(p.text),
                                        displayText(p.reason)));
      }
      const pyb::object& type = storage.get_stored();
      pyb::object value = type(displayText(e.what()));
      value.attr("problems") = problems;
      PyErr_SetObject(type.ptr(), value.ptr());
    }
  });
}

}  // namespace

void bindFleet(pyb::module_& m) {
  realSleep();
  bindDeviceListError(m);
  m.def(
      "parse_device_address",
      [](const std::string& text, int default_port) {
        const DeviceAddress address = jobs::parseDeviceAddress(text, default_port);
        return pyb::make_tuple(address.host, address.port);
      },
      pyb::arg("text"), pyb::arg("default_port") = kDefaultPort,
      "(host, port) of \"host\", \"host:port\" or \"[v6]:port\"; ValueError for anything else.");
  m.def(
      "read_hosts_file",
      [](const pyb::object& path) {
        const std::string file = pathBytes(path);
        std::vector<jobs::DeviceEntry> entries;
        {
          pyb::gil_scoped_release release;
          entries = jobs::readHostsFile(file);
        }
        pyb::list out;
        for (const jobs::DeviceEntry& e : entries)
          out.append(pyb::make_tuple(displayText(e.text), displayText(e.origin)));
        return out;
      },
      pyb::arg("path"),
      "The entries of a hosts file as (text, origin) pairs, origin naming the file and line;\n"
      "OSError when it cannot be read, is too large, or is a FIFO nobody writes to in time.");
  m.def("check_offline", &checkOffline, pyb::arg("image_path"), pyb::kw_only(),
        pyb::arg("device_type") = flash::kDefaultDeviceType, pyb::arg("init") = true,
        pyb::arg("mode") = "update",
        "Why run_fleet with these settings would fail for every device, found without one:\n"
        "(Failure, message), or None when the image and the device type are fine.");

  pyb::class_<PyLoadedImage, std::shared_ptr<PyLoadedImage>>(
      m, "LoadedImage",
      "An image read and checked once for a fleet: every device gets exactly these bytes.")
      .def_property_readonly("path",
                             [](const PyLoadedImage& i) {
                               return i.loaded.image ? pathObject(i.loaded.image->path)
                                                     : pyb::object(pyb::none());
                             })
      .def_property_readonly("size",
                             [](const PyLoadedImage& i) -> std::uint64_t {
                               return i.loaded.image ? i.loaded.image->image.bytes.size() : 0;
                             })
      .def_property_readonly("sha256",
                             [](const PyLoadedImage& i) {
                               return i.loaded.image ? i.loaded.image->sha256 : std::string();
                             })
      .def_property_readonly("fpga_version",
                             [](const PyLoadedImage& i) -> std::optional<std::string> {
                               if (!i.loaded.image) return std::nullopt;
                               return i.loaded.image->image.fpga_version;
                             })
      .def_property_readonly("fault", &faultOf,
                             "(Failure, message) when the image cannot be used, else None.")
      .def_property_readonly(
          "trust_status",
          [](const PyLoadedImage& i) -> std::optional<std::string> {
            const flash::TrustVerdict* trust = trustOf(i);
            if (trust == nullptr) return std::nullopt;
            return std::string(flash::trustStatusName(trust->status));
          },
          "The signature's verdict (\"verified\", \"no-signature\", ...), or None when no image\n"
          "was read.")
      .def_property_readonly(
          "signing_key_id",
          [](const PyLoadedImage& i) -> std::optional<std::string> {
            const flash::TrustVerdict* trust = trustOf(i);
            return trust == nullptr ? std::nullopt : trust->key_id;
          },
          "The full id of the key the signature names, or None.")
      .def_property_readonly(
          "signature_verified",
          [](const PyLoadedImage& i) {
            const flash::TrustVerdict* trust = trustOf(i);
            return trust != nullptr && trust->verified();
          },
          "Whether the signature verified under one of the trusted keys.")
      .def_property_readonly(
          "trusted_key_ids", [](const PyLoadedImage& i) { return i.trusted_key_ids; },
          "The ids of the keys the image was checked against (empty: no signature required).")
      .def_property_readonly("device_type", [](const PyLoadedImage& i) { return i.device_type; })
      .def_property_readonly("init", [](const PyLoadedImage& i) { return i.init; })
      .def_property_readonly("mode", [](const PyLoadedImage& i) { return i.mode; });
  m.def("load_image", &loadImage, pyb::arg("image_path"), pyb::kw_only(),
        pyb::arg("device_type") = flash::kDefaultDeviceType, pyb::arg("init") = true,
        pyb::arg("mode") = "update", pyb::arg("trusted_keys") = pyb::none(),
        "Reads and checks the image once for run_fleet (None for mode 'identify'); with\n"
        "trusted_keys (public key files), an image they do not sign is refused (its fault).\n"
        "OSError for a key file that cannot be read, ValueError for one that holds no Ed25519\n"
        "public key.");
  pyb::class_<jobs::DeviceList, std::shared_ptr<jobs::DeviceList>>(
      m, "DeviceList",
      "Devices checked as a whole: every entry an address, every name resolved, each device\n"
      "once.")
      .def_property_readonly("addresses",
                             [](const jobs::DeviceList& d) {
                               std::vector<std::string> out;
                               for (const DeviceAddress& a : d.addresses())
                                 out.push_back(jobs::formatDeviceAddress(a));
                               return out;
                             })
      .def_property_readonly("origins", &jobs::DeviceList::origins)
      .def("__len__", &jobs::DeviceList::size);
  m.def("check_devices", &checkDevices, pyb::arg("entries"), pyb::kw_only(),
        pyb::arg("default_port") = kDefaultPort,
        "Checks (text, origin) entries as a whole: DeviceListError names every entry that is\n"
        "not an address, does not resolve or reaches a device an earlier entry reaches.");
  m.def(
      "run_fleet",
      [](const std::shared_ptr<PyLoadedImage>& image, const jobs::DeviceList& devices,
         bool check_version, bool allow_downgrade, double timeout, double connect_timeout, int jobs,
         int window, std::size_t canary, std::size_t max_failures, const std::string& change_id,
         pyb::object progress, pyb::object on_result, const pyb::object& record) {
        const FleetSettings settings{timeout, connect_timeout, check_version, allow_downgrade, jobs,
                                     window,  canary,          max_failures,  change_id};
        return runFleet(image, devices, settings, std::move(progress), std::move(on_result),
                        record);
      },
      pyb::arg("image"), pyb::arg("devices"), pyb::kw_only(), pyb::arg("check_version") = true,
      pyb::arg("allow_downgrade") = false, pyb::arg("timeout") = 10.0,
      pyb::arg("connect_timeout") = 5.0, pyb::arg("jobs") = 8, pyb::arg("window") = 1,
      pyb::arg("canary") = 0, pyb::arg("max_failures") = 0, pyb::arg("change_id") = "",
      pyb::arg("progress") = pyb::none(), pyb::arg("on_result") = pyb::none(),
      pyb::arg("record") = pyb::none(),
      "Runs one job per device of the checked list on `jobs` threads with the loaded image\n"
      "and returns (reports, stopped, record_error,\n"
      "callback_error): one dict per device in input order, the exception that stopped the\n"
      "fleet (KeyboardInterrupt) or None, the OSError a write to `record` met or None, and the\n"
      "first exception on_result raised or None. progress(device, stage, done, total) and\n"
      "on_result(report) are called with the GIL held. Use kestrix.fleet.update_fleet.");
}

}  // namespace kestrix::py
