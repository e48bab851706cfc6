// The FPGA controller's wire format, as pure functions: the one place where command bytes are
// built, so that the tool and the simulator read and write exactly the same thing.
//
// A command line is the command word, for some commands a space and an argument, then CR LF.
// The programming command carries its data as an IEEE 488.2 definite-length block:
//   "FPGA_PROGRAM #" <d: digit count of n> <n in d decimal digits> <n data bytes> CR LF
// A read reply carries one flash page the same way: "#" <d> <n> <data> CR LF.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::wire {

inline constexpr std::string_view kLineEnd = "\r\n";

// Command words. The ones that take an argument end in the space that separates it.
inline constexpr std::string_view kCtrlInit = "FPGA_CTRL_INIT";
inline constexpr std::string_view kGetId = "FPGA_GET_ID";
inline constexpr std::string_view kGetVersion = "GET_FPGA_VER";
inline constexpr std::string_view kCfgModePrefix = "FPGA_CFG_MODE ";
inline constexpr std::string_view kErasePrefix = "FPGA_ERASE ";
inline constexpr std::string_view kRstPagePtrPrefix = "FPGA_RST_PAGE_PTR ";
inline constexpr std::string_view kProgramPrefix = "FPGA_PROGRAM #";
inline constexpr std::string_view kRead = "FPGA_READ";
inline constexpr std::string_view kDone = "FPGA_DONE";
inline constexpr std::string_view kRefresh = "FPGA_REFRESH";
inline constexpr std::string_view kReinit = "REINIT_RF_MODULE";
inline constexpr std::string_view kGetInfo = "GET_FE_INFO";
inline constexpr std::string_view kGetControlFwVer = "GET_FW_VER";
inline constexpr std::string_view kGetSerialNumber = "GET_SN";

// Argument values the update sends.
inline constexpr std::string_view kCfgModeTrans = "TRANS";
inline constexpr std::string_view kEraseDevice28 = "14";
inline constexpr std::string_view kEraseDevice32 = "12";
inline constexpr std::string_view kSectionCfg = "CFG";

// The controller's acknowledgement of a programming block.
inline constexpr std::string_view kProgramAck = "0";
// Whether a reply to a programming block accepts it: "0", white space around it allowed.
bool programAccepted(std::string_view reply);

// What a device that serves one client at a time answers another one, before it closes the link:
// this prefix, then why ("ERR busy: another client is connected").
inline constexpr std::string_view kBusyReply = "ERR busy";

// Flash pages, and so programming blocks and read replies, are 16 bytes.
inline constexpr std::size_t kPageSize = 16;
// What an erased flash byte reads back as.
inline constexpr char kErasedByte = '\xff';

// `line` followed by CR LF.
std::string terminate(std::string_view line);

// A command word with its argument: `prefix` (which ends in the space) then the argument bytes.
// Throws std::invalid_argument for an argument holding CR, LF or NUL: a line break would smuggle
// a second command to the device.
std::string withArgument(std::string_view prefix, std::string_view argument);

// "#" <digit count> <length>: the header of a definite-length block of n bytes. The digit count
// always matches the digits written, also for n below 10 ("#18" for 8 bytes), which is the
// standard form and the only one a conforming parser can read back unambiguously.
std::string definiteLengthHeader(std::size_t n);

// The programming line before its CR LF: "FPGA_PROGRAM " + the data as a definite-length block.
std::string programLine(std::string_view data);
// The same appended to `out`, which a caller reuses so a stream of blocks allocates nothing.
void appendProgramLine(std::string& out, std::string_view data);

// A whole read reply frame for one page: definite-length block of `data`, then CR LF.
std::string blockFrame(std::string_view data);

// What a definite-length block header at the start of `buffer` says.
struct BlockHeader {
  std::size_t header_size;  // bytes of "#", the digit count and the length field
  std::size_t length;       // data bytes that follow
};

enum class HeaderStatus { kComplete, kIncomplete, kInvalid };

// Reads the header of a definite-length block that starts at buffer[0] ('#'). kIncomplete means
// more bytes are needed; kInvalid means the bytes cannot start a block (no '#', a digit count of
// 0 or a non-digit, or a length above `max_length`).
HeaderStatus parseBlockHeader(std::string_view buffer, std::size_t max_length, BlockHeader* header);

}  // namespace kestrix::wire
