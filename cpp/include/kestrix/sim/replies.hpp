// The simulated device's reply words, in one place so that the convention can follow the device
// classes that talk to it. Every reply is one line ending in CR LF, except the read reply, which
// is a definite-length block followed by CR LF.
#pragma once

#include <string_view>

#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim::replies {

using std::string_view_literals::operator""sv;

// A setting command that succeeded.
inline constexpr std::string_view kOk = "OK";
// A failed command: this prefix, then what went wrong.
inline constexpr std::string_view kErrorPrefix = "ERR ";
// Boolean query answers ("BEAM_PATTERN_STORE_EN?", "ExtCtrl_EN?").
inline constexpr std::string_view kOn = "1";
inline constexpr std::string_view kOff = "0";
// The controller's answer to a programming block it took, and to one it refused.
inline constexpr std::string_view kBlockAccepted = kestrix::wire::kProgramAck;
inline constexpr std::string_view kBlockRefused = "1";
// What a device that talks nonsense answers, whatever it was asked: not UTF-8, not a block.
inline constexpr std::string_view kGarbage = "\xff\xfe\x00garbage\x80?\r\n"sv;

// Why a client beyond the limit of clients is turned away (after kErrorPrefix), before it is
// closed: a host can then say "device busy" at once instead of waiting for a time-out. The whole
// line starts with the protocol's kBusyReply, which hosts look for.
inline constexpr std::string_view kBusy = "busy: another client is connected";

inline constexpr std::string_view kLineEnd = kestrix::wire::kLineEnd;

}  // namespace kestrix::sim::replies
