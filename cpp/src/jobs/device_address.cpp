#include "kestrix/jobs/device_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <stdexcept>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"

namespace kestrix::jobs {
namespace {

// Text a resolver reads as an IPv4 address although it is not four decimal parts: "45149",
// "127.1", "0x7f.1", "017.0.0.1" (octal).
bool ipv4Shorthand(const std::string& host) {
  in_addr a{};
  return ::inet_aton(host.c_str(), &a) != 0 && ::inet_pton(AF_INET, host.c_str(), &a) != 1;
}

}  // namespace

DeviceAddress parseDeviceAddress(std::string_view text, int default_port) {
  const auto bad = [&](const std::string& why) {
    return std::invalid_argument("device address '" + printableText(text) + "': " + why);
  };
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) throw bad("holds a control character");
  }
  try {
    requireUtf8(text);
  } catch (const DecodeError&) {
    throw bad("is not UTF-8 text");
  }
  DeviceAddress address;
  address.port = default_port;
  std::string_view host = text;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) throw bad("'[' without ']'");
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') throw bad("text after ']' that is not ':port'");
      port = rest.substr(1);
      if (port.empty()) throw bad("no port after ':'");
    }
  } else if (const auto colon = text.rfind(':');
             colon != std::string_view::npos && text.find(':') == colon) {
    // One ':' separates the port; more make a bare IPv6 address.
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) throw bad("no port after ':'");
  }
  if (host.empty()) throw bad("no host");
  address.host = std::string(host);
  if (address.host.find_first_not_of("0123456789") == std::string::npos)
    throw bad("a bare number is not an address (give a host, or host:port)");
  if (address.host.find(':') != std::string::npos) {
    in6_addr a{};
    const std::string bare = address.host.substr(0, address.host.find('%'));  // zone: fe80::1%eth0
    if (::inet_pton(AF_INET6, bare.c_str(), &a) != 1)
      throw bad("not an IPv6 address (a host:port has one ':')");
  }
  if (ipv4Shorthand(address.host))
    throw bad("not an IPv4 address of four decimal parts (such as 10.0.0.7)");
  if (!port.empty()) {
    int value = 0;
    for (const char c : port) {
      if (c < '0' || c > '9' || value > 65535) throw bad("port must be a number from 1 to 65535");
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) throw bad("port must be a number from 1 to 65535");
    address.port = value;
  }
  return address;
}

std::string formatDeviceAddress(const DeviceAddress& address) {
  const bool v6 = address.host.find(':') != std::string::npos;
  return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

}  // namespace kestrix::jobs
