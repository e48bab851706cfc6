#include "kestrix/files/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <system_error>

namespace kestrix::files {
namespace {

namespace fs = std::filesystem;

fs::path checkedPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw FileError("embedded null byte in path");
  return fs::path(path);
}

// The process's umask, read without changing it (umask() would, for every thread at once).
mode_t processUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 022;
}

// errno as it stands after a failed stream operation; streams do not always set it.
int lastError(int fallback) {
  return errno != 0 ? errno : fallback;
}

}  // namespace

FileError fileError(int err, const std::string& path) {
  return FileError("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" + path + "'",
                   err, path);
}

bool pathExists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  std::error_code ec;
  return fs::exists(fs::status(path, ec));
}

bool isRegularFile(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  std::error_code ec;
  return fs::is_regular_file(fs::status(path, ec));
}

std::uint64_t fileSize(const std::string& path) {
  const fs::path p = checkedPath(path);
  std::error_code ec;
  const fs::file_status status = fs::status(p, ec);
  if (ec) throw fileError(ec.value(), path);
  // A directory has a size on POSIX, but not one of a file.
  if (fs::is_directory(status)) throw fileError(EISDIR, path);
  const std::uintmax_t size = fs::file_size(p, ec);
  if (ec) throw fileError(ec.value(), path);
  return size;
}

void readOneByte(const std::string& path) {
  const fs::path p = checkedPath(path);
  std::error_code ec;
  if (fs::is_directory(p, ec)) throw fileError(EISDIR, path);
  errno = 0;
  std::ifstream in(p, std::ios::binary);
  if (!in.is_open()) throw fileError(lastError(EIO), path);
  char byte;
  errno = 0;
  in.read(&byte, 1);
  if (in.bad()) throw fileError(lastError(EIO), path);
}

std::string readWholeFile(const std::string& path) {
  const RandomAccessFile file(path);
  std::string data;
  if (file.size() > data.max_size()) throw FileError("not enough memory to read '" + path + "'");
  file.readAt(0, static_cast<std::size_t>(file.size()), &data);
  return data;
}

RandomAccessFile::RandomAccessFile(const std::string& path) : path_(path) {
  const fs::path p = checkedPath(path);
  std::error_code ec;
  const fs::file_status status = fs::status(p, ec);
  if (ec) throw fileError(ec.value(), path);
  if (fs::is_directory(status)) throw fileError(EISDIR, path);
  if (!fs::is_regular_file(status)) throw FileError("not a regular file: '" + path + "'");
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw fileError(errno, path);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    const int err = errno;
    ::close(fd_);
    throw fileError(err, path);
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
  id_ = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  // The image is read once, front to back.
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

RandomAccessFile::~RandomAccessFile() {
  ::close(fd_);
}

void RandomAccessFile::readAt(std::uint64_t offset, std::size_t length, std::string* out) const {
  out->clear();
  if (offset >= size_) return;
  const std::uint64_t available = size_ - offset;
  if (length > available) length = static_cast<std::size_t>(available);
  try {
    out->resize(length);
  } catch (const std::bad_alloc&) {
    throw FileError("not enough memory to read '" + path_ + "'");
  }
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n =
        ::pread(fd_, out->data() + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fileError(errno, path_);
    }
    if (n == 0) break;  // the file shrank since it was opened
    done += static_cast<std::size_t>(n);
  }
  out->resize(done);
}

FileId fileIdOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

FileId fileIdOf(const std::string& path) {
  struct stat st {};
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return {};
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (a.find('\0') != std::string::npos || b.find('\0') != std::string::npos) return false;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

ReplacingWriter::ReplacingWriter(const std::string& target) : target_(target) {
  checkedPath(target);
  const fs::path folder = fs::path(target).parent_path();
  const std::string name = fs::path(target).filename().string();
  temp_ = (folder / ("." + name + ".XXXXXX")).string();
  // mkstemp opens with O_CREAT | O_EXCL and mode 0600; the file gets what a new file would get.
  fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
  if (fd_ < 0) throw fileError(errno, target);
  ::fchmod(fd_, 0666 & ~processUmask());
}

ReplacingWriter::~ReplacingWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

void ReplacingWriter::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fileError(errno, target_);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void ReplacingWriter::writeAt(std::uint64_t offset, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fileError(errno, target_);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
}

void ReplacingWriter::commit() {
  if (::fsync(fd_) != 0) throw fileError(errno, target_);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw fileError(errno, target_);
  if (::rename(temp_.c_str(), target_.c_str()) != 0) throw fileError(errno, target_);
  committed_ = true;
}

}  // namespace kestrix::files
