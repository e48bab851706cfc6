// A device's address as people write it and as records show it.
#pragma once

#include <string>
#include <string_view>

#include "kestrix/contracts/connection.hpp"

namespace kestrix::jobs {

struct DeviceAddress {
  std::string host;
  int port = kDefaultPort;
};

// "host", "host:port", "[v6 address]" or "[v6 address]:port" (a bare v6 address with more than
// one ':' is taken whole). Throws std::invalid_argument for an empty host, a port that is not a
// number from 1 to 65535, a control character or bytes that are not UTF-8, a bare number
// ("45149" is a port someone meant, not the address 0.0.176.93) and the shorthand IPv4 forms
// that only some resolvers read ("127.1", "0x7f.0.0.1", "017.0.0.1": octal), where an address of
// four decimal parts is meant.
DeviceAddress parseDeviceAddress(std::string_view text, int default_port = kDefaultPort);
// The text form parseDeviceAddress reads back: "host:port", "[v6]:port".
std::string formatDeviceAddress(const DeviceAddress& address);

}  // namespace kestrix::jobs
