#include "kestrix/wire/reply_frame.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "kestrix/wire/protocol.hpp"

namespace kestrix::wire {
namespace {

// '#', the digit count and at most nine length digits.
constexpr std::size_t kMaxHeaderSize = 11;

FrameScan complete(std::size_t length) {
  FrameScan scan;
  scan.status = FrameStatus::kComplete;
  scan.length = length;
  return scan;
}

FrameScan refused(FrameFault fault, std::size_t length, bool in_step) {
  FrameScan scan;
  scan.status = FrameStatus::kError;
  scan.fault = fault;
  scan.length = length;
  scan.in_step = in_step;
  return scan;
}

FrameScan scanLine(std::string_view buffer, std::size_t max_length, std::size_t max_line,
                   std::size_t resume) {
  if (buffer.empty()) return FrameScan{};
  // A line over the caller's limit is still read to its end, so the link stays in step, unless
  // it runs on past any sane length: then its end may never come. Only that many bytes are
  // searched, so the verdict does not depend on how much one receive happened to bring.
  const std::size_t give_up = std::max(max_length, max_line);
  const std::size_t window = std::min(buffer.size(), give_up);
  const std::size_t from = std::min(resume, window);
  if (from < window) {
    const void* lf = std::memchr(buffer.data() + from, '\n', window - from);
    if (lf != nullptr) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data());
      const std::size_t n = at + 1;
      if (n > max_length) return refused(FrameFault::kLineTooLong, n, true);
      return complete(n);
    }
  }
  if (buffer.size() >= give_up) return refused(FrameFault::kNoLineEnd, give_up, false);
  return FrameScan{};
}

FrameScan scanBlock(std::string_view buffer, const FrameLimits& limits, std::size_t resume) {
  wire::BlockHeader header{};
  const auto status =
      wire::parseBlockHeader(buffer, std::numeric_limits<std::size_t>::max(), &header);
  if (status == wire::HeaderStatus::kIncomplete) return FrameScan{};
  if (status == wire::HeaderStatus::kInvalid) {
    // The block's length is unknown; the rest of the line is all that can be skipped. A resume
    // point inside the header may date from before its bytes were checked (an LF among the
    // length digits is only seen once they have all come), so those are searched again.
    if (resume <= kMaxHeaderSize) resume = 0;
    const FrameScan line = scanLine(buffer, limits.max_line, limits.max_line, resume);
    if (line.status != FrameStatus::kComplete) return line;
    return refused(FrameFault::kMalformedHeader, line.length, true);
  }
  const std::size_t total = header.header_size + header.length + wire::kLineEnd.size();
  if (total > limits.max_length) {
    return refused(FrameFault::kBlockTooLong, total, header.length <= limits.max_drained);
  }
  if (buffer.size() < total) return FrameScan{};
  if (buffer.substr(total - wire::kLineEnd.size(), wire::kLineEnd.size()) != wire::kLineEnd) {
    return refused(FrameFault::kBadBlockEnd, total, false);
  }
  return complete(total);
}

}  // namespace

FrameScan scanReplyFrame(std::string_view buffer, const FrameLimits& limits, std::size_t resume) {
  if (!buffer.empty() && buffer.front() == '#') return scanBlock(buffer, limits, resume);
  return scanLine(buffer, limits.max_length, limits.max_line, resume);
}

FrameScan scanReplyLine(std::string_view buffer, const FrameLimits& limits, std::size_t resume) {
  return scanLine(buffer, limits.max_length, limits.max_line, resume);
}

}  // namespace kestrix::wire
