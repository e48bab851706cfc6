// A folder of a test's own under the system's temporary folder: made fresh with a unique name
// (mkdtemp, so neither other test processes nor parameterised tests, whose names hold '/', can
// collide), and removed with everything in it when the object goes. Symbolic links inside are
// removed, never followed, so nothing outside the folder is touched.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kestrix::testing {

class TempDir {
 public:
  TempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "kestrix-test-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + name);
    dir_ = name;
  }
  ~TempDir() {
    // A destructor must not throw; a folder left behind is the lesser harm.
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // One owner removes the folder.
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder itself.
  const std::filesystem::path& dir() const { return dir_; }
  // Where `name` (a file name or a relative path) lies in the folder; nothing is created.
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  // Writes `bytes` to `name` in the folder, replacing what was there, and returns its path.
  // Throws when the file cannot be written, so a test never runs on an input it did not get.
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string p = path(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) throw std::runtime_error("cannot write test file " + p);
    return p;
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace kestrix::testing
