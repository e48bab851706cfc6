// load_image, check_devices and their values for Python: the image and the device list of a
// fleet, each checked whole before any device is touched.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "core_bindings.hpp"
#include "fleet_inputs.hpp"
#include "kestrix/jobs/device_list.hpp"

namespace kestrix::py {

namespace pyb = pybind11;

void checkSignals() {
  const Gil gil;
  if (!gil) throwInterpreterEnding();
  if (PyErr_CheckSignals() != 0) throw pyb::error_already_set();
}

namespace {

std::shared_ptr<PyLoadedImage> loadImage(const pyb::object& image_object, std::int64_t device_type,
                                         bool init, const std::string& mode,
                                         const pyb::object& trusted_keys) {
  const std::string path = image_object.is_none() ? std::string() : pathBytes(image_object);
  const std::vector<std::string> key_paths =
      trusted_keys.is_none() ? std::vector<std::string>() : pathList(trusted_keys, "trusted_keys");
  auto image = std::make_shared<PyLoadedImage>();
  image->options.mode = jobs::parseJobMode(mode);
  image->options.device_type = device_type;
  image->options.init = init;
  withoutGil([&] {
    image->options.trust = flash::TrustPolicy::fromKeyFiles(key_paths);
    for (const crypto::Ed25519PublicKey& key : image->options.trust.keys())
      image->trusted_key_ids.push_back(key.keyId());
    image->loaded = jobs::loadJobImage(path, image->options);
  });
  return image;
}

// The image's trust verdict, when it was read.
const flash::TrustVerdict* trustOf(const PyLoadedImage& image) {
  return image.loaded.image ? &image.loaded.image->trust : nullptr;
}

pyb::object checkOffline(const pyb::object& image_object, std::int64_t device_type, bool init,
                         const std::string& mode) {
  jobs::UpdateOptions options;
  options.mode = jobs::parseJobMode(mode);
  options.device_type = device_type;
  options.init = init;
  const std::string image_path = pathBytes(image_object);
  const std::optional<jobs::OfflineFault> fault =
      withoutGil([&] { return jobs::checkJobOffline(image_path, options); });
  if (!fault) return pyb::none();
  return pyb::make_tuple(fault->failure, displayText(fault->error));
}

using Entries = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<jobs::DeviceList> checkDevices(const Entries& entries, int default_port) {
  std::vector<jobs::DeviceEntry> device_entries;
  for (const auto& [text, origin] : entries) device_entries.push_back({text, origin});
  auto devices = std::make_shared<jobs::DeviceList>();
  // Every name resolved before any device is touched; Ctrl-C between two of them stops it.
  withoutGil([&] { *devices = jobs::checkDeviceList(device_entries, default_port, checkSignals); });
  return devices;
}

pyb::list hostsFile(const pyb::object& path) {
  const std::string file = pathBytes(path);
  const std::vector<jobs::DeviceEntry> entries =
      withoutGil([&] { return jobs::readHostsFile(file); });
  pyb::list out;
  for (const jobs::DeviceEntry& e : entries)
    out.append(pyb::make_tuple(displayText(e.text), displayText(e.origin)));
  return out;
}

// kestrix._core.DeviceListError: a ValueError whose `problems` lists every bad entry as
// (kind, origin, text, reason).
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
      for (const jobs::DeviceListProblem& p : e.problems())
        problems.append(pyb::make_tuple(std::string(jobs::problemKindName(p.kind)),
                                        displayText(p.origin), displayText(p.text),
                                        displayText(p.reason)));
      const pyb::object& type = storage.get_stored();
      pyb::object value = type(displayText(e.what()));
      value.attr("problems") = problems;
      PyErr_SetObject(type.ptr(), value.ptr());
    }
  });
}

void bindLoadedImage(pyb::module_& m) {
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
      .def_property_readonly(
          "sha256",
          [](const PyLoadedImage& i) { return i.loaded.image ? i.loaded.image->sha256 : ""; })
      .def_property_readonly("fpga_version",
                             [](const PyLoadedImage& i) -> std::optional<std::string> {
                               if (!i.loaded.image) return std::nullopt;
                               return i.loaded.image->image.fpga_version;
                             })
      .def_property_readonly(
          "fault",
          [](const PyLoadedImage& i) -> pyb::object {
            if (!i.loaded.fault) return pyb::none();
            return pyb::make_tuple(i.loaded.fault->failure, displayText(i.loaded.fault->error));
          },
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
      .def_property_readonly("device_type",
                             [](const PyLoadedImage& i) { return i.options.device_type; })
      .def_property_readonly("init", [](const PyLoadedImage& i) { return i.options.init; })
      .def_property_readonly(
          "mode", [](const PyLoadedImage& i) { return std::string(jobModeName(i.options.mode)); });
}

void bindDeviceList(pyb::module_& m) {
  pyb::class_<jobs::DeviceList, std::shared_ptr<jobs::DeviceList>>(
      m, "DeviceList",
      "Devices checked as a whole: every entry an address, every name resolved, each device\n"
      "once.")
      .def_property_readonly("addresses",
                             [](const jobs::DeviceList& d) {
                               std::vector<std::string> out;
                               for (const jobs::DeviceAddress& a : d.addresses())
                                 out.push_back(jobs::formatDeviceAddress(a));
                               return out;
                             })
      .def_property_readonly("origins", &jobs::DeviceList::origins)
      .def("__len__", &jobs::DeviceList::size);
}

}  // namespace

void bindFleetInputs(pyb::module_& m) {
  bindDeviceListError(m);
  bindLoadedImage(m);
  bindDeviceList(m);
  m.def(
      "parse_device_address",
      [](const std::string& text, int default_port) {
        const jobs::DeviceAddress address = jobs::parseDeviceAddress(text, default_port);
        return pyb::make_tuple(address.host, address.port);
      },
      pyb::arg("text"), pyb::arg("default_port") = kDefaultPort,
      "(host, port) of \"host\", \"host:port\" or \"[v6]:port\"; ValueError for anything else.");
  m.def(
      "format_device_address",
      [](const std::string& host, int port) {
        return jobs::formatDeviceAddress({host, port});
      },
      pyb::arg("host"), pyb::arg("port"),
      "The text form of a device's address that records show: \"host:port\", \"[v6]:port\".");
  m.def("read_hosts_file", &hostsFile, pyb::arg("path"),
        "The entries of a hosts file as (text, origin) pairs, origin naming the file and line;\n"
        "OSError when it cannot be read, is too large, or is a FIFO nobody writes to in time.");
  m.def("check_offline", &checkOffline, pyb::arg("image_path"), pyb::kw_only(),
        pyb::arg("device_type") = flash::kDefaultDeviceType, pyb::arg("init") = true,
        pyb::arg("mode") = "update",
        "Why run_fleet with these settings would fail for every device, found without one:\n"
        "(Failure, message), or None when the image and the device type are fine.");
  m.def("load_image", &loadImage, pyb::arg("image_path"), pyb::kw_only(),
        pyb::arg("device_type") = flash::kDefaultDeviceType, pyb::arg("init") = true,
        pyb::arg("mode") = "update", pyb::arg("trusted_keys") = pyb::none(),
        "Reads and checks the image once for run_fleet (None for mode 'identify'); with\n"
        "trusted_keys (public key files), an image they do not sign is refused (its fault).\n"
        "OSError for a key file that cannot be read, ValueError for one that holds no Ed25519\n"
        "public key.");
  m.def("check_devices", &checkDevices, pyb::arg("entries"), pyb::kw_only(),
        pyb::arg("default_port") = kDefaultPort,
        "Checks (text, origin) entries as a whole: DeviceListError names every entry that is\n"
        "not an address, does not resolve or reaches a device an earlier entry reaches.");
}

}  // namespace kestrix::py
