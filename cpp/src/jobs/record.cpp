#include "kestrix/jobs/record.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "kestrix/contracts/build_info.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/files/files.hpp"

namespace kestrix::jobs {

Outcome outcomeKind(const UpdateReport& report) {
  if (report.failure == Failure::kInterrupted) return Outcome::kInterrupted;
  if (report.failure == Failure::kSkipped) return Outcome::kSkipped;
  if (!report.ok()) return Outcome::kFailed;
  if (report.reloaded) return Outcome::kReloaded;
  if (report.unchanged) return Outcome::kUnchanged;
  if (report.mode == JobMode::kIdentify) return Outcome::kIdentified;
  return report.mode == JobMode::kVerify ? Outcome::kVerified : Outcome::kUpdated;
}

std::string_view outcomeOf(const UpdateReport& report) {
  return outcomeName(outcomeKind(report));
}

Json recordOf(const UpdateReport& r) {
  Json seconds = Json::object();
  for (std::size_t p = 0; p < kPhaseCount; ++p)
    seconds[std::string(phaseName(static_cast<Phase>(p)))] = r.phase_seconds[p];
  seconds["total"] = r.seconds;
  Json record = {
      {"started_at", r.started_at},
      {"finished_at", r.finished_at},
      {"tool_version", std::string(toolVersion())},
      {"address", formatDeviceAddress(r.address)},
      {"host", r.address.host},
      {"port", r.address.port},
      {"device_type", r.device_type},
      {"mode", std::string(jobModeName(r.mode))},
      {"device_id", r.device_id},
      {"serial", r.serial},
      {"control_fw_version", r.control_fw_version},
      {"fpga_version_before", r.fpga_version_before},
      {"fpga_version_after", r.fpga_version_after},
      {"image_path", escapeNonUtf8(r.image_path)},
      {"image_abspath", escapeNonUtf8(r.image_abspath)},
      {"image_kind", r.image_kind},
      {"image_size", r.image_size},
      {"image_sha256", r.image_sha256},
      {"image_version", r.image_version ? Json(*r.image_version) : Json(nullptr)},
      {"signing_key_id", r.signing_key_id ? Json(*r.signing_key_id) : Json(nullptr)},
      {"signature_verified", r.signature_verified},
      {"trust_status",
       r.trust_status ? Json(std::string(trustStatusName(*r.trust_status))) : Json(nullptr)},
      {"bytes_written", r.bytes_written},
      {"flash_touched", r.flash_touched},
      {"retries", r.retries},
      {"seconds", std::move(seconds)},
      {"outcome", std::string(outcomeOf(r))},
      {"failure", r.ok() ? Json(nullptr) : Json(std::string(failureInfo(r.failure).name))},
      {"error", escapeNonUtf8(r.error)},
      {"failed_offset", r.failed_offset ? Json(*r.failed_offset) : Json(nullptr)},
      {"run_by_user", escapeNonUtf8(r.run_by_user)},
      {"run_by_host", escapeNonUtf8(r.run_by_host)},
      {"change_id", r.change_id.empty() ? Json(nullptr) : Json(escapeNonUtf8(r.change_id))},
  };
  return record;
}

std::optional<std::string> recordProblem(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return "no such file name";
  // As RecordFile opens it, less O_CREAT: an existing file (or FIFO, or device) is opened and
  // closed again, nothing written.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return std::nullopt;
  }
  if (errno == ENXIO) return "it is a FIFO that no process reads";
  if (errno != ENOENT) return std::string(std::strerror(errno));
  // The file would be created: its folder must exist and take new files.
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  const std::string shown = "'" + escapeNonUtf8(folder) + "'";
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT)
      return "its folder " + shown + " does not exist (the record is created, its folder is not)";
    return "its folder " + shown + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return shown + " is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return "its folder " + shown + " takes no new file: " + std::strerror(errno);
  return std::nullopt;
}

RecordFile::RecordFile(const std::string& path) : path_(path) {
  if (path.find('\0') != std::string::npos) throw files::fileError(ENOENT, path);
  // Not blocking in open(): a FIFO without a reader would block there for good. Without one, the
  // open fails at once with ENXIO.
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd_ < 0) {
    if (errno == ENXIO)
      throw FileError("audit record '" + path + "' is a FIFO that no process reads", ENXIO, path);
    throw files::fileError(errno, path);
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || ::fcntl(fd_, F_SETFL, O_WRONLY | O_APPEND) != 0) {
    const int err = errno;
    ::close(fd_);
    throw files::fileError(err, path);
  }
  regular_ = S_ISREG(st.st_mode);
  id_ = files::FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  if (regular_) {
    // The same file opened for reading too, to see whether an earlier line was left unfinished.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    const int rw = ::open(self.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (rw >= 0 && files::fileIdOf(rw) == id_) {
      ::close(fd_);
      fd_ = rw;
    } else if (rw >= 0) {
      ::close(rw);
    }
  }
}

RecordFile::~RecordFile() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// Holds an exclusive flock() while it lives; other processes appending to the same record take
// turns with it. A file system without locks appends unlocked, as O_APPEND alone would.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        fd_ = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::flock(fd_, LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

// Writes all of `data`; the errno of the write that failed, or 0. A write that takes only part of
// the data is followed by one for the rest, which says why (ENOSPC, EFBIG, ...).
int writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

void RecordFile::append(const Json& record) {
  std::string line = record.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  const std::lock_guard<std::mutex> lock(mutex_);
  if (regular_) return appendToRegularFile(std::move(line));
  if (const int err = writeAll(fd_, line)) throw files::fileError(err, path_);
}

void RecordFile::appendToRegularFile(std::string line) {
  const FileLock lock(fd_);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw files::fileError(errno, path_);
  const off_t start = st.st_size;
  char last = '\n';
  if (start > 0 && ::pread(fd_, &last, 1, start - 1) != 1) last = '\n';
  // An earlier line cut short, by a run that could not take it back, ends here.
  if (last != '\n') line.insert(line.begin(), '\n');
  if (const int err = writeAll(fd_, line)) {
    // Half a line would glue the next run's first line to it: take it back.
    if (::ftruncate(fd_, start) != 0) {
      // The half line stays; the next append starts on a line of its own.
    }
    throw files::fileError(err, path_);
  }
}

void RecordFile::sync() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (regular_ && ::fsync(fd_) != 0) throw files::fileError(errno, path_);
}

}  // namespace kestrix::jobs
