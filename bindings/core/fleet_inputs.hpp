// What a fleet run from Python is given, checked before any device is touched: the image, read
// and checked once (LoadedImage), and the list of devices (jobs::DeviceList).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/jobs/update_job.hpp"

namespace kestrix::py {

// An image read and checked once, for every device of a fleet; what it was checked for travels
// with it, so a fleet cannot be run against checks made for something else.
struct PyLoadedImage {
  jobs::LoadedImage loaded;
  jobs::UpdateOptions options;  // mode, device type, init and trust policy it was loaded for
  std::vector<std::string> trusted_key_ids;
};

// Runs Python's signal handlers (Ctrl-C) between waits; the error a handler raises stops the
// wait. In a daemon thread of an interpreter that is ending, stops the work instead.
void checkSignals();

}  // namespace kestrix::py
