// The tests' temporary folder: unique per use, and gone with everything in it, but nothing more,
// when it goes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(TempDir, EachIsAFreshEmptyFolderOfItsOwnUnderTheTemporaryFolder) {
  const TempDir a;
  const TempDir b;
  EXPECT_NE(a.dir(), b.dir());
  for (const TempDir* d : {&a, &b}) {
    EXPECT_TRUE(fs::is_directory(d->dir()));
    EXPECT_TRUE(fs::is_empty(d->dir()));
    EXPECT_TRUE(fs::equivalent(d->dir().parent_path(), fs::temp_directory_path()));
  }
}

TEST(TempDir, WriteReplacesTheFileAndReturnsItsPath) {
  const TempDir d;
  EXPECT_EQ(d.write("a.bin", std::string("long\0content", 12)), d.path("a.bin"));
  EXPECT_EQ(d.write("a.bin", "ab"), d.path("a.bin"));
  EXPECT_EQ(contents(d.path("a.bin")), "ab");
  EXPECT_EQ(fs::path(d.path("a.bin")).parent_path(), d.dir());
}

TEST(TempDir, AFileThatCannotBeWrittenThrows) {
  const TempDir d;
  EXPECT_THROW(d.write("no/such/folder/a.bin", "x"), std::runtime_error);
}

TEST(TempDir, GoesWithEverythingInItButNothingItLinksTo) {
  const TempDir outside;
  const std::string kept = outside.write("kept.bin", "precious");
  fs::path gone;
  {
    const TempDir d;
    gone = d.dir();
    fs::create_directories(d.path("sub/deeper"));
    d.write("sub/deeper/f.bin", "x");
    fs::create_symlink(kept, d.path("file-link"));
    fs::create_directory_symlink(outside.dir(), d.path("dir-link"));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(gone)));
  EXPECT_EQ(contents(kept), "precious");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside.dir()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace kestrix::testing
