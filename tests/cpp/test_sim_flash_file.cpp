// The simulator's flash file: read back as written (its erased stretches taking no memory),
// replaced in one step, and never written through anything planted beside it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/sim/flash_file.hpp"
#include "temp_dir.hpp"

namespace {

using kestrix::sim::FlashStore;
using kestrix::sim::readFlashFile;
using kestrix::sim::writeFlashFile;
using kestrix::testing::TempDir;

// A flash holding exactly `content`, in chunks of `chunk` bytes.
FlashStore storeOf(std::string_view content, std::size_t chunk = FlashStore::kDefaultChunkSize) {
  FlashStore flash(content.size(), chunk);
  flash.write(0, content);
  return flash;
}

// The file read into a flash of `size` bytes, as a string; nothing when there is no file.
std::optional<std::string> readBack(const std::string& file, std::size_t size) {
  FlashStore flash(size);
  if (!readFlashFile(file, flash)) return std::nullopt;
  return flash.read(0, size);
}

class FlashFile : public ::testing::Test {
 protected:
  static std::string contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir_.dir().c_str());
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
};

TEST_F(FlashFile, WritesThenReadsBackAndReplacesTheOldContent) {
  const std::string f = dir_.path("flash.bin");
  EXPECT_FALSE(readBack(f, 32).has_value());
  writeFlashFile(f, storeOf(std::string(32, 'a')));
  EXPECT_EQ(readBack(f, 32), std::string(32, 'a'));
  writeFlashFile(f, storeOf(std::string(16, '\0') + std::string(16, '\xff')));
  EXPECT_EQ(readBack(f, 32), std::string(16, '\0') + std::string(16, '\xff'));
  EXPECT_THROW(readBack(f, 48), kestrix::FileError);
  // Nothing but the flash file is left in its folder.
  EXPECT_EQ(entries(), std::vector<std::string>{"flash.bin"});
}

TEST_F(FlashFile, GetsTheModeTheUmaskGivesANewFile) {
  const mode_t old = ::umask(027);
  const std::string f = dir_.path("flash.bin");
  writeFlashFile(f, storeOf("x"));
  ::umask(old);
  struct stat info {};
  ASSERT_EQ(::stat(f.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(FlashFile, ASymlinkPlantedAtTheOldTemporaryNameIsLeftAlone) {
  const std::string f = dir_.path("flash.bin");
  const std::string victim = dir_.write("victim", "precious");
  ASSERT_EQ(::symlink(victim.c_str(), (f + ".tmp").c_str()), 0);
  writeFlashFile(f, storeOf(std::string(16, 'k')));
  EXPECT_EQ(contents(victim), "precious");
  char target[256] = {};
  ASSERT_GT(::readlink((f + ".tmp").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), victim);
  EXPECT_EQ(contents(f), std::string(16, 'k'));
  EXPECT_EQ(entries(), (std::vector<std::string>{"flash.bin", "flash.bin.tmp", "victim"}));
}

TEST_F(FlashFile, AFailedReplaceLeavesNoTemporaryFile) {
  // A non-empty folder where the file should be: the rename fails, after the data was written.
  const std::string f = dir_.path("flash.bin");
  ASSERT_EQ(::mkdir(f.c_str(), 0755), 0);
  dir_.write("flash.bin/inside", "x");
  EXPECT_THROW(writeFlashFile(f, storeOf(std::string(64, 'z'))), kestrix::FileError);
  EXPECT_EQ(entries(), std::vector<std::string>{"flash.bin"});
  EXPECT_EQ(contents(f + "/inside"), "x");
}

TEST_F(FlashFile, AFolderThatDoesNotExistIsAFileError) {
  EXPECT_THROW(writeFlashFile(dir_.path("no/such/flash.bin"), storeOf("x")), kestrix::FileError);
  EXPECT_TRUE(entries().empty());
}

TEST_F(FlashFile, ErasedStretchesAreWrittenInFullAndReadBackWithoutMemory) {
  // Four chunks of 64 bytes: written, erased, erased, written across the end of the third.
  const std::string written = std::string(64, 'a') + std::string(128, '\xff') +
                              std::string(40, '\xff') + std::string(24, 'b');
  const std::string f = dir_.path("flash.bin");
  writeFlashFile(f, storeOf(written, 64));
  EXPECT_EQ(contents(f), written);

  FlashStore loaded(written.size(), 64);
  ASSERT_TRUE(readFlashFile(f, loaded));
  EXPECT_EQ(loaded.read(0, loaded.size()), written);
  EXPECT_EQ(loaded.chunksHeld(), 2u);  // the first and the last
}

TEST_F(FlashFile, AFileOfAnotherSizeIsRefusedBeforeAnythingIsRead) {
  const std::string f = dir_.write("flash.bin", std::string(32, 'q'));
  FlashStore flash(48);
  EXPECT_THROW(readFlashFile(f, flash), kestrix::FileError);
  EXPECT_EQ(flash.read(0, 48), std::string(48, '\xff'));
  EXPECT_EQ(flash.chunksHeld(), 0u);
}

}  // namespace
