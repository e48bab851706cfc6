// The simulator's flash file: read back as written, replaced in one step, and never written
// through anything planted beside it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/sim/flash_file.hpp"
#include "temp_dir.hpp"

namespace {

using kestrix::sim::readFlashFile;
using kestrix::sim::writeFlashFile;
using kestrix::testing::TempDir;

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
  EXPECT_FALSE(readFlashFile(f, 32).has_value());
  writeFlashFile(f, std::string(32, 'a'));
  EXPECT_EQ(readFlashFile(f, 32), std::string(32, 'a'));
  writeFlashFile(f, std::string(16, '\0') + std::string(16, '\xff'));
  EXPECT_EQ(readFlashFile(f, 32), std::string(16, '\0') + std::string(16, '\xff'));
  EXPECT_THROW(readFlashFile(f, 48), kestrix::FileError);
  // Nothing but the flash file is left in its folder.
  EXPECT_EQ(entries(), std::vector<std::string>{"flash.bin"});
}

TEST_F(FlashFile, GetsTheModeTheUmaskGivesANewFile) {
  const mode_t old = ::umask(027);
  const std::string f = dir_.path("flash.bin");
  writeFlashFile(f, "x");
  ::umask(old);
  struct stat info {};
  ASSERT_EQ(::stat(f.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(FlashFile, ASymlinkPlantedAtTheOldTemporaryNameIsLeftAlone) {
  const std::string f = dir_.path("flash.bin");
  const std::string victim = dir_.write("victim", "precious");
  ASSERT_EQ(::symlink(victim.c_str(), (f + ".tmp").c_str()), 0);
  writeFlashFile(f, std::string(16, 'k'));
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
  EXPECT_THROW(writeFlashFile(f, std::string(64, 'z')), kestrix::FileError);
  EXPECT_EQ(entries(), std::vector<std::string>{"flash.bin"});
  EXPECT_EQ(contents(f + "/inside"), "x");
}

TEST_F(FlashFile, AFolderThatDoesNotExistIsAFileError) {
  EXPECT_THROW(writeFlashFile(dir_.path("no/such/flash.bin"), "x"), kestrix::FileError);
  EXPECT_TRUE(entries().empty());
}

}  // namespace
