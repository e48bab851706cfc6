#include "kestrix/flash/record.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kestrix/contracts/build_info.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/flash/files.hpp"

namespace kestrix::flash {
namespace {

const char* modeName(JobMode mode) {
  switch (mode) {
    case JobMode::kVerify:
      return "verify";
    case JobMode::kUpdateUnlessIdentical:
      return "update-unless-identical";
    case JobMode::kIdentify:
      return "identify";
    case JobMode::kUpdate:
      break;
  }
  return "update";
}

}  // namespace

std::string_view outcomeOf(const UpdateReport& report) {
  if (report.failure == Failure::kInterrupted) return "interrupted";
  if (!report.ok()) return "failed";
  if (report.unchanged) return "unchanged";
  if (report.mode == JobMode::kIdentify) return "identified";
  return report.mode == JobMode::kVerify ? "verified" : "updated";
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
      {"mode", modeName(r.mode)},
      {"device_id", r.device_id},
      {"serial", r.serial},
      {"control_fw_version", r.control_fw_version},
      {"fpga_version_before", r.fpga_version_before},
      {"fpga_version_after", r.fpga_version_after},
      {"image_path", escapeNonUtf8(r.image_path)},
      {"image_kind", r.image_kind},
      {"image_size", r.image_size},
      {"image_sha256", r.image_sha256},
      {"bytes_written", r.bytes_written},
      {"retries", r.retries},
      {"seconds", std::move(seconds)},
      {"outcome", std::string(outcomeOf(r))},
      {"failure", r.ok() ? Json(nullptr) : Json(std::string(failureInfo(r.failure).name))},
      {"error", escapeNonUtf8(r.error)},
      {"failed_offset", r.failed_offset ? Json(*r.failed_offset) : Json(nullptr)},
  };
  return record;
}

RecordFile::RecordFile(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd_ < 0) throw files::fileError(errno, path);
}

RecordFile::~RecordFile() {
  if (fd_ >= 0) ::close(fd_);
}

void RecordFile::append(const Json& record) {
  const std::string line = record.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  const std::lock_guard<std::mutex> lock(mutex_);
  for (;;) {
    const ssize_t n = ::write(fd_, line.data(), line.size());
    if (n == static_cast<ssize_t>(line.size())) return;
    if (n < 0 && errno == EINTR) continue;
    // A short write (a full disk) would leave half a line; say so rather than append the rest.
    throw files::fileError(n < 0 ? errno : ENOSPC, path_);
  }
}

void RecordFile::sync() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (::fsync(fd_) != 0) throw files::fileError(errno, path_);
}

}  // namespace kestrix::flash
