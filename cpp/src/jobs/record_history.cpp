#include "kestrix/jobs/record_history.hpp"

#include <cctype>
#include <cerrno>
#include <fstream>
#include <map>
#include <stdexcept>
#include <utility>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/jobs/record.hpp"

namespace kestrix::jobs {
namespace {

// One line of a record is a few hundred bytes; a longer one is not a record.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

// The UTC time forms --since takes, as the prefix of a record's started_at they compare with.
std::string sinceKey(const std::string& text) {
  std::string key = text;
  if (!key.empty() && key.back() == 'Z') key.pop_back();
  // "dddd-dd-dd", then optionally "Tdd:dd" and ":dd".
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  const bool length_ok = key.size() == 10 || key.size() == 16 || key.size() == 19;
  bool shape_ok = length_ok;
  for (std::size_t i = 0; shape_ok && i < key.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(key[i])) != 0;
    shape_ok = kShape[i] == 'd' ? digit : key[i] == kShape[i];
  }
  if (!shape_ok)
    throw std::invalid_argument("'" + printableText(text) +
                                "' is not a UTC time such as 2026-12-08 or 2026-12-08T10:30");
  return key;
}

std::string textField(const Json& record, const char* key) {
  const auto found = record.find(key);
  return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool matchesDevice(const Json& record, const std::string& device) {
  return textField(record, "address") == device || textField(record, "host") == device ||
         textField(record, "serial") == device;
}

// Calls `take(line_number, record)` for every line of the record that is a JSON object with an
// address; returns how many lines were not.
template <typename Take>
std::size_t eachRecord(const std::string& path, Take take) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw files::fileError(errno != 0 ? errno : ENOENT, path);
  std::size_t skipped = 0;
  std::size_t number = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    Json record;
    if (line.size() <= kMaxLineBytes) record = Json::parse(line, nullptr, false);
    if (!record.is_object() || textField(record, "address").empty()) {
      ++skipped;
      continue;
    }
    take(number, std::move(record));
  }
  if (in.bad()) throw files::fileError(EIO, path);
  return skipped;
}

}  // namespace

History readHistory(const std::string& path, const HistoryQuery& query) {
  const std::optional<std::string> since =
      query.since ? std::optional<std::string>(sinceKey(*query.since)) : std::nullopt;
  History history;
  std::map<std::string, std::size_t> latest;  // address -> index in history.lines
  history.skipped = eachRecord(path, [&](std::size_t number, Json record) {
    if (query.device && !matchesDevice(record, *query.device)) return;
    if (since && textField(record, "started_at").substr(0, since->size()) < *since) return;
    const std::string address = textField(record, "address");
    if (!query.all) {
      if (const auto at = latest.find(address); at != latest.end()) {
        history.lines[at->second].line = 0;  // superseded
      }
      latest[address] = history.lines.size();
    }
    history.lines.push_back({number, std::move(record)});
  });
  if (!query.all) {
    std::vector<HistoryLine> kept;
    for (HistoryLine& l : history.lines)
      if (l.line != 0) kept.push_back(std::move(l));
    history.lines = std::move(kept);
  }
  return history;
}

std::vector<std::pair<std::string, std::string>> devicesToRetry(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> devices;
  for (const HistoryLine& l : readHistory(path).lines) {
    const std::optional<Outcome> outcome = parseOutcome(textField(l.record, "outcome"));
    if (outcome && succeeded(*outcome)) continue;
    devices.emplace_back(textField(l.record, "address"), path + " line " + std::to_string(l.line));
  }
  return devices;
}

}  // namespace kestrix::jobs
