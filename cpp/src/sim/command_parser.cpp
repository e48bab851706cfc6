#include "kestrix/sim/command_parser.hpp"

#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim {
namespace {

namespace wire = kestrix::wire;

// "FPGA_PROGRAM #": the block begins at the '#'.
constexpr std::string_view kProgramPrefix = wire::kProgramPrefix;
constexpr std::size_t kBlockStart = kProgramPrefix.size() - 1;

ParseResult refused(std::size_t consumed, std::string_view error, bool line_open) {
  ParseResult r;
  r.status = ParseStatus::kError;
  r.consumed = consumed;
  r.error = error;
  r.line_open = line_open;
  return r;
}

// Refuses the line that holds input[from]: everything up to and including its LF, or all of the
// input (with the line still open) when the LF has not come yet.
ParseResult refuseLine(std::string_view input, std::size_t from, std::string_view error) {
  const std::size_t lf = input.find('\n', from);
  if (lf != std::string_view::npos) return refused(lf + 1, error, false);
  return refused(input.size(), error, true);
}

ParseResult needMore() {
  return ParseResult{};
}

ParseResult parseLine(std::string_view input) {
  const std::size_t lf = input.substr(0, kMaxCommandLine + 1).find('\n');
  if (lf == std::string_view::npos) {
    if (input.size() > kMaxCommandLine) return refuseLine(input, 0, "command line too long");
    return needMore();
  }
  std::string_view line = input.substr(0, lf);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t space = line.find(' ');
  ParseResult r;
  r.status = ParseStatus::kCommand;
  r.consumed = lf + 1;
  r.command.name = line.substr(0, space);
  if (space != std::string_view::npos) r.command.argument = line.substr(space + 1);
  if (r.command.name.empty()) return refused(lf + 1, "empty command", false);
  return r;
}

ParseResult parseProgram(std::string_view input) {
  wire::BlockHeader header{};
  const auto status = wire::parseBlockHeader(input.substr(kBlockStart), kMaxBlockData, &header);
  if (status == wire::HeaderStatus::kIncomplete) return needMore();
  if (status == wire::HeaderStatus::kInvalid) {
    // Also a length above kMaxBlockData: its data cannot be skipped safely, only its line.
    return refuseLine(input, kBlockStart, "malformed block header");
  }
  const std::size_t end = kBlockStart + header.header_size + header.length;
  if (input.size() <= end) return needMore();
  std::size_t consumed;
  if (input[end] == '\n') {
    consumed = end + 1;
  } else if (input[end] == '\r') {
    if (input.size() <= end + 1) return needMore();
    if (input[end + 1] != '\n') return refuseLine(input, end, "block not followed by a line end");
    consumed = end + 2;
  } else {
    return refuseLine(input, end, "block not followed by a line end");
  }
  ParseResult r;
  r.status = ParseStatus::kCommand;
  r.consumed = consumed;
  r.command.name = kProgramCommand;
  r.command.data = input.substr(kBlockStart + header.header_size, header.length);
  r.command.has_block = true;
  return r;
}

}  // namespace

ParseResult parseCommand(std::string_view input) {
  if (input.size() < kProgramPrefix.size()) {
    // Could still become the start of a programming block: wait rather than misread it.
    if (kProgramPrefix.substr(0, input.size()) == input) return needMore();
    return parseLine(input);
  }
  if (input.substr(0, kProgramPrefix.size()) == kProgramPrefix) return parseProgram(input);
  return parseLine(input);
}

}  // namespace kestrix::sim
