#include "kestrix/sim/flash_file.hpp"

#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/net/socket.hpp"

namespace kestrix::sim {

std::optional<std::string> readFlashFile(const std::string& path, std::size_t size) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw FileError("cannot read flash file " + path + ": " + net::errnoText(errno));
  }
  if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) != size) {
    throw FileError("flash file " + path + " is not a file of " + std::to_string(size) +
                    " bytes (the flash size)");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError("cannot open flash file " + path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || content.size() != size) throw FileError("cannot read flash file " + path);
  return content;
}

void writeFlashFile(const std::string& path, std::string_view content) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) throw FileError("cannot create " + temp);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      std::remove(temp.c_str());
      throw FileError("cannot write " + temp);
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    std::remove(temp.c_str());
    throw FileError("cannot replace flash file " + path + ": " + net::errnoText(err));
  }
}

}  // namespace kestrix::sim
