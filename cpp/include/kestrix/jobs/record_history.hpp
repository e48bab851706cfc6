// Reading an audit record back: what happened to each device, the latest line per device by
// default. A record is appended to by many runs and may end in a line an interrupted run could
// not finish; lines that are not records are counted, not fatal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "kestrix/contracts/json.hpp"

namespace kestrix::jobs {

struct HistoryQuery {
  bool all = false;  // every line, not only the latest per device
  // Only lines of this device: its address ("host:port"), host or serial number.
  std::optional<std::string> device;
  // Only lines that started at or after this UTC time: "2026-12-08", "2026-12-08T10:30",
  // "2026-12-08T10:30:15" (a trailing "Z" allowed). Throws std::invalid_argument for another form.
  std::optional<std::string> since;
};

struct HistoryLine {
  std::size_t line = 0;  // from 1
  Json record;
};

struct History {
  std::vector<HistoryLine> lines;  // in file order (the latest per device: of its last line)
  std::size_t skipped = 0;         // lines that are not records (not JSON, no address)
};

// The record at `path` as `query` asks. Throws FileError when it cannot be read.
History readHistory(const std::string& path, const HistoryQuery& query = {});

// The devices whose latest line in the record at `path` is not a success (see
// jobs::succeeded): (address, "PATH line N") in file order. Throws FileError.
std::vector<std::pair<std::string, std::string>> devicesToRetry(const std::string& path);

}  // namespace kestrix::jobs
