// Audit records read back: the history of devices, and the devices a run should retry.
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "core_bindings.hpp"
#include "kestrix/jobs/record.hpp"
#include "kestrix/jobs/record_history.hpp"

namespace kestrix::py {

namespace pyb = pybind11;

void bindRecords(pyb::module_& m) {
  m.def(
      "read_history",
      [](const pyb::object& path, bool all, std::optional<std::string> device,
         std::optional<std::string> since) {
        jobs::HistoryQuery query;
        query.all = all;
        query.device = std::move(device);
        query.since = std::move(since);
        const std::string file = pathBytes(path);
        const jobs::History history = withoutGil([&] { return jobs::readHistory(file, query); });
        pyb::list lines;
        for (const jobs::HistoryLine& l : history.lines)
          lines.append(pyb::make_tuple(l.line, toPython(l.record)));
        return pyb::make_tuple(lines, history.skipped);
      },
      pyb::arg("path"), pyb::kw_only(), pyb::arg("all") = false, pyb::arg("device") = pyb::none(),
      pyb::arg("since") = pyb::none(),
      "The lines of the audit record at PATH as (line number, record), the latest per device\n"
      "unless ALL, only DEVICE's (address, host or serial) and those started SINCE a UTC time\n"
      "(2026-12-08 or 2026-12-08T10:30); with the count of lines that are not records.");
  m.def(
      "record_problem",
      [](const pyb::object& path) -> std::optional<std::string> {
        const std::string file = pathBytes(path);
        return withoutGil([&] { return jobs::recordProblem(file); });
      },
      pyb::arg("path"),
      "Why an audit record could not be opened at PATH, found without creating or writing it;\n"
      "None when it could be.");
  m.def(
      "devices_to_retry",
      [](const pyb::object& path) {
        const std::string file = pathBytes(path);
        return withoutGil([&] { return jobs::devicesToRetry(file); });
      },
      pyb::arg("path"),
      "The devices whose latest line in the audit record did not succeed, as (address, origin).");
}

}  // namespace kestrix::py
