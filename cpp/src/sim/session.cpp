#include "kestrix/sim/session.hpp"

#include "kestrix/sim/replies.hpp"

namespace kestrix::sim {

Session::Session(Device& device, LinkFaults faults)
    : device_(device), faults_(faults), close_(faults_.close_after == std::uint64_t{0}) {}

std::size_t Session::feed(std::string_view input, std::string& output, std::size_t output_limit) {
  std::size_t pos = 0;
  while (!close_ && pos < input.size() && output.size() < output_limit) {
    if (discarding_) {
      const std::size_t lf = input.find('\n', pos);
      if (lf == std::string_view::npos) return input.size();
      pos = lf + 1;
      discarding_ = false;
      continue;
    }
    const ParseResult r = parseCommand(input.substr(pos));
    if (r.status == ParseStatus::kNeedMore) break;
    pos += r.consumed;
    if (r.status == ParseStatus::kError) {
      discarding_ = r.line_open;
      answer(nullptr, r.error, output);
    } else {
      answer(&r.command, {}, output);
    }
  }
  return pos;
}

// One reply per command line, refused lines included, keeps a client in step with its replies.
void Session::answer(const Command* command, std::string_view error, std::string& output) {
  if (command != nullptr && Device::isDebugQuery(command->name)) {
    device_.handle(*command, output);
    return;
  }
  if (faults_.stall_after && answered_ >= *faults_.stall_after) return;
  ++answered_;
  if (faults_.garbage) {
    // The device acts on the command; only what comes back over the link is spoiled.
    if (command != nullptr) {
      discarded_.clear();
      device_.handle(*command, discarded_);
    }
    output.append(replies::kGarbage);
  } else if (command != nullptr) {
    device_.handle(*command, output);
  } else {
    Device::refuse(error, output);
  }
  if (faults_.close_after && answered_ >= *faults_.close_after) close_ = true;
}

}  // namespace kestrix::sim
