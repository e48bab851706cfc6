// Image files: the file-system check, the tbin content check, the device type rules, packing and
// inspection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/image_key.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/flash/image_version.hpp"
#include "kestrix/flash/tbin_format.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

namespace fs = std::filesystem;
using flash::checkFileHeader;
using flash::checkUpdateFile;
using flash::PackOptions;
using flash::packTbin;
namespace tbin = flash::tbin;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string u32(std::uint32_t v) {
  std::string out;
  tbin::appendU32(&out, v);
  return out;
}

std::string digestBytes(const tbin::Digest& d) {
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

// A tbin file written field by field: the digests are made over the given messages with the key
// for `dev_type_text`, whatever the fields say.
std::string craft(std::uint32_t header_length, std::uint32_t image_length,
                  std::uint32_t image_start, const std::string& body,
                  const std::string& dev_type_text, const std::string& header_message,
                  const std::string& image_message) {
  const std::string key = flash::makeImageKey(dev_type_text);
  return u32(header_length) + u32(image_length) + u32(image_start) + u32(0) +
         digestBytes(crypto::hmacSha256(key, header_message)) +
         digestBytes(crypto::hmacSha256(key, image_message)) + body;
}

// An image whose every shift differs from itself.
std::string sampleImage(std::size_t size) {
  std::string image;
  std::uint32_t x = 12345;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    image.push_back(static_cast<char>(x >> 23));
  }
  return image;
}

std::vector<std::string> errors(const FakeHost& host) {
  return host.messages(LogLevel::ERROR);
}

// ------------------------------------------------------------------------------------------------
// checkUpdateFile

struct UpdateFileCase {
  const char* name;
  // How the path is made: "file" with `content`, "dir", "none", "link" (to a good file),
  // "dangling" (link to nothing).
  const char* make;
  const char* content;
  std::size_t size;
  bool ok;
  const char* message_prefix;  // followed by the path
};

class UpdateFileTable : public ::testing::TestWithParam<UpdateFileCase> {};

TEST_P(UpdateFileTable, VerdictAndMessage) {
  const UpdateFileCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.path(c.name);
  const std::string make = c.make;
  if (make == "file") {
    dir.write(c.name, std::string(c.content, c.size));
  } else if (make == "dir") {
    fs::create_directory(path);
  } else if (make == "link") {
    const std::string target = dir.write("target.bin", "abc");
    fs::create_symlink(target, path);
  } else if (make == "dangling") {
    fs::create_symlink(dir.path("nothing.bin"), path);
  }
  FakeHost host;
  EXPECT_EQ(checkUpdateFile(path, host), c.ok);
  if (c.ok) {
    EXPECT_TRUE(host.logs.empty());
  } else {
    ASSERT_EQ(host.logs.size(), 1u);
    EXPECT_EQ(host.logs[0].level, LogLevel::ERROR);
    EXPECT_EQ(host.logs[0].message, std::string(c.message_prefix) + path);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UpdateFileTable,
    ::testing::Values(
        UpdateFileCase{"missing.bin", "none", "", 0, false, "FPGA image path not found: "},
        UpdateFileCase{"dangling.bin", "dangling", "", 0, false, "FPGA image path not found: "},
        UpdateFileCase{"image.txt", "file", "abc", 3, false, "FPGA image file type error: "},
        UpdateFileCase{"x.bin.gz", "file", "abc", 3, false, "FPGA image file type error: "},
        UpdateFileCase{".bin", "file", "abc", 3, false, "FPGA image file type error: "},
        UpdateFileCase{"noext", "file", "abc", 3, false, "FPGA image file type error: "},
        UpdateFileCase{"dir.bin", "dir", "", 0, false, "FPGA image not found: "},
        UpdateFileCase{"empty.bin", "file", "", 0, false, "FPGA image is empty: "},
        UpdateFileCase{"one.tbin", "file", "x", 1, false, "FPGA image is empty: "},
        UpdateFileCase{"two.bin", "file", "\0\0", 2, true, ""},
        UpdateFileCase{"IMAGE.BIN", "file", "abc", 3, true, ""},
        UpdateFileCase{"x.TBin", "file", "abc", 3, true, ""},
        UpdateFileCase{"link.bin", "link", "", 0, true, ""}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return n + "_" + std::to_string(info.index);
    });

TEST(UpdateFile, PathWithNulByteDoesNotExist) {
  TempDir dir;
  const std::string good = dir.write("a.bin", "abcd");
  const std::string path = good + std::string("\0.bin", 5);
  FakeHost host;
  EXPECT_FALSE(checkUpdateFile(path, host));
  EXPECT_EQ(errors(host), std::vector<std::string>{"FPGA image path not found: " + path});
}

TEST(UpdateFile, UnreadableFileIsReported) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  TempDir dir;
  const std::string path = dir.write("locked.bin", "abcd");
  fs::permissions(path, fs::perms::none);
  FakeHost host;
  EXPECT_FALSE(checkUpdateFile(path, host));
  ASSERT_EQ(errors(host).size(), 1u);
  EXPECT_EQ(errors(host)[0], "FPGA image file not readable: " + path + ", [Errno 13] " +
                                 std::strerror(13) + ": '" + path + "'");
}

// ------------------------------------------------------------------------------------------------
// checkFileHeader: raw images and read failures

TEST(FileHeader, RawImagePassesUnreadWithItsSize) {
  TempDir dir;
  const std::string path = dir.write("IMG.Bin", std::string("\xff\x00 not a header", 15));
  FakeHost host;
  EXPECT_TRUE(checkFileHeader(path, host));
  EXPECT_EQ(host.logs, (std::vector<LogRecord>{
                           {LogLevel::DEBUG, "FPGA image header check: " + path + ", size=15"}}));
}

class QuietHost : public FakeHost {
 public:
  bool logEnabled(LogLevel level) override { return level >= LogLevel::INFO; }
};

TEST(FileHeader, DebugLinesAreSkippedWhenNotWanted) {
  TempDir dir;
  const std::string raw = dir.write("a.bin", "abcd");
  const std::string packed = dir.write("a.tbin", packTbin("image"));
  QuietHost host;
  EXPECT_TRUE(checkFileHeader(raw, host));
  EXPECT_TRUE(checkFileHeader(packed, host));
  for (const auto& r : host.logs) EXPECT_NE(r.message.rfind("FPGA image header check", 0), 0u);
  for (const auto& r : host.logs) EXPECT_NE(r.message.rfind("FPGA tbin header: ", 0), 0u);
}

TEST(FileHeader, RawImageSizeQueryIsNotGuarded) {
  TempDir dir;
  FakeHost host;
  const std::string path = dir.path("vanished.bin");
  try {
    checkFileHeader(path, host);
    FAIL() << "a missing raw image must throw";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "[Errno 2] " + std::string(std::strerror(2)) + ": '" + path + "'");
  }
  EXPECT_TRUE(host.logs.empty());
}

TEST(FileHeader, UnreadableTbinIsAFalseResult) {
  TempDir dir;
  FakeHost host;
  const std::string missing = dir.path("missing.tbin");
  EXPECT_FALSE(checkFileHeader(missing, host));
  const std::string folder = dir.path("folder.tbin");
  fs::create_directory(folder);
  EXPECT_FALSE(checkFileHeader(folder, host));
  EXPECT_EQ(errors(host),
            (std::vector<std::string>{"FPGA image file not readable: " + missing + ", [Errno 2] " +
                                          std::strerror(2) + ": '" + missing + "'",
                                      "FPGA image file not readable: " + folder + ", [Errno 21] " +
                                          std::strerror(21) + ": '" + folder + "'"}));
}

// ------------------------------------------------------------------------------------------------
// checkFileHeader: rows of bytes

const std::string kHeader32 = "{\"DEV_TYPE\": 32}";

struct BytesCase {
  const char* label;
  std::string bytes;
  bool ok;
  // The error-level message, or for a parse error the prefix plus a fragment of the reason.
  std::string error;
  bool warns_missing = false;
};

std::vector<BytesCase> bytesCases() {
  const std::string image = sampleImage(40);
  const auto good = [&](const std::string& header, const std::string& dev) {
    return craft(static_cast<std::uint32_t>(header.size()), 40,
                 static_cast<std::uint32_t>(80 + header.size()), header + image, dev, header,
                 image);
  };
  const std::string parse = "FPGA tbin header parse error: ";
  std::vector<BytesCase> rows = {
      {"empty file", "", false, parse + "file too short for header_length"},
      {"three bytes", "abc", false, parse + "file too short for header_length"},
      {"eleven bytes", std::string(11, '\0'), false, parse + "file too short for image_start_addr"},
      {"twelve bytes", std::string(12, '\0'), false, parse + "header is not valid JSON"},
      {"eighty bytes", std::string(80, '\x7f'), false, parse + "header is not valid JSON"},
      {"all NUL header", craft(16, 0, 96, std::string(16, '\0'), "032", "", ""), false,
       parse + "header is not valid JSON"},
      {"invalid UTF-8", good("{\"DEV_TYPE\": \"\xff\"}", "032"), false,
       parse + "header is not UTF-8 text at byte 14: 0xff cannot begin a character"},
      {"UTF-8 after padding", good(std::string(3, '\0') + "\x99{}", "032"), false,
       parse + "header is not UTF-8 text at byte 3: 0x99 cannot begin a character"},
      {"UTF-8 cut short", good(kHeader32 + " \xe2\x82", "032"), false,
       parse + "header is not UTF-8 text at byte 17: the text ends inside the character 0xe2 "
               "begins"},
      {"UTF-8 broken off", good("{\"a\": \"\xe2\x28\"}", "032"), false,
       parse + "header is not UTF-8 text at byte 8: 0x28 does not continue the character 0xe2 "
               "begins"},
      {"JSON array", good("[32]", "032"), false, parse + "header JSON is a list, not an object"},
      {"JSON number", good("32", "032"), false, parse + "header JSON is a number, not an object"},
      {"not JSON", good("{DEV_TYPE: 32}", "032"), false, parse + "header is not valid JSON"},
      {"trailing text", good(kHeader32 + " x", "032"), false, parse + "header is not valid JSON"},
      {"byte order mark", good("\xEF\xBB\xBF" + kHeader32, "032"), false,
       parse + "header text starts with a UTF-8 byte order mark"},
      {"NUL inside", good(kHeader32 + std::string("\0x", 2), "032"), false,
       parse + "header text holds a NUL byte at position 16"},
      {"too deep", good("{\"a\": " + std::string(1200, '[') + std::string(1200, ']') + "}", "032"),
       false, parse + "header JSON is nested too deeply"},
      {"no device type", good("{\"type\": 32}", "032"), false,
       parse + "header names no device type", true},
      {"device type null", good("{\"dev_type\": null}", "032"), false,
       parse + "header names no device type", true},
      {"falsy DEV_TYPE only", good("{\"DEV_TYPE\": 0}", "000"), false,
       parse + "header names no device type", true},
      {"unsortable list", good("{\"DEV_TYPE\": [32, \"28\"]}", "032"), false,
       parse + "device type list cannot be sorted"},
      {"unconvertible text", good("{\"DEV_TYPE\": \"thirty\"}", "032"), false,
       parse + "device type \"thirty\" is not a decimal integer"},
      {"good", good(kHeader32, "032"), true, ""},
      {"good NUL padded", good(std::string(3, '\0') + kHeader32 + std::string(5, '\0'), "032"),
       true, ""},
      {"good list", good("{\"DEV_TYPE\": [32, 28]}", "028032"), true, ""},
      {"wrong device type key", good(kHeader32, "028"), false, "FPGA tbin header hash mismatch"},
      {"digests as hex text",
       u32(16) + u32(0) + u32(96) + u32(0) + std::string(64, 'a') + kHeader32, false,
       "FPGA tbin header hash mismatch"},
      {"image_length zero", craft(16, 0, 96, kHeader32 + "ignored", "032", kHeader32, ""), true,
       ""},
      // Lengths and offsets at the top of the 4-byte range are simply past the end of the file.
      {"fields at 2^32-1",
       craft(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, kHeader32, "032", kHeader32, ""), true, ""},
      {"image start at 2^32-1, length 1",
       craft(16, 1, 0xFFFFFFFFu, kHeader32 + "x", "032", kHeader32, ""), true, ""},
      {"image region past the end",
       craft(16, 60, 96, kHeader32 + image, "032", kHeader32, image + std::string(20, 'z')), false,
       "FPGA tbin image hash mismatch"},
      {"image region cut at the end matches its cut digest",
       craft(16, 60, 96, kHeader32 + image, "032", kHeader32, image), true, ""},
      {"image before the header", craft(16, 16, 80, kHeader32, "032", kHeader32, kHeader32), true,
       ""},
  };
  return rows;
}

class BytesTable : public ::testing::TestWithParam<BytesCase> {};

TEST_P(BytesTable, VerdictAndMessage) {
  const BytesCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.write("image.tbin", c.bytes);
  FakeHost host;
  EXPECT_EQ(checkFileHeader(path, host), c.ok) << c.label;
  if (c.ok) {
    ASSERT_FALSE(host.logs.empty());
    EXPECT_EQ(host.logs.back(), (LogRecord{LogLevel::DEBUG, "FPGA tbin hash verify success"}));
    EXPECT_TRUE(errors(host).empty());
  } else {
    const auto errs = errors(host);
    ASSERT_EQ(errs.size(), 1u) << c.label;
    EXPECT_EQ(errs[0].rfind(c.error, 0), 0u) << c.label << ": " << errs[0];
    EXPECT_EQ(host.logs.back().level, LogLevel::ERROR);
  }
  EXPECT_EQ(host.logged(LogLevel::WARNING, "FPGA tbin header missing dev_type/DEV_TYPE"),
            c.warns_missing);
  // The in-memory verification agrees with the file check.
  EXPECT_EQ(tbin::verify(c.bytes).verdict == tbin::Verdict::kPass, c.ok);
}

INSTANTIATE_TEST_SUITE_P(Rows, BytesTable, ::testing::ValuesIn(bytesCases()), [](const auto& info) {
  std::string n = info.param.label;
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
});

TEST(FileHeader, LogLinesOfAPassingImageInOrder) {
  TempDir dir;
  const std::string path =
      dir.write("ok.tbin", packTbin("data", PackOptions{kHeader32, 0, {}, {}}));
  FakeHost host;
  EXPECT_TRUE(checkFileHeader(path, host));
  EXPECT_EQ(host.logs,
            (std::vector<LogRecord>{{LogLevel::DEBUG, "FPGA tbin header: {\"DEV_TYPE\":32}"},
                                    {LogLevel::DEBUG, "FPGA tbin hash verify success"}}));
}

TEST(FileHeader, MissingDeviceTypeWarnsThenFails) {
  TempDir dir;
  const std::string header = "{\"name\": \"x\"}";
  const std::string path = dir.write("none.tbin", craft(13, 0, 93, header, "", header, ""));
  FakeHost host;
  EXPECT_FALSE(checkFileHeader(path, host));
  ASSERT_EQ(host.logs.size(), 3u);
  EXPECT_EQ(host.logs[0], (LogRecord{LogLevel::DEBUG, "FPGA tbin header: {\"name\":\"x\"}"}));
  EXPECT_EQ(host.logs[1],
            (LogRecord{LogLevel::WARNING, "FPGA tbin header missing dev_type/DEV_TYPE"}));
  EXPECT_EQ(host.logs[2].level, LogLevel::ERROR);
  EXPECT_EQ(host.logs[2].message.rfind("FPGA tbin header parse error: ", 0), 0u);
}

// A header region of exactly `size` bytes: kHeader32 padded with NUL bytes.
std::string paddedHeader(std::size_t size) {
  return kHeader32 + std::string(size - kHeader32.size(), '\0');
}

TEST(FileHeader, AHeaderRegionOverTheLimitIsRefusedBeforeItIsRead) {
  TempDir dir;
  for (const std::size_t size : {std::size_t{tbin::kMaxHeaderBytes}, tbin::kMaxHeaderBytes + 1}) {
    const std::string header = paddedHeader(size);
    const std::string path =
        dir.write("big.tbin", packTbin("data", PackOptions{header, 0, {}, {}}));
    FakeHost host;
    const bool within = size <= tbin::kMaxHeaderBytes;
    EXPECT_EQ(checkFileHeader(path, host), within) << size;
    if (!within) {
      EXPECT_EQ(errors(host), std::vector<std::string>{
                                  "FPGA tbin header parse error: header text region of 1048577 "
                                  "bytes exceeds the limit of 1048576 bytes"});
    }
  }
}

// Headers that the callback parser took quadratic time over: many small objects, many keys.
TEST(FileHeader, ManyObjectsAndManyKeysParseWithTheirValues) {
  std::string objects = "{\"DEV_TYPE\": 32, \"x\": [{}";
  for (int i = 1; i < 300000; ++i) objects += ",{}";
  objects += "]}";
  std::string keys = "{\"DEV_TYPE\": 32";
  for (int i = 0; i < 80000; ++i) keys += ",\"k" + std::to_string(i) + "\":0";
  keys += "}";
  for (const std::string& header : {objects, keys}) {
    ASSERT_LE(header.size(), tbin::kMaxHeaderBytes);
    Json parsed;
    std::string error;
    ASSERT_TRUE(tbin::parseHeader(header, &parsed, &error)) << error;
    EXPECT_EQ(parsed.dump(), Json::parse(header).dump());
  }
}

TEST(FileHeader, ARepeatedKeyKeepsItsFirstPlaceAndItsLastValue) {
  Json parsed;
  std::string error;
  ASSERT_TRUE(tbin::parseHeader(R"({"DEV_TYPE": 28, "a": {"b": 1, "b": [2]}, "DEV_TYPE": 32})",
                                &parsed, &error));
  EXPECT_EQ(parsed.dump(), R"({"DEV_TYPE":32,"a":{"b":[2]}})");
  EXPECT_EQ(tbin::deviceTypeText(parsed).text, "032");
}

// ------------------------------------------------------------------------------------------------
// Tampering: every byte of a packed image flipped in turn.

TEST(Tamper, EachRegionFailsWithItsMessage) {
  const std::string header =
      std::string(2, '\0') + "{\"DEV_TYPE\": [32, 28]}" + std::string(2, '\0');
  const std::string image = sampleImage(64);
  // A gap before the image and a trailing byte after it, which no digest covers.
  std::string file = packTbin(image, PackOptions{header, 0, 80 + header.size() + 8, {}}) + "T";
  ASSERT_EQ(tbin::verify(file).verdict, tbin::Verdict::kPass);
  const std::size_t header_end = 80 + header.size();
  const std::size_t image_start = header_end + 8;
  for (std::size_t i = 0; i < file.size(); ++i) {
    std::string bad = file;
    bad[i] = static_cast<char>(bad[i] ^ 0x01);
    const tbin::Verdict v = tbin::verify(bad).verdict;
    SCOPED_TRACE("byte " + std::to_string(i));
    if (i < 4) {
      EXPECT_NE(v, tbin::Verdict::kPass);  // the header region changes length
      EXPECT_NE(v, tbin::Verdict::kImageHashMismatch);
    } else if (i < 12) {
      EXPECT_EQ(v, tbin::Verdict::kImageHashMismatch);  // the image region moves or resizes
    } else if (i < 16) {
      EXPECT_EQ(v, tbin::Verdict::kPass);  // reserved
    } else if (i < 48) {
      EXPECT_EQ(v, tbin::Verdict::kHeaderHashMismatch);
    } else if (i < 80) {
      EXPECT_EQ(v, tbin::Verdict::kImageHashMismatch);
    } else if (i < header_end) {
      // The header either stops parsing or parses to something the digest does not cover.
      EXPECT_TRUE(v == tbin::Verdict::kParseError || v == tbin::Verdict::kHeaderHashMismatch);
    } else if (i < image_start) {
      EXPECT_EQ(v, tbin::Verdict::kPass);  // gap
    } else if (i < image_start + image.size()) {
      EXPECT_EQ(v, tbin::Verdict::kImageHashMismatch);
    } else {
      EXPECT_EQ(v, tbin::Verdict::kPass);  // trailer
    }
  }
}

TEST(Tamper, HeaderChangesThatStillParseAreCaughtByTheDigest) {
  TempDir dir;
  const std::string header = "{\"DEV_TYPE\": 32}" + std::string(4, '\0');
  const std::string file = packTbin("payload", PackOptions{header, 0, {}, {}});
  struct Edit {
    std::size_t offset;
    char byte;
  };
  // Padding turned into white space; another device type (whose key makes other digests).
  for (const Edit e : {Edit{80 + 16, ' '}, Edit{80 + 13, '2'}}) {
    std::string bad = file;
    bad[e.offset] = e.byte;
    FakeHost host;
    EXPECT_FALSE(checkFileHeader(dir.write("t.tbin", bad), host));
    EXPECT_EQ(errors(host), std::vector<std::string>{"FPGA tbin header hash mismatch"});
  }
}

// ------------------------------------------------------------------------------------------------
// Device type rules

struct DeviceTypeCase {
  std::string header;
  bool ok;
  std::string text;  // expected text, or a fragment of the error
  bool missing = false;
};

class DeviceTypeTable : public ::testing::TestWithParam<DeviceTypeCase> {};

TEST_P(DeviceTypeTable, TextOrError) {
  const DeviceTypeCase& c = GetParam();
  Json header;
  std::string error;
  ASSERT_TRUE(tbin::parseHeader(c.header, &header, &error)) << error;
  const tbin::DeviceType d = tbin::deviceTypeText(header);
  EXPECT_EQ(d.ok, c.ok) << c.header << " -> " << d.text << d.error;
  EXPECT_EQ(d.missing, c.missing) << c.header;
  if (c.ok) {
    EXPECT_EQ(d.text, c.text) << c.header;
  } else {
    EXPECT_NE(d.error.find(c.text), std::string::npos) << c.header << " -> " << d.error;
  }
}

const char kInt1e300[] =
    "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371375"
    "0804478640437044438328838781769425232353604305756447921847867069828483872009265758037378302"
    "3379478809005936895323497079994508111903896764088007465274278014249457925878882005684283811"
    "5669472196386865459400540160";

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceTypeTable,
    ::testing::Values(
        // Which key.
        DeviceTypeCase{R"({"DEV_TYPE": 32})", true, "032"},
        DeviceTypeCase{R"({"dev_type": 28})", true, "028"},
        DeviceTypeCase{R"({"DEV_TYPE": 0, "dev_type": 32})", true, "032"},
        DeviceTypeCase{R"({"DEV_TYPE": 32, "dev_type": 28})", true, "032"},
        DeviceTypeCase{R"({"DEV_TYPE": "", "dev_type": 7})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": [], "dev_type": 7})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": {}, "dev_type": 7})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": 0.0, "dev_type": 7})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": -0.0, "dev_type": 7})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": false, "dev_type": false})", true, "000"},
        DeviceTypeCase{R"({"DEV_TYPE": null, "dev_type": 0})", true, "000"},
        DeviceTypeCase{R"({"DEV_TYPE": 0})", false, "no device type", true},
        DeviceTypeCase{R"({"dev_type": null})", false, "no device type", true},
        DeviceTypeCase{R"({"DEV_TYPE": 0, "dev_type": null})", false, "no device type", true},
        DeviceTypeCase{R"({"Dev_Type": 32})", false, "no device type", true},
        DeviceTypeCase{R"({"DEV_TYPE": 5, "DEV_TYPE": 6})", true, "006"},
        // Single values.
        DeviceTypeCase{R"({"DEV_TYPE": 5})", true, "005"},
        DeviceTypeCase{R"({"DEV_TYPE": 1234})", true, "1234"},
        DeviceTypeCase{R"({"DEV_TYPE": -5})", true, "-05"},
        DeviceTypeCase{R"({"DEV_TYPE": -123})", true, "-123"},
        DeviceTypeCase{R"({"DEV_TYPE": true})", true, "001"},
        DeviceTypeCase{R"({"DEV_TYPE": 32.9})", true, "032"},
        DeviceTypeCase{R"({"DEV_TYPE": -32.9})", true, "-32"},
        DeviceTypeCase{R"({"DEV_TYPE": -0.5})", true, "000"},
        DeviceTypeCase{R"({"DEV_TYPE": 1e2})", true, "100"},
        DeviceTypeCase{R"({"DEV_TYPE": 1e20})", true, "100000000000000000000"},
        DeviceTypeCase{R"({"DEV_TYPE": 9.223372036854775808e18})", true, "9223372036854775808"},
        DeviceTypeCase{R"({"DEV_TYPE": 1e300})", true, kInt1e300},
        DeviceTypeCase{R"({"DEV_TYPE": 18446744073709551615})", true, "18446744073709551615"},
        DeviceTypeCase{R"({"DEV_TYPE": -9223372036854775808})", true, "-9223372036854775808"},
        // Beyond 64 bits the value arrives as the nearest double.
        DeviceTypeCase{R"({"DEV_TYPE": 18446744073709551616})", true, "18446744073709551616"},
        DeviceTypeCase{R"({"DEV_TYPE": {"a": 1}})", false, "an object cannot be converted"},
        // Texts, as int() reads them.
        DeviceTypeCase{R"({"DEV_TYPE": " 32 "})", true, "032"},
        DeviceTypeCase{R"({"DEV_TYPE": "\t+5\n"})", true, "005"},
        DeviceTypeCase{R"({"DEV_TYPE": "-5"})", true, "-05"},
        DeviceTypeCase{R"({"DEV_TYPE": "-0"})", true, "000"},
        DeviceTypeCase{R"({"DEV_TYPE": "0007"})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": "1_000"})", true, "1000"},
        DeviceTypeCase{R"({"DEV_TYPE": "0_7"})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": "123456789012345678901234567890"})", true,
                       "123456789012345678901234567890"},
        DeviceTypeCase{R"({"DEV_TYPE": "\u0663\u0662"})", true, "032"},
        DeviceTypeCase{R"({"DEV_TYPE": "\uff13\uff12"})", true, "032"},
        DeviceTypeCase{R"({"DEV_TYPE": "\ud835\udfd1"})", true, "003"},
        DeviceTypeCase{R"({"DEV_TYPE": "\u3000-5\u00a0"})", true, "-05"},
        DeviceTypeCase{R"({"DEV_TYPE": "\u0085 7"})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": "1__0"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "_1"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "1_"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "+_1"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "+ 5"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "3 2"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "1.5"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "0x20"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "\u001c5"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "\u007f5"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "\u22125"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "\u00a0"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": "5\u0000"})", false, "not a decimal integer"},
        DeviceTypeCase{R"({"DEV_TYPE": " "})", false, "not a decimal integer"},
        // Lists: sorted as they stand, then converted.
        DeviceTypeCase{R"({"DEV_TYPE": [32, 28]})", true, "028032"},
        DeviceTypeCase{R"({"DEV_TYPE": ["32", "28"]})", true, "028032"},
        DeviceTypeCase{R"({"DEV_TYPE": [100, 28]})", true, "028100"},
        DeviceTypeCase{R"({"DEV_TYPE": ["100", "28"]})", true, "100028"},
        DeviceTypeCase{R"({"DEV_TYPE": ["10", "9", " 8"]})", true, "008010009"},
        DeviceTypeCase{R"({"DEV_TYPE": [true, 0.5, 1, -2]})", true, "-02000001001"},
        DeviceTypeCase{R"({"DEV_TYPE": [2, 1.5]})", true, "001002"},
        DeviceTypeCase{R"({"DEV_TYPE": [9007199254740993, 9007199254740992.0]})", true,
                       "90071992547409929007199254740993"},
        DeviceTypeCase{R"({"DEV_TYPE": [18446744073709551615, -1, 1e19]})", true,
                       "-011000000000000000000018446744073709551615"},
        DeviceTypeCase{R"({"dev_type": []})", true, ""},
        DeviceTypeCase{R"({"DEV_TYPE": [7]})", true, "007"},
        DeviceTypeCase{R"({"DEV_TYPE": [1, "2"]})", false, "cannot be sorted"},
        DeviceTypeCase{R"({"DEV_TYPE": [null, 1]})", false, "cannot be sorted"},
        DeviceTypeCase{R"({"DEV_TYPE": [{}, {}]})", false, "cannot be sorted"},
        DeviceTypeCase{R"({"DEV_TYPE": [[1], 2]})", false, "cannot be sorted"},
        DeviceTypeCase{R"({"DEV_TYPE": [null]})", false, "null cannot be converted"},
        DeviceTypeCase{R"({"DEV_TYPE": [[1], [2]]})", false, "a list cannot be converted"},
        DeviceTypeCase{R"({"DEV_TYPE": ["b", "a"]})", false, "not a decimal integer"}));

TEST(DeviceType, NonObjectHeadersHaveNone) {
  for (const char* text : {"[32]", "32", "\"32\"", "null", "true"}) {
    const Json header = Json::parse(text);
    const tbin::DeviceType d = tbin::deviceTypeText(header);
    EXPECT_FALSE(d.ok) << text;
    EXPECT_FALSE(d.missing) << text;
    EXPECT_NE(d.error.find("not an object"), std::string::npos) << d.error;
  }
}

TEST(DeviceType, NumbersBeyondTheDoubleRangeAreNotJson) {
  // The JSON reader refuses them outright; no infinity reaches the conversion.
  Json header;
  std::string error;
  EXPECT_FALSE(tbin::parseHeader(R"({"DEV_TYPE": 1e400})", &header, &error));
  EXPECT_NE(error.find("number overflow"), std::string::npos) << error;
}

TEST(DeviceType, FormatPadsAfterTheSign) {
  EXPECT_EQ(tbin::formatDeviceType(0), "000");
  EXPECT_EQ(tbin::formatDeviceType(32), "032");
  EXPECT_EQ(tbin::formatDeviceType(-5), "-05");
  EXPECT_EQ(tbin::formatDeviceType(-50), "-50");
  EXPECT_EQ(tbin::formatDeviceType(INT64_MIN), "-9223372036854775808");
}

TEST(DeviceType, ErrorMessagesAreValidText) {
  // A long text with multi-byte characters is cut on a character boundary in the message.
  std::string value;
  for (int i = 0; i < 100; ++i) value += "\xc3\xa9";
  const tbin::DeviceType d = tbin::deviceTypeText(Json{{"DEV_TYPE", value}});
  ASSERT_FALSE(d.ok);
  EXPECT_TRUE(isUtf8(d.error));
  EXPECT_NE(d.error.find("..."), std::string::npos);
  // A JSON syntax error that stops inside a multi-byte character.
  Json header;
  std::string error;
  EXPECT_FALSE(tbin::parseHeader("t\xc3\xa9", &header, &error));
  EXPECT_TRUE(isUtf8(error)) << error;
}

// ------------------------------------------------------------------------------------------------
// Packing

TEST(Pack, DefaultHeaderRoundTrip) {
  const std::string image = sampleImage(1000);
  const std::string file = packTbin(image, PackOptions{{}, 28, {}, {}});
  const std::string header = "{\"DEV_TYPE\": 28}";
  std::uint32_t v = 0;
  ASSERT_TRUE(tbin::readU32(file, 0, &v));
  EXPECT_EQ(v, header.size());
  ASSERT_TRUE(tbin::readU32(file, 4, &v));
  EXPECT_EQ(v, image.size());
  ASSERT_TRUE(tbin::readU32(file, 8, &v));
  EXPECT_EQ(v, 80 + header.size());
  EXPECT_EQ(file.substr(12, 4), std::string(4, '\0'));
  EXPECT_EQ(file.substr(80, header.size()), header);
  EXPECT_EQ(file.substr(80 + header.size()), image);
  // The digests are keyed with the module's key and "028", independently recomputed here.
  const std::string key = flash::makeImageKey("028");
  EXPECT_EQ(file.substr(16, 32), digestBytes(crypto::hmacSha256(key, header)));
  EXPECT_EQ(file.substr(48, 32), digestBytes(crypto::hmacSha256(key, image)));
  const tbin::Verification r = tbin::verify(file);
  EXPECT_EQ(r.verdict, tbin::Verdict::kPass);
  EXPECT_EQ(r.dev_type_text, "028");
}

TEST(Pack, KeyIsTheModuleKeyTextAndTheDeviceTypeText) {
  const std::string key = flash::makeImageKey("032");
  ASSERT_EQ(key.size(), 11u);
  EXPECT_EQ(key.substr(8), "032");
  for (char c : key.substr(0, 8)) EXPECT_TRUE(c >= '0' && c <= '9');
  EXPECT_EQ(flash::makeImageKey("").size(), 8u);
}

TEST(Pack, HmacMatchesRfc4231) {
  // RFC 4231 test case 2.
  const tbin::Digest d = crypto::hmacSha256("Jefe", "what do ya want for nothing?");
  const unsigned char expected[] = {0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e,
                                    0x6a, 0x04, 0x24, 0x26, 0x08, 0x95, 0x75, 0xc7,
                                    0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27, 0x39, 0x83,
                                    0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
  EXPECT_EQ(digestBytes(d), std::string(reinterpret_cast<const char*>(expected), 32));
  crypto::Hmac streamed("Jefe");
  streamed.update("what do ya ");
  streamed.update("");
  streamed.update("want for nothing?");
  EXPECT_EQ(streamed.digest(), d);
}

struct PackCase {
  const char* label;
  PackOptions options;
  std::size_t image_size;
  std::string dev_type_text;
};

class PackTable : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackTable, EveryPackedImagePassesTheCheck) {
  const PackCase& c = GetParam();
  TempDir dir;
  const std::string image = sampleImage(c.image_size);
  const std::string in = dir.write("in.bin", image);
  const std::string out = dir.path("out.tbin");
  const flash::PackResult result = flash::packTbinFile(in, out, c.options);
  const std::string file = readFile(out);
  EXPECT_EQ(file, packTbin(image, c.options)) << "streamed and in-memory packing agree";
  EXPECT_EQ(result.file_size, file.size());
  EXPECT_EQ(result.image_length, image.size());
  EXPECT_EQ(result.dev_type_text, c.dev_type_text);
  EXPECT_EQ(file.substr(result.image_start), image);
  FakeHost host;
  EXPECT_TRUE(checkUpdateFile(out, host));
  EXPECT_TRUE(checkFileHeader(out, host));
  EXPECT_TRUE(errors(host).empty());
  EXPECT_FALSE(fs::exists(out + ".part"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackTable,
    ::testing::Values(
        PackCase{"default", PackOptions{}, 100, "032"},
        PackCase{"dev type 28", PackOptions{{}, 28, {}, {}}, 3, "028"},
        PackCase{"negative dev type", PackOptions{{}, -5, {}, {}}, 3, "-05"},
        PackCase{"empty image", PackOptions{}, 0, "032"},
        PackCase{"big image", PackOptions{}, 3 * 1024 * 1024 + 7, "032"},
        PackCase{"padded header",
                 PackOptions{std::string("\0\0{\"dev_type\": [\"32\", \"28\"]}\0", 29), 0, {}, {}},
                 50, "028032"},
        PackCase{"list header", PackOptions{"{\"DEV_TYPE\": [32, 28], \"v\": \"1.0\"}", 0, {}, {}},
                 17, "028032"},
        PackCase{"empty list", PackOptions{"{\"dev_type\": []}", 0, {}, {}}, 17, ""},
        PackCase{"gap", PackOptions{{}, 32, 4096, {}}, 64, "032"},
        PackCase{"start right after header", PackOptions{{}, 32, 96, {}}, 64, "032"}),
    [](const auto& info) {
      std::string n = info.param.label;
      for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return n;
    });

TEST(Pack, MixedListHeaderIsRefusedBecauseItCannotBeSorted) {
  // A text and a number cannot be ordered, so no key can be made for this header.
  EXPECT_THROW(packTbin("x", PackOptions{"{\"dev_type\": [\"32\", 28.5]}", 0, {}, {}}),
               std::invalid_argument);
}

TEST(Pack, GapIsZeroBytes) {
  const std::string file = packTbin("IMG", PackOptions{{}, 32, 200, {}});
  ASSERT_EQ(file.size(), 203u);
  EXPECT_EQ(file.substr(96, 104), std::string(104, '\0'));
  EXPECT_EQ(file.substr(200), "IMG");
}

TEST(Pack, BadOptionsAreClearErrors) {
  const auto message = [](const PackOptions& o) {
    try {
      packTbin("image", o);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(PackOptions{{}, 32, 95, {}}),
            "image start 95 lies inside the prefix and header region (bytes 0 to 95)");
  EXPECT_EQ(message(PackOptions{{}, 32, 0, {}}),
            "image start 0 lies inside the prefix and header region (bytes 0 to 95)");
  EXPECT_EQ(message(PackOptions{{}, 32, 0x100000000ull, {}}),
            "image start 4294967296 does not fit the 4-byte field (at most 4294967295)");
  EXPECT_NE(message(PackOptions{"{\"x\": 1}", 0, {}, {}}).find("names no device type"),
            std::string::npos);
  EXPECT_NE(message(PackOptions{"[32]", 0, {}, {}}).find("not an object"), std::string::npos);
  EXPECT_NE(message(PackOptions{"{\"DEV_TYPE\": \"\xff\"}", 0, {}, {}})
                .find("header is not UTF-8 text at byte 14: 0xff cannot begin a character"),
            std::string::npos);
  EXPECT_NE(message(PackOptions{"", 0, {}, {}}).find("not valid JSON"), std::string::npos);
}

// The version an image declares: packed in canonical form, read back by the check, and refused
// where it could not be compared with what a device runs.
TEST(ImageVersion, PackedDeclaredAndReadBack) {
  TempDir dir;
  PackOptions options;
  options.fpga_version = " 0.03.1 ";
  const std::string path = dir.write("v.tbin", packTbin(sampleImage(64), options));
  const flash::ImageReport r = flash::inspectImage(path, 32);
  EXPECT_TRUE(r.passed) << r.failure;
  EXPECT_EQ(r.fpga_version, "0.3.1");
  ASSERT_TRUE(r.tbin && r.tbin->header);
  EXPECT_EQ(r.tbin->header->dump(), R"({"DEV_TYPE":32,"FPGA_VER":"0.3.1"})");
  EXPECT_FALSE(flash::inspectImage(dir.write("n.tbin", packTbin(sampleImage(64)))).fpga_version);
}

TEST(ImageVersion, WhatIsNotAVersionIsRefused) {
  struct Row {
    const char* header;
    const char* error;  // "" when the header declares a version or none
    std::optional<std::string> declared;
  };
  const Row rows[] = {
      {R"({"DEV_TYPE": 32})", "", std::nullopt},
      {R"({"DEV_TYPE": 32, "FPGA_VER": "1.2"})", "", "1.2"},
      {R"({"DEV_TYPE": 32, "FPGA_VER": 1.2})", "FPGA_VER in the tbin header is not a text: 1.2",
       std::nullopt},
      {R"({"DEV_TYPE": 32, "FPGA_VER": "1.x"})",
       "FPGA_VER in the tbin header is not a dotted decimal version: '1.x'", std::nullopt},
      {R"({"DEV_TYPE": 32, "FPGA_VER": ""})",
       "FPGA_VER in the tbin header is not a dotted decimal version: ''", std::nullopt},
  };
  TempDir dir;
  for (const Row& row : rows) {
    const flash::ImageVersion v = flash::imageVersionOf(Json::parse(row.header));
    EXPECT_EQ(v.error, row.error) << row.header;
    EXPECT_EQ(v.declared, row.declared) << row.header;
    // A tbin that another tool made with such a header passes the digests but not `check`, and
    // pack refuses to make one.
    const std::string header = row.header;
    const std::string image = "image bytes";
    const std::string file =
        craft(static_cast<std::uint32_t>(header.size()), static_cast<std::uint32_t>(image.size()),
              static_cast<std::uint32_t>(80 + header.size()), header + image, "032", header, image);
    const flash::ImageReport r = flash::inspectImage(dir.write("other.tbin", file));
    EXPECT_EQ(r.passed, *row.error == '\0') << row.header;
    if (*row.error == '\0') {
      EXPECT_NO_THROW(packTbin(image, PackOptions{header, 0, {}, {}}));
    } else {
      EXPECT_EQ(r.failure, row.error);
      EXPECT_EQ(r.failure_kind, flash::Failure::kImageRejected);
      EXPECT_THROW(packTbin(image, PackOptions{header, 0, {}, {}}), std::invalid_argument);
    }
  }
  EXPECT_THROW(packTbin("x", PackOptions{R"({"DEV_TYPE": 32})", 0, {}, "1.0"}),
               std::invalid_argument);
  EXPECT_THROW(packTbin("x", PackOptions{{}, 32, {}, "v1"}), std::invalid_argument);
}

TEST(Pack, FailureLeavesAnExistingOutputAlone) {
  TempDir dir;
  const std::string out = dir.write("out.tbin", "previous");
  EXPECT_THROW(flash::packTbinFile(dir.path("missing.bin"), out, {}), FileError);
  EXPECT_THROW(flash::packTbinFile(dir.write("in.bin", "abc"), out, PackOptions{{}, 32, 10, {}}),
               std::invalid_argument);
  EXPECT_EQ(readFile(out), "previous");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.dir()), fs::directory_iterator()), 2);
  // A successful pack replaces it.
  flash::packTbinFile(dir.path("in.bin"), out, {});
  EXPECT_EQ(readFile(out), packTbin("abc"));
}

// Packing over its own input would destroy the image; so would a name the update cannot take.
TEST(Pack, AnOutputThatIsTheImageOrNotATbinIsRefusedAndTheImageKept) {
  TempDir dir;
  const std::string image = dir.write("in.bin", "abcdef");
  fs::create_hard_link(image, dir.path("hard.tbin"));
  fs::create_symlink(image, dir.path("soft.tbin"));
  for (const std::string& out : {image, dir.path("hard.tbin"), dir.path("soft.tbin"),
                                 dir.path("out.bin"), dir.path("out")}) {
    EXPECT_THROW(flash::packTbinFile(image, out, {}), std::invalid_argument) << out;
    EXPECT_EQ(readFile(image), "abcdef") << out;
  }
  // Nothing but what was there: no temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.dir()), fs::directory_iterator()), 3);
}

TEST(Pack, ImageThatIsADirectoryIsRefused) {
  TempDir dir;
  fs::create_directory(dir.path("d.bin"));
  EXPECT_THROW(flash::packTbinFile(dir.path("d.bin"), dir.path("o.tbin"), {}), FileError);
  EXPECT_FALSE(fs::exists(dir.path("o.tbin")));
}

// ------------------------------------------------------------------------------------------------
// Inspection

TEST(Inspect, ReportsAPassingTbin) {
  TempDir dir;
  const std::string path =
      dir.write("a.tbin", packTbin(sampleImage(300), PackOptions{{}, 32, 200, {}}));
  const flash::ImageReport r = flash::inspectImage(path);
  EXPECT_EQ(r.kind, "tbin");
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(r.failure, "");
  EXPECT_EQ(r.file_size, 500u);
  ASSERT_TRUE(r.tbin.has_value());
  EXPECT_EQ(r.tbin->header_length, 16u);
  EXPECT_EQ(r.tbin->image_length, 300u);
  EXPECT_EQ(r.tbin->image_start_addr, 200u);
  EXPECT_EQ(r.tbin->dev_type_text, "032");
  EXPECT_EQ(r.tbin->header_digest_ok, true);
  EXPECT_EQ(r.tbin->image_digest_ok, true);
  ASSERT_FALSE(r.messages.empty());
  EXPECT_EQ(r.messages.back().second, "FPGA tbin hash verify success");
}

TEST(Inspect, ReportsWhichDigestFailed) {
  TempDir dir;
  std::string file = packTbin(sampleImage(30));
  file.back() = static_cast<char>(file.back() ^ 0x80);
  const flash::ImageReport r = flash::inspectImage(dir.write("b.tbin", file));
  EXPECT_FALSE(r.passed);
  EXPECT_EQ(r.failure, "FPGA tbin image hash mismatch");
  ASSERT_TRUE(r.tbin.has_value());
  EXPECT_EQ(r.tbin->header_digest_ok, true);
  EXPECT_EQ(r.tbin->image_digest_ok, false);
}

TEST(Inspect, RawFailingAndMissingFiles) {
  TempDir dir;
  const flash::ImageReport raw = flash::inspectImage(dir.write("r.bin", "abcdef"));
  EXPECT_EQ(raw.kind, "bin");
  EXPECT_TRUE(raw.passed);
  EXPECT_EQ(raw.file_size, 6u);
  EXPECT_FALSE(raw.tbin.has_value());

  const std::string one = dir.write("one.bin", "a");
  const flash::ImageReport empty = flash::inspectImage(one);
  EXPECT_FALSE(empty.passed);
  EXPECT_EQ(empty.failure, "FPGA image is empty: " + one);

  const std::string gone = dir.path("gone.tbin");
  const flash::ImageReport missing = flash::inspectImage(gone);
  EXPECT_FALSE(missing.passed);
  EXPECT_EQ(missing.kind, "tbin");
  EXPECT_EQ(missing.failure, "FPGA image path not found: " + gone);
  EXPECT_FALSE(missing.file_size.has_value());

  const flash::ImageReport text = flash::inspectImage(dir.write("t.txt", "abc"));
  EXPECT_EQ(text.kind, "");
  EXPECT_FALSE(text.passed);
}

}  // namespace
}  // namespace kestrix::testing
