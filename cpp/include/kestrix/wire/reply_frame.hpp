// Where the reply frame at the front of a receive buffer ends. Pure: no state, no I/O, no
// allocation, any bytes accepted, so the connection and a fuzzer share exactly the same logic.
//
// A frame that starts with '#' is an IEEE 488.2 definite-length block ('#', one digit d, d length
// digits, the data, CR LF), found by its header so that CR and LF inside the data never cut it
// short; any other frame is one line up to and including LF.
//
// The answer depends only on the bytes, never on how they were split into receives: once a
// buffer gives anything but kNeedMore, every longer buffer that starts with it gives the same.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrix::wire {

// Longest text reply line accepted; a device that sends more is misbehaving.
inline constexpr std::size_t kMaxLineLength = 64 * 1024;
// Largest oversized block that is still read to its end (and dropped) to keep the link usable.
inline constexpr std::size_t kMaxDrainedBlock = 16 * 1024 * 1024;

struct FrameLimits {
  std::size_t max_length = kMaxLineLength;  // the caller's limit on the whole frame
  // A line that has not ended after max(max_length, max_line) bytes may never end: given up.
  std::size_t max_line = kMaxLineLength;
  // An oversized block up to this many data bytes is dropped and the link kept; above, given up.
  std::size_t max_drained = kMaxDrainedBlock;
};

enum class FrameStatus {
  kComplete,  // the frame is the first `length` bytes (1 <= length <= buffer size, <= max_length)
  kNeedMore,  // no verdict yet: receive more bytes and ask again
  kError,     // the frame is refused for `fault`
};

enum class FrameFault {
  kNone,
  kLineTooLong,      // a line of `length` bytes, over max_length
  kBlockTooLong,     // a block of `length` bytes (header and CR LF included), over max_length
  kMalformedHeader,  // the block header cannot be read; the line holding it is `length` bytes
  kNoLineEnd,        // no LF within the first `length` bytes: the frame's end cannot be found
  kBadBlockEnd,      // the block's `length` bytes do not end in CR LF: its real end is unknown
};

struct FrameScan {
  FrameStatus status = FrameStatus::kNeedMore;
  FrameFault fault = FrameFault::kNone;
  std::size_t length = 0;
  // kError only. True: dropping `length` bytes (receiving those not buffered yet, which only a
  // kBlockTooLong may need) leaves the link at the start of the next frame. False: where the
  // next frame starts is unknown and the link cannot be trusted any more.
  bool in_step = false;
};

// The reply frame at the front of `buffer`, either kind. `resume` is the buffer's size at an
// earlier kNeedMore for this same frame (0 at first): the bytes before it are not searched again,
// so a long line arriving in many pieces is scanned once.
FrameScan scanReplyFrame(std::string_view buffer, const FrameLimits& limits,
                         std::size_t resume = 0);

// The reply at the front of `buffer` read as one line whatever its first byte (a command's reply).
FrameScan scanReplyLine(std::string_view buffer, const FrameLimits& limits, std::size_t resume = 0);

}  // namespace kestrix::wire
