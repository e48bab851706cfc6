// Fuzzes the reply frame scanner of the device connection. The first four bytes pick the limits
// (byte 0 = 0: the connection's own limits), the rest is what the device sent. Beyond "no crash,
// no leak, no undefined behaviour" it checks what the scanner promises:
//   - a complete frame lies within the buffer and the caller's limit and ends where its kind
//     says: a line at its first LF, a block after its announced data and CR LF;
//   - a refused frame says how many bytes to drop, and those bytes really are that frame;
//   - the verdict is the same however the bytes were split into receives, also when each scan
//     resumes where the last one left off, as the connection does;
//   - reading frame after frame off the stream always makes progress.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "kestrix/wire/protocol.hpp"
#include "kestrix/wire/reply_frame.hpp"
#include "require.hpp"

namespace {

namespace wire = kestrix::wire;
using kestrix::wire::FrameFault;
using kestrix::wire::FrameLimits;
using kestrix::wire::FrameScan;
using kestrix::wire::FrameStatus;

constexpr std::size_t kMaxInput = 1 << 18;

bool same(const FrameScan& a, const FrameScan& b) {
  return a.status == b.status && a.fault == b.fault && a.length == b.length &&
         a.in_step == b.in_step;
}

FrameScan scan(std::string_view buffer, const FrameLimits& limits, bool line_only,
               std::size_t resume = 0) {
  return line_only ? kestrix::wire::scanReplyLine(buffer, limits, resume)
                   : kestrix::wire::scanReplyFrame(buffer, limits, resume);
}

void checkVerdict(std::string_view buffer, const FrameLimits& limits, bool line_only,
                  const FrameScan& s) {
  const bool block = !line_only && !buffer.empty() && buffer.front() == '#';
  const std::size_t give_up = std::max(limits.max_length, limits.max_line);
  switch (s.status) {
    case FrameStatus::kNeedMore:
      REQUIRE(s.fault == FrameFault::kNone && s.length == 0);
      if (!block) {
        REQUIRE(buffer.size() < give_up || buffer.empty());
        REQUIRE(buffer.find('\n') == std::string_view::npos);
      }
      return;
    case FrameStatus::kComplete: {
      REQUIRE(s.fault == FrameFault::kNone);
      REQUIRE(s.length >= 1 && s.length <= buffer.size() && s.length <= limits.max_length);
      const std::string_view frame = buffer.substr(0, s.length);
      REQUIRE(frame.back() == '\n');
      if (!block) {
        REQUIRE(frame.find('\n') == s.length - 1);
        return;
      }
      wire::BlockHeader header{};
      REQUIRE(wire::parseBlockHeader(frame, limits.max_length, &header) ==
              wire::HeaderStatus::kComplete);
      REQUIRE(s.length == header.header_size + header.length + wire::kLineEnd.size());
      REQUIRE(frame.substr(s.length - 2) == wire::kLineEnd);
      return;
    }
    case FrameStatus::kError:
      break;
  }
  REQUIRE(s.fault != FrameFault::kNone);
  switch (s.fault) {
    case FrameFault::kLineTooLong:
      REQUIRE(!block && s.in_step && s.length > limits.max_length);
      REQUIRE(s.length <= buffer.size() && buffer.find('\n') == s.length - 1);
      break;
    case FrameFault::kMalformedHeader: {
      REQUIRE(block && s.in_step && s.length <= buffer.size());
      REQUIRE(buffer.find('\n') == s.length - 1);
      wire::BlockHeader header{};
      REQUIRE(wire::parseBlockHeader(buffer, static_cast<std::size_t>(-1), &header) ==
              wire::HeaderStatus::kInvalid);
      break;
    }
    case FrameFault::kBlockTooLong: {
      REQUIRE(block && s.length > limits.max_length);
      wire::BlockHeader header{};
      REQUIRE(wire::parseBlockHeader(buffer, static_cast<std::size_t>(-1), &header) ==
              wire::HeaderStatus::kComplete);
      REQUIRE(s.length == header.header_size + header.length + wire::kLineEnd.size());
      REQUIRE(s.in_step == (header.length <= limits.max_drained));
      break;
    }
    case FrameFault::kNoLineEnd:
      REQUIRE(!s.in_step && s.length <= buffer.size());
      REQUIRE(buffer.substr(0, s.length).find('\n') == std::string_view::npos);
      break;
    case FrameFault::kBadBlockEnd:
      REQUIRE(block && !s.in_step && s.length <= buffer.size() && s.length >= 2);
      REQUIRE(buffer.substr(s.length - 2, 2) != wire::kLineEnd);
      break;
    case FrameFault::kNone:
      break;
  }
}

// Scans every prefix in turn, resuming after each kNeedMore as the connection does, and checks
// that the first verdict matches the one for the whole buffer.
void checkReceivedInPieces(std::string_view buffer, const FrameLimits& limits, bool line_only,
                           const FrameScan& whole) {
  std::size_t resume = 0;
  for (std::size_t k = 0; k <= buffer.size(); ++k) {
    const FrameScan part = scan(buffer.substr(0, k), limits, line_only, resume);
    if (part.status == FrameStatus::kNeedMore) {
      resume = k;
      continue;
    }
    REQUIRE(same(part, whole));
    // Without the resume point the verdict is the same too.
    REQUIRE(same(scan(buffer.substr(0, k), limits, line_only), whole));
    return;
  }
  REQUIRE(whole.status == FrameStatus::kNeedMore);
}

// Reads frames off the stream the way the connection does until it needs more or gives up.
void checkStream(std::string_view stream, const FrameLimits& limits) {
  const std::size_t most_frames = stream.size();  // each takes at least one byte
  std::size_t steps = 0;
  while (!stream.empty()) {
    REQUIRE(++steps <= most_frames);
    const FrameScan s = scan(stream, limits, false);
    checkVerdict(stream, limits, false, s);
    if (s.status == FrameStatus::kNeedMore) return;
    if (s.status == FrameStatus::kError && !s.in_step) return;
    REQUIRE(s.length >= 1);
    if (s.length > stream.size()) return;  // a dropped block whose rest has not come yet
    stream.remove_prefix(s.length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4 || size > kMaxInput) return 0;
  FrameLimits limits;
  if (data[0] != 0) {
    // Small limits reach the give-up paths with short inputs.
    limits.max_length = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % 4096;
    limits.max_line = data[2];
    limits.max_drained = data[3];
  }
  const std::string_view buffer(reinterpret_cast<const char*>(data) + 4, size - 4);
  for (const bool line_only : {false, true}) {
    const FrameScan whole = scan(buffer, limits, line_only);
    checkVerdict(buffer, limits, line_only, whole);
    checkReceivedInPieces(buffer, limits, line_only, whole);
  }
  checkStream(buffer, limits);
  return 0;
}
