// The audit record file: a line cut short is taken back, a line an earlier run left unfinished is
// ended before the next, pipes and devices take lines without a sync failure, a FIFO without a
// reader is an error at once, and reading the record back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/jobs/record.hpp"
#include "kestrix/jobs/record_history.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Json line(const std::string& address, const std::string& outcome, const std::string& at = "") {
  return Json{{"address", address}, {"outcome", outcome}, {"started_at", at}, {"pad", "x"}};
}

TEST(RecordFile, ALineCutShortIsTakenBackAndSaysWhy) {
  TempDir dir;
  const std::string path = dir.write("audit.jsonl", "{\"earlier\": 1}\n");
  const std::string before = contents(path);
  // A child with a file size limit just above the record: its next line cannot be written whole.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{before.size() + 10, before.size() + 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int code = 1;
    try {
      jobs::RecordFile record(path);
      record.append(line("127.0.0.1:5025", "updated"));
    } catch (const FileError& e) {
      code = e.error_number() == EFBIG ? 0 : 2;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "not refused with EFBIG";
  EXPECT_EQ(contents(path), before) << "half a line was left behind";
  jobs::RecordFile record(path);
  record.append(line("127.0.0.1:5025", "updated"));
  EXPECT_EQ(contents(path), before + line("127.0.0.1:5025", "updated").dump() + "\n");
}

TEST(RecordFile, AnUnfinishedLineIsEndedBeforeTheNext) {
  TempDir dir;
  const std::string path = dir.write("audit.jsonl", "{\"cut\": ");
  jobs::RecordFile record(path);
  record.append(line("a:1", "updated"));
  record.sync();
  EXPECT_EQ(contents(path), "{\"cut\": \n" + line("a:1", "updated").dump() + "\n");
  // Reading back skips the unfinished line and counts it.
  const jobs::History h = jobs::readHistory(path);
  EXPECT_EQ(h.skipped, 1u);
  ASSERT_EQ(h.lines.size(), 1u);
  EXPECT_EQ(h.lines[0].line, 2u);
}

TEST(RecordFile, PipesAndDevicesTakeLinesAndSyncWithoutAnError) {
  jobs::RecordFile null("/dev/null");
  null.append(line("a:1", "updated"));
  EXPECT_NO_THROW(null.sync());

  TempDir dir;
  const std::string fifo = dir.path("audit.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  try {
    jobs::RecordFile unread(fifo);
    ADD_FAILURE() << "opened a FIFO that nobody reads";
  } catch (const FileError& e) {
    EXPECT_EQ(e.error_number(), ENXIO);
    EXPECT_NE(std::string(e.what()).find("a FIFO that no process reads"), std::string::npos);
  }
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  {
    jobs::RecordFile record(fifo);
    record.append(line("a:1", "updated"));
    EXPECT_NO_THROW(record.sync());
  }
  char buffer[512] = {};
  const ssize_t n = ::read(reader, buffer, sizeof buffer);
  ::close(reader);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0),
            line("a:1", "updated").dump() + "\n");
}

// Each row: a record path in a fresh folder (made by `setup`), and what recordProblem says of it
// ("" for nothing); nothing is ever created or written.
struct ProblemCase {
  const char* name;
  std::string (*setup)(const TempDir& dir);
  std::string problem;
};

const ProblemCase kProblemCases[] = {
    {"NewFileInAFolder", [](const TempDir& d) { return d.path("audit.jsonl"); }, ""},
    {"ExistingFile", [](const TempDir& d) { return d.write("audit.jsonl", "{}\n"); }, ""},
    {"MissingFolder", [](const TempDir& d) { return d.path("logs/audit.jsonl"); },
     "does not exist (the record is created, its folder is not)"},
    {"FolderIsAFile", [](const TempDir& d) { return d.write("logs", "") + "/audit.jsonl"; },
     "Not a directory"},
    {"AFolder", [](const TempDir& d) { return d.dir().string(); }, "Is a directory"},
    {"FifoWithoutReader",
     [](const TempDir& d) {
       const std::string fifo = d.path("audit.fifo");
       ::mkfifo(fifo.c_str(), 0600);
       return fifo;
     },
     "it is a FIFO that no process reads"},
};

class RecordProblems : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(RecordProblems, SaysWhyWithoutCreatingAnything) {
  TempDir dir;
  const std::string path = GetParam().setup(dir);
  const bool existed = ::access(path.c_str(), F_OK) == 0;
  const std::optional<std::string> problem = jobs::recordProblem(path);
  if (GetParam().problem.empty()) {
    EXPECT_FALSE(problem) << *problem;
  } else {
    ASSERT_TRUE(problem);
    EXPECT_NE(problem->find(GetParam().problem), std::string::npos) << *problem;
  }
  EXPECT_EQ(::access(path.c_str(), F_OK) == 0, existed);
}

INSTANTIATE_TEST_SUITE_P(Paths, RecordProblems, ::testing::ValuesIn(kProblemCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordFile, ConcurrentWritersNeverMixTheirLines) {
  TempDir dir;
  const std::string path = dir.path("audit.jsonl");
  jobs::RecordFile a(path);
  jobs::RecordFile b(path);  // another process's, as far as the file is concerned
  const auto write = [](jobs::RecordFile& record, const std::string& who) {
    for (int i = 0; i < 200; ++i) record.append(line(who + ":" + std::to_string(i + 1), "updated"));
  };
  std::thread ta(write, std::ref(a), "a");
  std::thread tb(write, std::ref(b), "b");
  ta.join();
  tb.join();
  const jobs::History h = jobs::readHistory(path, {true, {}, {}});
  EXPECT_EQ(h.lines.size(), 400u);
  EXPECT_EQ(h.skipped, 0u);
}

TEST(RecordHistory, TheLatestPerDeviceFiltersAndTheDevicesToRetry) {
  TempDir dir;
  std::string text;
  for (const Json& j : {line("a:1", "failed", "2026-12-01T10:00:00.000Z"),
                        line("b:1", "updated", "2026-12-01T10:00:01.000Z"),
                        line("a:1", "updated", "2026-12-02T09:00:00.000Z"),
                        line("c:1", "interrupted", "2026-12-02T09:00:01.000Z"),
                        line("d:1", "skipped", "2026-12-02T09:00:02.000Z"),
                        line("b:1", "verify-failed-as-text", "2026-12-03T00:00:00.000Z")})
    text += j.dump() + "\n";
  const std::string path = dir.write("audit.jsonl", text + "not json\n");

  const jobs::History latest = jobs::readHistory(path);
  std::vector<std::pair<std::size_t, std::string>> seen;
  for (const jobs::HistoryLine& l : latest.lines)
    seen.emplace_back(l.line, l.record["address"].get<std::string>());
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::string>>{
                      {3, "a:1"}, {4, "c:1"}, {5, "d:1"}, {6, "b:1"}}));
  EXPECT_EQ(latest.skipped, 1u);
  EXPECT_EQ(jobs::readHistory(path, {true, {}, {}}).lines.size(), 6u);
  EXPECT_EQ(jobs::readHistory(path, {true, std::string("a:1"), {}}).lines.size(), 2u);
  EXPECT_EQ(jobs::readHistory(path, {true, {}, std::string("2026-12-02")}).lines.size(), 4u);
  EXPECT_EQ(jobs::readHistory(path, {true, {}, std::string("2026-12-02T09:00:01Z")}).lines.size(),
            3u);
  EXPECT_THROW(jobs::readHistory(path, {false, {}, std::string("yesterday")}),
               std::invalid_argument);

  const auto retry = jobs::devicesToRetry(path);
  EXPECT_EQ(retry,
            (std::vector<std::pair<std::string, std::string>>{
                {"c:1", path + " line 4"}, {"d:1", path + " line 5"}, {"b:1", path + " line 6"}}));
  EXPECT_THROW(jobs::readHistory(dir.path("missing.jsonl")), FileError);
}

}  // namespace
}  // namespace kestrix::testing
