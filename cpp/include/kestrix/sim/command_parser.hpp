// Splits the byte stream a controller receives into commands. Pure: no state, no allocation, no
// I/O, any input accepted, so a fuzzer can call it directly.
//
// A command is one line: the command word, optionally a space and an argument, then LF (a CR
// before the LF is dropped). The programming command is the exception: "FPGA_PROGRAM #" starts an
// IEEE 488.2 definite-length block that is read by its header, so its data may hold any byte, CR
// and LF included; the block is followed by the line end.
#pragma once

#include <cstddef>
#include <string_view>

#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim {

// The programming command's word: "FPGA_PROGRAM #" without the space and the block's '#'.
inline constexpr std::string_view kProgramCommand =
    kestrix::wire::kProgramPrefix.substr(0, kestrix::wire::kProgramPrefix.size() - 2);

// A line (or an announced block) longer than this is refused without being buffered.
inline constexpr std::size_t kMaxCommandLine = 4096;
inline constexpr std::size_t kMaxBlockData = 64 * 1024;

struct Command {
  std::string_view name;      // the command word, e.g. "FPGA_ERASE" or "ExtCtrl_EN?"
  std::string_view argument;  // the text after the first space, without the line end
  std::string_view data;      // the data of a programming block
  bool has_block = false;     // the command carried a definite-length block
};

enum class ParseStatus {
  kCommand,   // `command` is complete; drop `consumed` bytes
  kNeedMore,  // no complete command yet; keep the bytes and append more (consumed is 0)
  kError,     // the bytes cannot form a command; drop `consumed` bytes and answer `error`
};

struct ParseResult {
  ParseStatus status = ParseStatus::kNeedMore;
  std::size_t consumed = 0;
  Command command;         // views into the input, valid while it is
  std::string_view error;  // static text naming the fault (kError)
  // kError only: the refused line has not ended yet; its remaining bytes, up to and including
  // the next LF, belong to it and must be dropped before parsing again.
  bool line_open = false;
};

// Parses the command at the front of `input`. Invariants: kNeedMore consumes nothing and only
// happens while input is shorter than a command may be; every other result consumes between 1
// and input.size() bytes. Feeding the rest of the input again always makes progress.
ParseResult parseCommand(std::string_view input);

}  // namespace kestrix::sim
