// Fuzzes the simulator's command parser with the input taken as the bytes a controller receives.
// Beyond "no crash, no leak, no undefined behaviour" it checks what the parser promises:
//   - kNeedMore consumes nothing and only happens while the input is shorter than a command may
//     be; every other result consumes between 1 and input.size() bytes;
//   - a command's argument and data are views into the bytes it consumed (and so is its name,
//     but for the programming command's), a command ends in LF, and a programming block's data
//     is exactly what its header announces;
//   - parsing the whole input at once and parsing it as it arrives in pieces (the first byte
//     picks the piece sizes) give the same commands and refusals, in the same order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/sim/command_parser.hpp"
#include "kestrix/wire/protocol.hpp"
#include "require.hpp"

namespace {

namespace wire = kestrix::wire;
using kestrix::sim::Command;
using kestrix::sim::kMaxBlockData;
using kestrix::sim::kMaxCommandLine;
using kestrix::sim::kProgramCommand;
using kestrix::sim::parseCommand;
using kestrix::sim::ParseResult;
using kestrix::sim::ParseStatus;

// A command line is at most a few kilobytes and a programming block 64 KiB.
constexpr std::size_t kMaxInput = 1 << 18;
constexpr std::size_t kBlockStart = wire::kProgramPrefix.size() - 1;  // the block's '#'
// '#', the digit count and at most nine length digits.
constexpr std::size_t kMaxHeaderSize = 11;

// `part` lies within the first `size` bytes of `input` (an empty view may point anywhere).
bool within(std::string_view part, std::string_view input, std::size_t size) {
  if (part.empty()) return true;
  return part.data() >= input.data() && part.data() + part.size() <= input.data() + size;
}

void checkResult(std::string_view input, const ParseResult& r) {
  const bool program = input.substr(0, wire::kProgramPrefix.size()) == wire::kProgramPrefix;
  switch (r.status) {
    case ParseStatus::kNeedMore:
      REQUIRE(r.consumed == 0 && !r.line_open && r.error.empty());
      if (program) {
        REQUIRE(input.size() < kBlockStart + kMaxHeaderSize + kMaxBlockData + 2);
      } else {
        REQUIRE(input.size() <= kMaxCommandLine);
      }
      return;
    case ParseStatus::kError:
      REQUIRE(r.consumed >= 1 && r.consumed <= input.size());
      REQUIRE(!r.error.empty());
      // A closed refusal ends at its line end; an open one takes everything there is.
      if (r.line_open) {
        REQUIRE(r.consumed == input.size());
      } else {
        REQUIRE(input[r.consumed - 1] == '\n');
      }
      return;
    case ParseStatus::kCommand:
      break;
  }
  REQUIRE(r.consumed >= 1 && r.consumed <= input.size());
  REQUIRE(input[r.consumed - 1] == '\n');
  REQUIRE(r.error.empty() && !r.line_open);
  const Command& c = r.command;
  REQUIRE(!c.name.empty());
  // The programming command's name is the parser's own constant; every other view is the input.
  REQUIRE(c.name == kProgramCommand ||
          (c.name.data() == input.data() && within(c.name, input, r.consumed)));
  REQUIRE(within(c.argument, input, r.consumed) && within(c.data, input, r.consumed));
  REQUIRE(c.name.find(' ') == std::string_view::npos);
  REQUIRE(c.name.find('\n') == std::string_view::npos);
  REQUIRE(c.argument.find('\n') == std::string_view::npos);
  if (!c.has_block) {
    REQUIRE(c.data.empty());
    REQUIRE(r.consumed <= kMaxCommandLine + 1);
    return;
  }
  REQUIRE(program && c.name == kProgramCommand && c.argument.empty());
  wire::BlockHeader header{};
  REQUIRE(wire::parseBlockHeader(input.substr(kBlockStart), kMaxBlockData, &header) ==
          wire::HeaderStatus::kComplete);
  REQUIRE(c.data.size() == header.length);
  REQUIRE(c.data.data() == input.data() + kBlockStart + header.header_size);
  const std::size_t end = kBlockStart + header.header_size + header.length;
  REQUIRE(r.consumed == end + 1 || (r.consumed == end + 2 && input[end] == '\r'));
}

// What a controller makes of a byte stream, the way its session reads it: commands and
// refusals in order, a refused line dropped to its end, and the bytes still waiting at the end.
struct Transcript {
  std::vector<std::string> events;
  std::string pending;
  bool discarding = false;

  // Appends `bytes` and handles every complete command, as a receive would.
  void receive(std::string_view bytes) {
    pending.append(bytes);
    std::size_t pos = 0;
    std::size_t steps = 0;
    while (pos < pending.size()) {
      REQUIRE(++steps <= pending.size() + 1);  // each step consumes at least one byte
      if (discarding) {
        const std::size_t lf = pending.find('\n', pos);
        if (lf == std::string::npos) {
          pos = pending.size();
          break;
        }
        pos = lf + 1;
        discarding = false;
        continue;
      }
      const std::string_view rest = std::string_view(pending).substr(pos);
      const ParseResult r = parseCommand(rest);
      checkResult(rest, r);
      if (r.status == ParseStatus::kNeedMore) break;
      pos += r.consumed;
      if (r.status == ParseStatus::kError) {
        discarding = r.line_open;
        events.push_back("E " + std::string(r.error));
      } else {
        const Command& c = r.command;
        std::string event = "C ";
        event.append(c.name).append(1, '\0').append(c.argument).append(1, '\0');
        event.append(c.has_block ? "B" : "-").append(c.data);
        events.push_back(std::move(event));
      }
    }
    pending.erase(0, pos);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  // Alone, the parser must keep its own promises.
  checkResult(stream, parseCommand(stream));

  Transcript whole;
  whole.receive(stream);

  // Piece sizes from 1 to 64 bytes, from a small generator seeded by the first byte.
  Transcript pieces;
  std::uint32_t state = data[0] * 2654435761u + 1;
  std::size_t pos = 0;
  while (pos < stream.size()) {
    state = state * 1103515245u + 12345u;
    const std::size_t n = 1 + (state >> 16) % 64;
    pieces.receive(stream.substr(pos, n));
    pos += n;
  }
  REQUIRE(whole.events == pieces.events);
  REQUIRE(whole.pending == pieces.pending);
  REQUIRE(whole.discarding == pieces.discarding);
  return 0;
}
