// The core's file reading and writing: the file-system queries and reads the image checks, the
// engine, the packer and the inspector share, and files replaced in one step. Failures are
// FileError with the text a Python host shows for an OSError: "[Errno 2] No such file or
// directory: 'x.tbin'".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kestrix/contracts/errors.hpp"

namespace kestrix::files {

// Which file an open descriptor or a path is: its device and inode, so links and other names of
// one file compare equal. All zero for no file.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool known() const { return device != 0 || inode != 0; }
  friend bool operator==(const FileId& a, const FileId& b) {
    return a.device == b.device && a.inode == b.inode;
  }
};
// The file behind `fd`, or behind `path` (symbolic links followed); unknown when it cannot be
// queried.
FileId fileIdOf(int fd);
FileId fileIdOf(const std::string& path);

// FileError for the system error `err` on `path`.
FileError fileError(int err, const std::string& path);

// Whether `path` names something that exists (symbolic links followed). A path that cannot be
// queried, or holds a NUL byte, does not exist.
bool pathExists(const std::string& path);
// Whether `path` names a regular file (symbolic links followed); false when it cannot be queried.
bool isRegularFile(const std::string& path);
// The size of the file in bytes. Throws FileError.
std::uint64_t fileSize(const std::string& path);
// Opens the file for binary reading and reads one byte (none from an empty file). Throws
// FileError when opening or reading fails.
void readOneByte(const std::string& path);
// The whole content of a file, as large as it was when opened. Directories and other files that
// are not regular files are refused (a device or a pipe could be read forever). Throws FileError.
std::string readWholeFile(const std::string& path);

// A regular file opened for reading at any offset, refused as readWholeFile refuses. Reads past
// the end come back short. Throws FileError.
class RandomAccessFile {
 public:
  explicit RandomAccessFile(const std::string& path);
  ~RandomAccessFile();
  RandomAccessFile(const RandomAccessFile&) = delete;
  RandomAccessFile& operator=(const RandomAccessFile&) = delete;

  // The size when the file was opened; reads never go beyond it.
  std::uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // The file that was opened, whatever its name names now.
  const FileId& id() const { return id_; }
  // Up to `length` bytes from `offset` into `out` (replacing its content).
  void readAt(std::uint64_t offset, std::size_t length, std::string* out) const;

 private:
  std::string path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  FileId id_;
};

// Whether two paths name the same file (the same device and inode, so hard and symbolic links
// count); false when either cannot be queried.
bool sameFile(const std::string& a, const std::string& b);

// A file replaced in one step: written under a temporary name in the target's folder and renamed
// over the target only once complete, so readers never see half a file and a failure leaves the
// target as it was. The temporary file is created exclusively with a random name, so nothing
// planted in the folder (a symbolic link, say) is followed. Throws FileError.
class ReplacingWriter {
 public:
  explicit ReplacingWriter(const std::string& target);
  // Removes the temporary file unless commit() renamed it.
  ~ReplacingWriter();
  ReplacingWriter(const ReplacingWriter&) = delete;
  ReplacingWriter& operator=(const ReplacingWriter&) = delete;

  // Appends `bytes`.
  void write(std::string_view bytes);
  // Writes `bytes` at `offset`, leaving the append position where it was.
  void writeAt(std::uint64_t offset, std::string_view bytes);
  // Flushes the data to disk and renames the file over the target.
  void commit();

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace kestrix::files
