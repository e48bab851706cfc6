// The programming engine: erase, write in 16-byte blocks, read back, compare digests, finish.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_path.hpp"
#include "kestrix/flash/protocol.hpp"
#include "kestrix/flash/tbin_format.hpp"

namespace kestrix::flash {
namespace {

namespace fs = std::filesystem;
using protocol::kPageSize;

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// Buffered reads keep the 16-byte stream cheap without holding the image.
constexpr std::size_t kReadBuffer = 64 * 1024;

std::string fileErrorText(const std::string& path, const std::error_code& ec) {
  return "FPGA image file error: " + path + ", " + ec.message();
}

std::uint64_t fileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) throw FileError(fileErrorText(path, ec));
  return size;
}

File openRaw(const std::string& path) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) throw FileError(fileErrorText(path, std::error_code(errno, std::generic_category())));
  std::setvbuf(file.get(), nullptr, _IOFBF, kReadBuffer);
  return file;
}

// The image bytes of a container: image_length bytes from image_start_addr, cut at the file's end.
std::string containerImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileError(fileErrorText(path, std::error_code(errno, std::generic_category())));
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FileError("FPGA image file error: " + path + ", read failed");
  std::uint32_t image_length = 0;
  std::uint32_t image_start = 0;
  if (!tbin::readU32(file, tbin::kImageLengthOffset, &image_length) ||
      !tbin::readU32(file, tbin::kImageStartOffset, &image_start))
    throw FileError("FPGA image file error: " + path + ", too short for a tbin header");
  return std::string(tbin::region(file, image_start, image_length));
}

}  // namespace

void FpgaTool::report(std::string_view stage, std::uint64_t done, std::uint64_t total) {
  // A callback may replace itself while it runs; keep this one alive until it returns.
  const std::shared_ptr<ProgressCallback> callback = progress_;
  if (callback && callback->enabled()) callback->report(stage, done, total);
}

void FpgaTool::display(std::uint64_t done, std::uint64_t total, double seconds) {
  const double percent =
      total ? static_cast<double>(done) / static_cast<double>(total) * 100.0 : 0.0;
  char line[160];
  const int n = std::snprintf(
      line, sizeof line, "\rProgress: %.2f%% (%" PRIu64 "/%" PRIu64 " bytes), block time: %.4f sec",
      percent, done, total, seconds);
  host_->writeStdout(std::string_view(line, static_cast<std::size_t>(n)), true);
}

double FpgaTool::programBlock(std::string_view block, std::uint64_t offset) {
  for (int attempt = 1; attempt <= kMaxProgramAttempts; ++attempt) {
    const double start = host_->wallClock();
    const bool accepted = _fpgaProgram(block);
    const double end = host_->wallClock();
    if (accepted) return end - start;
  }
  throw BlockRefusedError("FPGA block at byte offset " + std::to_string(offset) +
                          " refused by the controller " + std::to_string(kMaxProgramAttempts) +
                          " times; update stopped");
}

bool FpgaTool::_fpgaProgramFile(const std::string& image_path, std::int64_t device_type) {
  std::uint64_t file_size = fileSize(image_path);
  const bool container = lowerSuffix(image_path) == kTbinSuffix;

  // The image is opened before the erase: an image that cannot be read must not cost the device
  // its configuration.
  std::string image;  // a container's image, held whole
  File raw;           // a raw image, streamed
  if (container) {
    image = containerImage(image_path);
    file_size = image.size();
  } else {
    raw = openRaw(image_path);
  }
  if (file_size == 0) {
    log(LogLevel::ERROR, "FPGA image holds no data: " + image_path);
    return false;
  }

  std::uint64_t sent = 0;
  const double total_start_time = host_->monotonicClock();
  crypto::Sha256 w_hasher;

  if (device_type == 28) {
    _fpgaErase(protocol::kEraseDevice28);
  } else if (device_type == 32) {
    _fpgaErase(protocol::kEraseDevice32);
  }
  _fpgaRstPagePtr(protocol::kSectionCfg);
  report(kStageWrite, 0, 0);

  const auto write_block = [&](std::string_view block) {
    w_hasher.update(block);
    const double seconds = programBlock(block, sent);
    sent += block.size();
    display(sent, file_size, seconds);
    report(kStageWrite, sent, file_size);
  };
  if (container) {
    for (std::size_t idx = 0; idx < image.size(); idx += kPageSize)
      write_block(std::string_view(image).substr(idx, kPageSize));
  } else {
    char block[kPageSize];
    for (;;) {
      const std::size_t n = std::fread(block, 1, sizeof block, raw.get());
      if (n == 0) {
        if (std::ferror(raw.get()))
          throw FileError("FPGA image file error: " + image_path + ", read failed");
        break;
      }
      write_block(std::string_view(block, n));
    }
    raw.reset();
  }
  host_->writeStdout("\n", true);

  const std::string w_digest = w_hasher.hexdigest();
  log(LogLevel::DEBUG, "w hash: " + w_digest);
  log(LogLevel::INFO, "Verify Data");
  report(kStageVerify, 0, sent);

  // Flash reads back whole pages: hash exactly the `sent` bytes that were written, so the erased
  // tail of a partial last page does not count, and a short read-back cannot match.
  crypto::Sha256 r_hasher;
  _fpgaRstPagePtr(protocol::kSectionCfg);
  std::uint64_t hashed = 0;
  for (std::uint64_t read = kPageSize; read < sent + kPageSize; read += kPageSize) {
    const double block_start = host_->wallClock();
    const Bytes page_data = _fpgaRead();
    const double block_end = host_->wallClock();
    const std::uint64_t done = std::min(read, sent);
    display(done, sent, block_end - block_start);
    report(kStageVerify, done, sent);
    const std::uint64_t take = std::min<std::uint64_t>(page_data.size(), sent - hashed);
    r_hasher.update(std::string_view(page_data).substr(0, static_cast<std::size_t>(take)));
    hashed += take;
  }
  host_->writeStdout("\n", true);

  const std::string r_digest = r_hasher.hexdigest();
  log(LogLevel::DEBUG, "r hash: " + r_digest);
  const bool ret = hashed == sent && w_digest == r_digest;
  if (ret) {
    log(LogLevel::INFO, "Verify Success");
  } else {
    log(LogLevel::ERROR, "Verify Failed");
  }

  // Sent whatever the verification found, so the device reloads from what is in the flash now.
  _fpgaDone();
  _fpgaRefresh();
  if (device_type == 32) {
    _fpgaReinit();
    host_->sleepSeconds(kReinitWaitSeconds);
  }

  const double total_end_time = host_->monotonicClock();
  char total[64];
  std::snprintf(total, sizeof total, "%.4f", total_end_time - total_start_time);
  log(LogLevel::INFO, std::string("FPGA program file finished. Total time: ") + total + " sec");
  return ret;
}

}  // namespace kestrix::flash
