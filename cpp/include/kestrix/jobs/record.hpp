// The audit record of a device job: one JSON object on one line, appended to a file that is never
// truncated. The same fields are the JSON output of kestrix-flash and the results of fleets.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/contracts/json.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/jobs/update_job.hpp"

namespace kestrix::jobs {

// How the job of `report` ended, and its name (see job_options.hpp).
Outcome outcomeKind(const UpdateReport& report);
std::string_view outcomeOf(const UpdateReport& report);

// The record of `report`, keys in this order: started_at, finished_at, tool_version, address,
// host, port, device_type, mode, device_id, serial, control_fw_version, fpga_version_before,
// fpga_version_after, image_path, image_abspath, image_kind, image_size, image_sha256,
// image_version (or null), signing_key_id (the full id of the key the image's signature names,
// or null), signature_verified (whether it verified under a trusted key), trust_status (the
// verdict's name, null when no image was read), bytes_written, flash_touched, retries, seconds
// {erase, write, verify, reload, total}, outcome, failure (its label, null on success), error,
// failed_offset (or null), run_by_user, run_by_host, change_id (or null). Bytes of a path that are
// not UTF-8 are written \xNN.
Json recordOf(const UpdateReport& report);

// Why a RecordFile could not be opened at `path`, found without creating the file or writing to
// it (an Ansible check run asks this): "its folder '/var/log/kestrix' does not exist (the record
// is created, its folder is not)", "Permission denied", "it is a FIFO that no process reads", ...
// Nothing when it could be opened.
std::optional<std::string> recordProblem(const std::string& path);

// A file of records, opened for appending: created when missing, never truncated. Each line is
// written whole under an exclusive lock (flock), so lines of concurrent jobs, in this process or
// another, never mix; a line cut short (a full disk, a file size limit) is taken back, and a line
// that an earlier run left without its line end gets one before the next. A pipe, a FIFO or a
// device (/dev/stdout, /dev/null) takes the lines as they come; a FIFO that no process reads is
// an error at once. Throws FileError.
class RecordFile {
 public:
  explicit RecordFile(const std::string& path);
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  const std::string& path() const { return path_; }
  // The file that was opened.
  const files::FileId& id() const { return id_; }

  // Safe to call from several threads.
  void append(const Json& record);
  // Flushes what was appended to the disk (a regular file's; the others have none).
  void sync();

 private:
  void appendToRegularFile(std::string line);

  std::string path_;
  int fd_ = -1;
  bool regular_ = false;
  files::FileId id_;
  std::mutex mutex_;
};

}  // namespace kestrix::jobs
