#include "kestrix/jobs/device_list.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <tuple>
#include <utility>

#include "kestrix/contracts/cancel.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/net/socket.hpp"

namespace kestrix::jobs {
namespace {

using Kind = DeviceListProblem::Kind;

// One address and port a name resolves to; an IPv4-mapped IPv6 address counts as the IPv4 one.
struct Endpoint {
  int family = AF_INET;
  std::array<unsigned char, 16> bytes{};
  int port = 0;

  bool operator<(const Endpoint& o) const {
    return std::tie(family, bytes, port) < std::tie(o.family, o.bytes, o.port);
  }
  std::string text() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, bytes.data(), buffer, sizeof buffer);
    const std::string host = buffer;
    return (family == AF_INET6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  }
};

Endpoint endpointOf(const sockaddr* address, int port) {
  Endpoint e;
  e.port = port;
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    std::memcpy(e.bytes.data(), &v4->sin_addr, 4);
    return e;
  }
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
  if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
    std::memcpy(e.bytes.data(), v6->sin6_addr.s6_addr + 12, 4);
    return e;
  }
  e.family = AF_INET6;
  std::memcpy(e.bytes.data(), &v6->sin6_addr, 16);
  return e;
}

// The addresses `address` reaches, or why it reaches none.
std::vector<Endpoint> resolve(const DeviceAddress& address, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc =
      ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = "name '" + printableText(address.host) + "' not resolved: " + ::gai_strerror(rc);
    return {};
  }
  const net::AddrInfoPtr list(found);
  std::vector<Endpoint> endpoints;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6)
      endpoints.push_back(endpointOf(ai->ai_addr, address.port));
  }
  if (endpoints.empty()) *error = "name '" + printableText(address.host) + "' has no IP address";
  return endpoints;
}

std::string problemLine(const DeviceListProblem& p) {
  return p.origin + ": '" + p.text + "': " + p.reason;
}

std::string listMessage(const std::vector<DeviceListProblem>& problems) {
  std::string text = problems.size() == 1
                         ? "a device entry cannot be used:"
                         : std::to_string(problems.size()) + " device entries cannot be used:";
  for (const DeviceListProblem& p : problems) text += "\n  " + problemLine(p);
  return text;
}

}  // namespace

std::string_view problemKindName(DeviceListProblem::Kind kind) {
  switch (kind) {
    case Kind::kMalformed:
      return "malformed";
    case Kind::kUnresolved:
      return "unresolved";
    case Kind::kDuplicate:
      break;
  }
  return "duplicate";
}

DeviceListError::DeviceListError(std::vector<DeviceListProblem> problems)
    : std::invalid_argument(listMessage(problems)), problems_(std::move(problems)) {}

DeviceList checkDeviceList(const std::vector<DeviceEntry>& entries, int default_port,
                           const std::function<void()>& between) {
  std::vector<DeviceListProblem> problems;
  const auto problem = [&](Kind kind, const DeviceEntry& entry, std::string reason) {
    problems.push_back({kind, entry.origin, printableText(entry.text), std::move(reason)});
  };
  DeviceList list;
  // Which entry reached each address first.
  std::map<Endpoint, std::size_t> reached_by;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const DeviceEntry& entry = entries[i];
    DeviceAddress address;
    try {
      address = parseDeviceAddress(entry.text, default_port);
    } catch (const std::invalid_argument& e) {
      // The parser quotes the entry; the problem line does already.
      const std::string what = e.what();
      const auto colon = what.find("': ");
      problem(Kind::kMalformed, entry, colon == std::string::npos ? what : what.substr(colon + 3));
      continue;
    }
    if (between) between();
    std::string error;
    const std::vector<Endpoint> endpoints = resolve(address, &error);
    if (endpoints.empty()) {
      problem(Kind::kUnresolved, entry, error);
      continue;
    }
    std::optional<std::pair<std::size_t, Endpoint>> duplicate;
    for (const Endpoint& e : endpoints) {
      const auto [at, fresh] = reached_by.emplace(e, i);
      if (!fresh && at->second != i && !duplicate) duplicate.emplace(at->second, e);
    }
    if (duplicate) {
      const DeviceEntry& first = entries[duplicate->first];
      problem(Kind::kDuplicate, entry,
              "the same device as '" + printableText(first.text) + "' (" + first.origin +
                  "): both reach " + duplicate->second.text());
      continue;
    }
    list.addresses_.push_back(std::move(address));
    list.origins_.push_back(entry.origin);
  }
  if (!problems.empty()) throw DeviceListError(std::move(problems));
  return list;
}

DeviceList checkDeviceList(const std::vector<DeviceAddress>& addresses,
                           const std::function<void()>& between) {
  std::vector<DeviceEntry> entries;
  entries.reserve(addresses.size());
  for (std::size_t i = 0; i < addresses.size(); ++i)
    entries.push_back({formatDeviceAddress(addresses[i]), "device " + std::to_string(i + 1)});
  return checkDeviceList(entries, kDefaultPort, between);
}

std::vector<DeviceEntry> parseHostsText(std::string_view text, const std::string& name) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  std::vector<DeviceEntry> entries;
  std::size_t number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    line = stripWhitespace(line.substr(0, line.find('#')));
    if (!line.empty())
      entries.push_back({std::string(line), name + " line " + std::to_string(number)});
  }
  return entries;
}

std::vector<DeviceEntry> readHostsFile(const std::string& path, double wait_seconds) {
  if (path.find('\0') != std::string::npos) throw files::fileError(ENOENT, path);
  // Not blocking in open(): a FIFO without a writer would block there, out of reach of any
  // time-out.
  const net::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) throw files::fileError(errno, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw files::fileError(errno, path);
  if (S_ISDIR(st.st_mode)) throw files::fileError(EISDIR, path);
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > kMaxHostsFileBytes)
    throw FileError("hosts file '" + path + "' is larger than " +
                    std::to_string(kMaxHostsFileBytes) + " bytes");
  const net::Deadline deadline(wait_seconds);
  const auto late = [&](const char* what) {
    return FileError("hosts file '" + path + "': " + what + " within " + secondsText(wait_seconds) +
                     " s");
  };
  std::string text;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
      if (text.size() > kMaxHostsFileBytes)
        throw FileError("hosts file '" + path + "' is larger than " +
                        std::to_string(kMaxHostsFileBytes) + " bytes");
      continue;
    }
    if (n == 0) {
      // A FIFO that no writer has opened yet also reads as its end; poll() tells them apart,
      // since it reports a hang-up only once a writer has come and gone.
      if (S_ISFIFO(st.st_mode) && text.empty()) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 0) == 0) {
          if (net::waitFor(fd.get(), POLLIN, deadline) == net::WaitResult::kTimedOut)
            throw late("no process wrote to it");
          continue;
        }
      }
      break;
    }
    if (errno == EINTR) {
      checkCancellation();
      continue;
    }
    if (errno != EAGAIN) throw files::fileError(errno, path);
    if (net::waitFor(fd.get(), POLLIN, deadline) == net::WaitResult::kTimedOut)
      throw late("its writer did not finish");
  }
  return parseHostsText(text, path);
}

}  // namespace kestrix::jobs
