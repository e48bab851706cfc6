// The audit record of a device job: one JSON object on one line, appended to a file that is never
// truncated. The same fields are the JSON output of kestrix-flash and the results of fleets.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "kestrix/contracts/json.hpp"
#include "kestrix/flash/update_job.hpp"

namespace kestrix::flash {

// "updated", "unchanged" (already held the image), "verified" (a verify that matched),
// "identified" (the device answered who it is), "failed" or "interrupted".
std::string_view outcomeOf(const UpdateReport& report);

// The record of `report`, keys in this order: started_at, finished_at, tool_version, address,
// host, port, device_type, mode, device_id, serial, control_fw_version, fpga_version_before,
// fpga_version_after, image_path, image_kind, image_size, image_sha256, bytes_written, retries,
// seconds {erase, write, verify, reload, total}, outcome, failure (its label, null on success),
// error, failed_offset (or null). Bytes of a path that are not UTF-8 are written \xNN.
Json recordOf(const UpdateReport& report);

// A file of records. Opened for appending (created when missing, never truncated); each line is
// written whole with one write(), so lines of concurrent jobs, in this process or another, never
// mix. Throws FileError.
class RecordFile {
 public:
  explicit RecordFile(const std::string& path);
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Safe to call from several threads.
  void append(const Json& record);
  // Flushes what was appended to the disk.
  void sync();

 private:
  std::string path_;
  int fd_ = -1;
  std::mutex mutex_;
};

}  // namespace kestrix::flash
