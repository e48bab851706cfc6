// The configuration flash behind the controller: programming blocks, reading pages back, erasing,
// and the page pointer that programming and reading move on.
#include "kestrix/sim/device.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device_reply.hpp"
#include "kestrix/sim/replies.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::sim {

using device_reply::fail;
using device_reply::line;
using device_reply::noArgument;
using device_reply::ok;
using device_reply::parseNumber;

namespace {

constexpr std::size_t kPage = wire::kPageSize;

}  // namespace

void Device::program(const Command& command, std::string& reply) {
  if (!command.has_block) {
    fail(reply, "FPGA_PROGRAM needs a definite-length data block");
    return;
  }
  const std::string_view data = command.data;
  if (data.empty()) {
    fail(reply, "empty block");
    return;
  }
  if (data.size() > kPage) {
    fail(reply, "block longer than a page");
    return;
  }
  const std::size_t offset = page_ptr_ * kPage;
  if (offset + data.size() > flash_.size()) {
    fail(reply, "block past the end of flash");
    return;
  }
  ++stats_.program;
  const bool refused_here =
      faults_.refuse_from.has_value() && offset + data.size() > *faults_.refuse_from;
  if (refused_here || refusals_here_ < faults_.refuse_blocks) {
    if (!refused_here) ++refusals_here_;
    ++stats_.refused;
    line(reply, replies::kBlockRefused);
    return;
  }
  flash_.write(offset, data);
  flash_changed_ = true;
  ++page_ptr_;
  refusals_here_ = 0;
  line(reply, replies::kBlockAccepted);
}

void Device::read(const Command& command, std::string& reply) {
  if (!noArgument(command, reply)) return;
  const std::size_t offset = page_ptr_ * kPage;
  if (offset + kPage > flash_.size()) {
    fail(reply, "read past the end of flash");
    return;
  }
  ++stats_.read;
  const std::size_t start = reply.size() + read_header_.size();
  reply.append(read_header_);
  flash_.read(offset, kPage, reply);
  reply.append(wire::kLineEnd);
  if (faults_.corrupt_read && *faults_.corrupt_read >= offset &&
      *faults_.corrupt_read < offset + kPage) {
    char& byte = reply[start + (*faults_.corrupt_read - offset)];
    byte = static_cast<char>(~byte);
  }
  ++page_ptr_;
  refusals_here_ = 0;
}

void Device::erase(const Command& command, std::string& reply) {
  std::uint64_t bits = 0;
  if (!parseNumber(command.argument, &bits)) {
    fail(reply, "FPGA_ERASE needs the erase bits in decimal");
    return;
  }
  flash_.erase();
  flash_changed_ = true;
  ++stats_.erase;
  ok(reply);
}

void Device::resetPagePointer(const Command& command, std::string& reply) {
  if (command.argument != wire::kSectionCfg) {
    fail(reply, "unknown section");
    return;
  }
  page_ptr_ = 0;
  refusals_here_ = 0;
  ok(reply);
}

}  // namespace kestrix::sim
