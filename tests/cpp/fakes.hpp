// Fakes of the core's seams: a host that records instead of printing and never sleeps, and
// connections that record every command and answer from a script or a small controller model.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kestrix/contracts/connection.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/host.hpp"
#include "kestrix/wire/protocol.hpp"

namespace kestrix::testing {

struct LogRecord {
  LogLevel level;
  std::string message;
  bool operator==(const LogRecord& o) const { return level == o.level && message == o.message; }
};

class FakeHost : public ProcessHost {
 public:
  void log(LogLevel level, std::string_view message) override {
    logs.push_back({level, std::string(message)});
  }
  bool logEnabled(LogLevel) override { return true; }
  void writeStdout(std::string_view text, bool flush) override {
    out.append(text);
    ++writes;
    if (flush) ++flushes;
  }
  bool stdoutIsTerminal() override { return terminal; }
  double monotonicClock() override { return monotonic += 0.5; }
  double wallClock() override { return wall += wall_step; }
  void sleepSeconds(int seconds) override { sleeps.push_back(seconds); }

  std::vector<std::string> messages(LogLevel level) const {
    std::vector<std::string> out_messages;
    for (const auto& r : logs)
      if (r.level == level) out_messages.push_back(r.message);
    return out_messages;
  }
  bool logged(LogLevel level, const std::string& message) const {
    for (const auto& r : logs)
      if (r.level == level && r.message == message) return true;
    return false;
  }

  std::vector<LogRecord> logs;
  std::string out;
  int writes = 0;
  int flushes = 0;
  bool terminal = true;  // a display written as it comes
  std::vector<int> sleeps;
  double monotonic = 100.0;
  double wall = 1000.0;
  double wall_step = 0.0123;  // each command takes 12.3 ms between its two readings
};

// Records every line; answers command lines from a queue (default "") and raw receives from
// another.
class ScriptedConnection : public Connection {
 public:
  bool initConnection() override {
    ++opens;
    return open_result;
  }
  RetType sendCmd(std::string_view line, RspType rsp_type) override {
    lines.emplace_back(line);
    rsp_types.push_back(rsp_type);
    if (replies.empty()) return RetType(RetCode::OK, "", nullptr);
    RetType r = std::move(replies.front());
    replies.pop_front();
    return r;
  }
  void sendRawBytes(std::string_view bytes) override { raw_lines.emplace_back(bytes); }
  Bytes recvRawBytes(std::size_t size) override {
    sizes.push_back(size);
    if (raw_replies.empty()) throw ConnectionError("no raw reply scripted");
    Bytes r = std::move(raw_replies.front());
    raw_replies.pop_front();
    return r;
  }
  void closeConnection() override { ++closes; }

  void reply(std::string text) { replies.emplace_back(RetCode::OK, "", Json(std::move(text))); }

  std::vector<std::string> lines;
  std::vector<RspType> rsp_types;
  std::vector<std::string> raw_lines;
  std::vector<std::size_t> sizes;
  std::deque<RetType> replies;
  std::deque<Bytes> raw_replies;
  bool open_result = true;
  int opens = 0;
  int closes = 0;
};

// A small model of the FPGA controller: a flash with a page pointer, programmable faults, and a
// log of every command word it received.
class FakeController : public Connection {
 public:
  explicit FakeController(std::size_t flash_size = 1 << 20) : flash(flash_size, '\xff') {}

  bool initConnection() override { return true; }
  void closeConnection() override {}

  RetType sendCmd(std::string_view line, RspType) override {
    count(line);
    std::string_view body = line.substr(0, line.size() - 2);
    return RetType(RetCode::OK, "", Json(answer(body)));
  }
  void sendRawBytes(std::string_view bytes) override {
    count(bytes);
    pending_read = true;
  }
  Bytes recvRawBytes(std::size_t) override {
    if (!pending_read) throw ProtocolError("nothing to receive");
    pending_read = false;
    std::string page = flash.substr(pointer, wire::kPageSize);
    if (corrupt_at >= 0 && static_cast<std::size_t>(corrupt_at) >= pointer &&
        static_cast<std::size_t>(corrupt_at) < pointer + page.size())
      page[static_cast<std::size_t>(corrupt_at) - pointer] ^= 0x01;
    if (short_reads) page.resize(page.size() / 2);
    pointer += wire::kPageSize;
    return wire::blockFrame(page);
  }

  std::string words() const {
    std::string all;
    for (const auto& w : commands) all += (all.empty() ? "" : " ") + w;
    return all;
  }
  std::size_t countOf(const std::string& word) const {
    std::size_t n = 0;
    for (const auto& w : commands) n += w == word;
    return n;
  }

  std::string flash;
  std::size_t pointer = 0;
  std::vector<std::string> commands;  // command words (first token of each line)
  std::vector<std::string> program_blocks;
  std::map<std::string, std::string> answers = {{"GET_FPGA_VER", "0.3.0.0"},
                                                {"FPGA_GET_ID", "0x1234"}};
  int refuse_each_block = 0;   // refusals before each block is accepted
  long refuse_from = -1;       // refuse forever from this byte offset
  long corrupt_at = -1;        // flip one bit of the read-back at this flash offset
  bool short_reads = false;    // every page reads back half as long
  long throw_at_command = -1;  // throw ConnectionError when this many commands were received
  bool pending_read = false;

 private:
  void count(std::string_view line) {
    if (throw_at_command >= 0 && static_cast<long>(commands.size()) == throw_at_command)
      throw ConnectionError("link dropped");
    const std::string_view body = line.substr(0, line.find_first_of(" \r"));
    commands.emplace_back(body);
  }

  std::string answer(std::string_view body) {
    const std::string word(body.substr(0, body.find(' ')));
    if (word == "FPGA_PROGRAM") return program(body.substr(word.size() + 1));
    if (word == "FPGA_ERASE") {
      flash.assign(flash.size(), '\xff');
      return "OK";
    }
    if (word == "FPGA_RST_PAGE_PTR") {
      pointer = 0;
      return "OK";
    }
    const auto it = answers.find(word);
    return it == answers.end() ? "OK" : it->second;
  }

  std::string program(std::string_view block) {
    wire::BlockHeader header{};
    if (wire::parseBlockHeader(block, 1 << 20, &header) != wire::HeaderStatus::kComplete ||
        header.header_size + header.length != block.size())
      return "ERR bad block";
    const std::string data(block.substr(header.header_size));
    if (refuse_from >= 0 && pointer >= static_cast<std::size_t>(refuse_from)) return "1";
    if (refusals_left < 0) refusals_left = refuse_each_block;
    if (refusals_left > 0) {
      --refusals_left;
      return "1";
    }
    refusals_left = -1;
    program_blocks.push_back(data);
    flash.replace(pointer, data.size(), data);
    pointer += wire::kPageSize;
    return "0";
  }

  int refusals_left = -1;
};

}  // namespace kestrix::testing
