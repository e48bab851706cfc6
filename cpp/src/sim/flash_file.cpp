#include "kestrix/sim/flash_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/socket.hpp"

namespace kestrix::sim {
namespace {

// The flash file is read this much at a time.
constexpr std::size_t kFilePiece = 64 * 1024;

// A temporary file created exclusively beside the file it will replace, removed again unless it
// was renamed into place: every way out of writeFlashFile leaves no temporary behind.
class TempFile {
 public:
  explicit TempFile(const std::string& target) {
    // mkostemp creates the file itself (O_CREAT | O_EXCL under a fresh name), so nothing planted
    // at a guessable name, a symlink least of all, is ever opened or written through.
    std::vector<char> name(target.begin(), target.end());
    const std::string suffix = ".XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd_) {
      throw FileError("cannot create a temporary file beside " + target + ": " +
                      net::errnoText(errno));
    }
    path_.assign(name.data());
  }
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Closes the file, reporting what close() reports (a delayed write error, for one).
  int close() { return ::close(fd_.release()); }
  // The file now lives under another name: nothing left to remove.
  void renamed() { path_.clear(); }

 private:
  net::UniqueFd fd_;
  std::string path_;
};

// The permission bits a newly created file gets: 0666 less the umask. The umask is read from
// /proc, since umask() can only be read by changing it, which races with other threads.
mode_t newFileMode() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Umask:") {
      unsigned mask = 0;
      if (status >> std::oct >> mask) return static_cast<mode_t>(0666 & ~mask);
      break;
    }
    status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return 0644;  // the usual umask's result, should /proc not say
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError("cannot write " + path + ": " + net::errnoText(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool readFlashFile(const std::string& path, FlashStore& flash) {
  const net::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return false;
    throw FileError("cannot read flash file " + path + ": " + net::errnoText(errno));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    throw FileError("cannot read flash file " + path + ": " + net::errnoText(errno));
  }
  if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) != flash.size()) {
    throw FileError("flash file " + path + " is not a file of " + std::to_string(flash.size()) +
                    " bytes (the flash size)");
  }
  std::vector<char> piece(kFilePiece);
  std::size_t offset = 0;
  while (offset < flash.size()) {
    const ssize_t n = ::read(fd.get(), piece.data(), std::min(piece.size(), flash.size() - offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError("cannot read flash file " + path + ": " + net::errnoText(errno));
    if (n == 0) throw FileError("flash file " + path + " ended early");
    flash.write(offset, std::string_view(piece.data(), static_cast<std::size_t>(n)));
    offset += static_cast<std::size_t>(n);
  }
  return true;
}

void writeFlashFile(const std::string& path, const FlashStore& flash) {
  TempFile temp(path);
  // mkostemp makes the file private (0600); the flash file gets what any new file would.
  if (::fchmod(temp.fd(), newFileMode()) != 0) {
    throw FileError("cannot set the mode of " + temp.path() + ": " + net::errnoText(errno));
  }
  flash.visit(0, flash.size(),
              [&temp](std::string_view piece) { writeAll(temp.fd(), piece, temp.path()); });
  // On disk before it takes the flash file's name: a crash then leaves the old flash or the new.
  if (::fsync(temp.fd()) != 0) {
    throw FileError("cannot write " + temp.path() + ": " + net::errnoText(errno));
  }
  if (temp.close() != 0) {
    throw FileError("cannot write " + temp.path() + ": " + net::errnoText(errno));
  }
  if (::rename(temp.path().c_str(), path.c_str()) != 0) {
    throw FileError("cannot replace flash file " + path + ": " + net::errnoText(errno));
  }
  temp.renamed();
  // The rename itself lasts once the folder is on disk; failing that, the file is still right.
  const net::UniqueFd folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) ::fsync(folder.get());
}

}  // namespace kestrix::sim
