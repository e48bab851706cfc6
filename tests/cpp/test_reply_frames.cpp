// The reply frame scanner: where a frame ends, what is refused, and that the verdict does not
// depend on how the bytes were split into receives.
#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

#include "kestrix/wire/protocol.hpp"
#include "kestrix/wire/reply_frame.hpp"

namespace {

using kestrix::wire::FrameFault;
using kestrix::wire::FrameLimits;
using kestrix::wire::FrameScan;
using kestrix::wire::FrameStatus;
using kestrix::wire::scanReplyFrame;
using kestrix::wire::scanReplyLine;
namespace wire = kestrix::wire;
using namespace std::string_literals;

// Small line and drain limits, so the give-up paths are reachable with short buffers.
FrameLimits limits(std::size_t max_length, std::size_t max_line = 64,
                   std::size_t max_drained = 32) {
  FrameLimits l;
  l.max_length = max_length;
  l.max_line = max_line;
  l.max_drained = max_drained;
  return l;
}

struct FrameCase {
  const char* name;
  std::string buffer;
  FrameLimits limits;
  FrameStatus status;
  FrameFault fault;
  std::size_t length;
  bool in_step;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
  *os << c.name;
}

class ReplyFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ReplyFrames, ScanGivesTheExpectedVerdict) {
  const FrameCase& c = GetParam();
  const FrameScan scan = scanReplyFrame(c.buffer, c.limits);
  EXPECT_EQ(scan.status, c.status);
  EXPECT_EQ(scan.fault, c.fault);
  EXPECT_EQ(scan.length, c.length);
  EXPECT_EQ(scan.in_step, c.in_step);
}

constexpr auto kComplete = FrameStatus::kComplete;
constexpr auto kNeedMore = FrameStatus::kNeedMore;
constexpr auto kError = FrameStatus::kError;

INSTANTIATE_TEST_SUITE_P(
    Accepted, ReplyFrames,
    ::testing::Values(
        FrameCase{"line_crlf", "0\r\nnext", limits(1024), kComplete, FrameFault::kNone, 3, false},
        FrameCase{"line_lf_only", "ERR x\n", limits(1024), kComplete, FrameFault::kNone, 6, false},
        FrameCase{"empty_line", "\n", limits(1024), kComplete, FrameFault::kNone, 1, false},
        FrameCase{"line_at_the_limit", "abc\r\n", limits(5), kComplete, FrameFault::kNone, 5,
                  false},
        FrameCase{"block_with_line_ends_inside", "#15\r\n\n\rx\r\nZ", limits(1024), kComplete,
                  FrameFault::kNone, 10, false},
        FrameCase{"page_block", wire::blockFrame("0123456789abcdef") + "rest", limits(1024),
                  kComplete, FrameFault::kNone, 22, false},
        FrameCase{"empty_block", "#10\r\n", limits(1024), kComplete, FrameFault::kNone, 5, false},
        FrameCase{"nine_digit_length", "#9000000002ab\r\n", limits(1024), kComplete,
                  FrameFault::kNone, 15, false},
        FrameCase{"block_exactly_the_limit", "#12ab\r\n", limits(7), kComplete, FrameFault::kNone,
                  7, false}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Incomplete, ReplyFrames,
    ::testing::Values(
        FrameCase{"nothing", "", limits(1024), kNeedMore, FrameFault::kNone, 0, false},
        FrameCase{"line_without_lf", "0\r", limits(1024), kNeedMore, FrameFault::kNone, 0, false},
        FrameCase{"hash_only", "#", limits(1024), kNeedMore, FrameFault::kNone, 0, false},
        FrameCase{"length_digits_missing", "#31", limits(1024), kNeedMore, FrameFault::kNone, 0,
                  false},
        FrameCase{"data_missing", "#16abc", limits(1024), kNeedMore, FrameFault::kNone, 0, false},
        FrameCase{"crlf_missing", "#12ab\r", limits(1024), kNeedMore, FrameFault::kNone, 0, false},
        FrameCase{"malformed_header_line_not_ended", "#x12", limits(1024), kNeedMore,
                  FrameFault::kNone, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Refused, ReplyFrames,
    ::testing::Values(FrameCase{"line_over_the_limit", "abcdef\r\nNEXT", limits(5), kError,
                                FrameFault::kLineTooLong, 8, true},
                      FrameCase{"line_that_never_ends", std::string(64, 'a'), limits(5), kError,
                                FrameFault::kNoLineEnd, 64, false},
                      FrameCase{"long_limit_moves_the_give_up_point", std::string(100, 'a'),
                                limits(100), kError, FrameFault::kNoLineEnd, 100, false},
                      FrameCase{"lf_past_the_give_up_point", std::string(64, 'a') + "\n", limits(5),
                                kError, FrameFault::kNoLineEnd, 64, false},
                      FrameCase{"block_over_the_limit_is_dropped", "#15abcde\r\n", limits(9),
                                kError, FrameFault::kBlockTooLong, 10, true},
                      FrameCase{"block_over_the_limit_before_its_data_came", "#230", limits(9),
                                kError, FrameFault::kBlockTooLong, 36, true},
                      FrameCase{"huge_block_gives_the_link_up", "#3999", limits(9), kError,
                                FrameFault::kBlockTooLong, 1006, false},
                      FrameCase{"digit_count_zero", "#0\r\nNEXT\r\n", limits(1024), kError,
                                FrameFault::kMalformedHeader, 4, true},
                      FrameCase{"length_not_digits", "#2x5abc\r\n", limits(1024), kError,
                                FrameFault::kMalformedHeader, 9, true},
                      FrameCase{"lf_among_length_digits", "#5\nabcd", limits(1024), kError,
                                FrameFault::kMalformedHeader, 3, true},
                      FrameCase{"malformed_header_line_never_ends", "#x" + std::string(62, 'a'),
                                limits(1024), kError, FrameFault::kNoLineEnd, 64, false},
                      FrameCase{"block_without_crlf", "#14abcdXY", limits(1024), kError,
                                FrameFault::kBadBlockEnd, 9, false},
                      FrameCase{"block_with_lf_only", "#14abcd\nZ", limits(1024), kError,
                                FrameFault::kBadBlockEnd, 9, false},
                      FrameCase{"zero_limit", "\n", limits(0), kError, FrameFault::kLineTooLong, 1,
                                true}),
    [](const auto& info) { return std::string(info.param.name); });

// Every prefix of a buffer must give kNeedMore or the whole buffer's verdict, also when the scan
// resumes where the previous kNeedMore left off: a frame read in many receives ends where one
// read in a single receive does.
TEST_P(ReplyFrames, EveryPrefixAgreesWithTheWholeBuffer) {
  const FrameCase& c = GetParam();
  const FrameScan whole = scanReplyFrame(c.buffer, c.limits);
  std::size_t resume = 0;
  for (std::size_t k = 0; k <= c.buffer.size(); ++k) {
    const std::string_view prefix = std::string_view(c.buffer).substr(0, k);
    const FrameScan part = scanReplyFrame(prefix, c.limits, resume);
    if (part.status == FrameStatus::kNeedMore) {
      resume = k;
      continue;
    }
    EXPECT_EQ(part.status, whole.status) << "prefix of " << k;
    EXPECT_EQ(part.fault, whole.fault) << "prefix of " << k;
    EXPECT_EQ(part.length, whole.length) << "prefix of " << k;
    EXPECT_EQ(part.in_step, whole.in_step) << "prefix of " << k;
    break;
  }
}

TEST(ReplyLine, IgnoresTheBlockMarker) {
  // A command's reply is a line even when it starts with '#'.
  const FrameScan scan = scanReplyLine("#14ab\r\ncd\r\n", limits(1024));
  EXPECT_EQ(scan.status, FrameStatus::kComplete);
  EXPECT_EQ(scan.length, 7u);
}

TEST(ReplyLine, ResumeSkipsBytesAlreadySearched) {
  // Bytes before `resume` were searched by an earlier scan; a line end there is not found again.
  const std::string buffer = "ab\ncd\n";
  EXPECT_EQ(scanReplyLine(buffer, limits(1024), 0).length, 3u);
  EXPECT_EQ(scanReplyLine(buffer, limits(1024), 3).length, 6u);
}

TEST(ReplyFrame, DefaultLimitsAreTheConnectionsOnes) {
  const FrameLimits l;
  EXPECT_EQ(l.max_line, kestrix::wire::kMaxLineLength);
  EXPECT_EQ(l.max_drained, kestrix::wire::kMaxDrainedBlock);
  const std::string line(kestrix::wire::kMaxLineLength, '\n');
  EXPECT_EQ(scanReplyFrame(line, l).length, 1u);
}

}  // namespace

// A programming line is the prefix, the block header and the data, however many length digits the
// header needs, and appending it keeps what the buffer held.
TEST(ProgramLine, IsThePrefixTheHeaderAndTheData) {
  for (const std::size_t size : {0, 8, 9, 10, 16, 99, 100, 4096}) {
    const std::string data(size, '\n');
    const std::string expected = "FPGA_PROGRAM " + wire::definiteLengthHeader(size) + data;
    EXPECT_EQ(wire::programLine(data), expected) << size;
    std::string out = "kept";
    wire::appendProgramLine(out, data);
    EXPECT_EQ(out, "kept" + expected) << size;
  }
  EXPECT_EQ(wire::programLine("ab"), "FPGA_PROGRAM #12ab");
}
