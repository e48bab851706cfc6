// The devices a fleet is asked to work on, checked as a whole before any of them is touched: every
// entry must be an address, every name must resolve, and no two entries may reach the same address
// and port. Two jobs writing one flash at once corrupt it, and a list with one bad line would
// otherwise update the good devices and fail the bad one at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/jobs/device_address.hpp"

namespace kestrix::jobs {

// One device as a list names it.
struct DeviceEntry {
  std::string text;    // as written: "host", "host:port", "[v6]:port"
  std::string origin;  // where it was written, for messages: "radios.txt line 7", "--address 2"
};

struct DeviceListProblem {
  enum class Kind {
    kMalformed,   // not an address
    kUnresolved,  // a name that does not resolve
    kDuplicate,   // reaches the same address and port as an earlier entry
  };
  Kind kind = Kind::kMalformed;
  std::string origin;
  std::string text;    // the entry as written, control characters escaped
  std::string reason;  // for people
};

// "malformed", "unresolved", "duplicate": stable, for scripts.
std::string_view problemKindName(DeviceListProblem::Kind kind);

// Every problem of a list, in list order. what() lists them a line each.
class DeviceListError : public std::invalid_argument {
 public:
  explicit DeviceListError(std::vector<DeviceListProblem> problems);
  const std::vector<DeviceListProblem>& problems() const { return problems_; }

 private:
  std::vector<DeviceListProblem> problems_;
};

// A list that passed checkDeviceList: every entry an address, resolved, each device once.
class DeviceList {
 public:
  DeviceList() = default;
  const std::vector<DeviceAddress>& addresses() const { return addresses_; }
  const std::vector<std::string>& origins() const { return origins_; }
  std::size_t size() const { return addresses_.size(); }

 private:
  friend DeviceList checkDeviceList(const std::vector<DeviceEntry>&, int,
                                    const std::function<void()>&);
  std::vector<DeviceAddress> addresses_;
  std::vector<std::string> origins_;
};

// Parses every entry (with `default_port` where it names none), resolves every name, and refuses
// the list with every problem found when an entry is not an address, a name does not resolve, or
// two entries reach one address and port (a name that resolves to several addresses reaches
// each). `between` runs before each name is resolved (a cancellation check). Throws
// DeviceListError.
DeviceList checkDeviceList(const std::vector<DeviceEntry>& entries, int default_port = kDefaultPort,
                           const std::function<void()>& between = {});
// The same for addresses already parsed; their origins are "device 1", "device 2", ...
DeviceList checkDeviceList(const std::vector<DeviceAddress>& addresses,
                           const std::function<void()>& between = {});

// A hosts file is a list of addresses, not a data file.
inline constexpr std::uint64_t kMaxHostsFileBytes = 1 << 20;
// How long a hosts file that is a pipe or a FIFO may take to be written and closed.
inline constexpr double kHostsFileWaitSeconds = 10.0;

// The entries of a hosts file's text: one address per line; '#' starts a comment; surrounding
// white space, blank lines and a leading UTF-8 byte order mark are skipped. Origins name `name`
// and the line number (from 1). A line that is not UTF-8 text is kept, to be refused as malformed.
std::vector<DeviceEntry> parseHostsText(std::string_view text, const std::string& name);
// Reads and parses a hosts file: a regular file, or a pipe or FIFO whose writer must finish within
// `wait_seconds` (one without a writer is an error then, not a hang). Throws FileError, including
// for a file over kMaxHostsFileBytes.
std::vector<DeviceEntry> readHostsFile(const std::string& path,
                                       double wait_seconds = kHostsFileWaitSeconds);

}  // namespace kestrix::jobs
