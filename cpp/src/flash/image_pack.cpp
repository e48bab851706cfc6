#include "kestrix/flash/image_pack.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/contracts/version.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/image_key.hpp"
#include "kestrix/flash/image_version.hpp"

namespace kestrix::flash {
namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

// The header region and where the image goes, validated the way the check will read them.
struct Layout {
  std::string header_region;
  std::string dev_type_text;
  std::optional<std::string> fpga_version;
  std::uint64_t image_start = 0;
  // Zero bytes between the end of the header region and the image.
  std::uint64_t gap = 0;
};

Layout layoutFor(const PackOptions& options) {
  Layout layout;
  if (options.header_region && options.fpga_version)
    throw std::invalid_argument(
        "an FPGA version and a header of one's own cannot be given together: put \"" +
        std::string(kFpgaVersionKey) + "\" into the header");
  layout.header_region = options.header_region
                             ? *options.header_region
                             : defaultHeaderRegion(options.dev_type, options.fpga_version);
  if (layout.header_region.size() > tbin::kMaxField)
    throw std::invalid_argument("tbin header of " + std::to_string(layout.header_region.size()) +
                                " bytes is longer than a tbin can hold (" +
                                std::to_string(tbin::kMaxField) + ")");
  Json header;
  std::string error;
  if (!tbin::parseHeader(layout.header_region, &header, &error))
    throw std::invalid_argument("tbin header cannot be used: " + error);
  tbin::DeviceType device_type = tbin::deviceTypeText(header);
  if (!device_type.ok)
    throw std::invalid_argument("tbin header cannot be used: " + device_type.error);
  layout.dev_type_text = std::move(device_type.text);
  // Packed, such a header would pass the digest checks and then be refused by every update.
  ImageVersion version = imageVersionOf(header);
  if (!version.error.empty())
    throw std::invalid_argument("tbin header cannot be used: " + version.error);
  layout.fpga_version = std::move(version.declared);

  const std::uint64_t header_end = tbin::kHeaderTextOffset + layout.header_region.size();
  layout.image_start = options.image_start.value_or(header_end);
  if (layout.image_start < header_end)
    throw std::invalid_argument("image start " + std::to_string(layout.image_start) +
                                " lies inside the prefix and header region (bytes 0 to " +
                                std::to_string(header_end - 1) + ")");
  if (layout.image_start > tbin::kMaxField)
    throw std::invalid_argument("image start " + std::to_string(layout.image_start) +
                                " does not fit the 4-byte field (at most " +
                                std::to_string(tbin::kMaxField) + ")");
  layout.gap = layout.image_start - header_end;
  return layout;
}

void requireImageFits(std::uint64_t image_length) {
  if (image_length > tbin::kMaxField)
    throw std::invalid_argument("image of " + std::to_string(image_length) +
                                " bytes is longer than a tbin can hold (" +
                                std::to_string(tbin::kMaxField) + ")");
}

// The 80-byte prefix.
std::string prefix(const Layout& layout, std::uint64_t image_length, const tbin::Digest& header,
                   const tbin::Digest& image) {
  std::string out;
  out.reserve(tbin::kHeaderTextOffset);
  tbin::appendU32(&out, static_cast<std::uint32_t>(layout.header_region.size()));
  tbin::appendU32(&out, static_cast<std::uint32_t>(image_length));
  tbin::appendU32(&out, static_cast<std::uint32_t>(layout.image_start));
  tbin::appendU32(&out, 0);  // reserved
  out.append(reinterpret_cast<const char*>(header.data()), header.size());
  out.append(reinterpret_cast<const char*>(image.data()), image.size());
  return out;
}

// Collects what the checks log.
class RecordingHost final : public ProcessHost {
 public:
  void log(LogLevel level, std::string_view message) override {
    messages.emplace_back(level, std::string(message));
  }
  bool logEnabled(LogLevel) override { return true; }
  void writeStdout(std::string_view, bool) override {}

  std::vector<std::pair<LogLevel, std::string>> messages;
};

}  // namespace

std::string defaultHeaderRegion(std::int64_t dev_type,
                                const std::optional<std::string>& fpga_version) {
  std::string header = "{\"DEV_TYPE\": " + std::to_string(dev_type);
  if (fpga_version) {
    std::string canonical;
    try {
      canonical = Version(*fpga_version).str();
    } catch (const std::invalid_argument&) {
      throw std::invalid_argument(
          "FPGA version must be dotted decimal numbers such as 0.3.0.0, "
          "not '" +
          escapeNonUtf8(*fpga_version) + "'");
    }
    header += ", \"" + std::string(kFpgaVersionKey) + "\": \"" + canonical + "\"";
  }
  return header + "}";
}

std::string packTbin(std::string_view image, const PackOptions& options) {
  const Layout layout = layoutFor(options);
  requireImageFits(image.size());
  const std::string key = makeImageKey(layout.dev_type_text);
  std::string out = prefix(layout, image.size(), crypto::hmacSha256(key, layout.header_region),
                           crypto::hmacSha256(key, image));
  out += layout.header_region;
  out.append(static_cast<std::size_t>(layout.gap), '\0');
  out.append(image);
  return out;
}

PackResult packTbinFile(const std::string& image_path, const std::string& out_path,
                        const PackOptions& options) {
  const Layout layout = layoutFor(options);
  if (!files::isRegularFile(image_path)) {
    if (!files::pathExists(image_path)) throw files::fileError(ENOENT, image_path);
    throw FileError("image is not a regular file: '" + image_path + "'");
  }
  // Writing the container over its own input would destroy the image.
  if (files::sameFile(image_path, out_path))
    throw std::invalid_argument("output '" + out_path + "' is the image file itself");
  if (lowerSuffix(out_path) != kTbinSuffix)
    throw std::invalid_argument("output file name must end in .tbin: '" + out_path + "'");
  requireImageFits(files::fileSize(image_path));
  const files::RandomAccessFile in(image_path);
  files::ReplacingWriter out(out_path);

  // The image digest is known only after the image has streamed through, so the prefix is
  // written once as a placeholder and again at the end.
  const std::string key = makeImageKey(layout.dev_type_text);
  const tbin::Digest header_digest = crypto::hmacSha256(key, layout.header_region);
  out.write(prefix(layout, 0, header_digest, tbin::Digest{}));
  out.write(layout.header_region);
  const std::string zeros(kCopyChunk, '\0');
  for (std::uint64_t left = layout.gap; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
    out.write(std::string_view(zeros).substr(0, n));
    left -= n;
  }
  crypto::Hmac image_mac(key);
  std::uint64_t image_length = 0;
  std::string chunk;
  for (;;) {
    in.readAt(image_length, kCopyChunk, &chunk);
    if (chunk.empty()) break;
    image_length += chunk.size();
    image_mac.update(chunk);
    out.write(chunk);
  }
  out.writeAt(0, prefix(layout, image_length, header_digest, image_mac.digest()));
  out.commit();

  PackResult result;
  result.header_length = static_cast<std::uint32_t>(layout.header_region.size());
  result.image_length = static_cast<std::uint32_t>(image_length);
  result.image_start = static_cast<std::uint32_t>(layout.image_start);
  result.file_size = layout.image_start + image_length;
  result.dev_type_text = layout.dev_type_text;
  result.fpga_version = layout.fpga_version;
  return result;
}

ImageReport inspectImage(const std::string& path, std::optional<std::int64_t> device_type) {
  ImageReport report;
  const std::string suffix = lowerSuffix(path);
  report.kind = suffix == kRawSuffix ? "bin" : suffix == kTbinSuffix ? "tbin" : "";
  RecordingHost host;
  const auto recordError = [&](const std::exception& e) { host.log(LogLevel::ERROR, e.what()); };
  std::optional<tbin::Verification> verification;
  try {
    report.fault = checkImageFile(path, host);
    if (report.fault == ImageFault::kNone)
      report.fault = checkImageHeader(path, host, nullptr, &verification);
    report.failure_kind = failureOf(report.fault);
  } catch (const FileError& e) {
    recordError(e);
    report.failure_kind = Failure::kImageInvalid;
  }
  // A tbin may carry an image of no bytes, whose digest passes: there is nothing to flash, and a
  // read-back of nothing would prove nothing.
  if (report.failure_kind == Failure::kNone && verification && verification->image_length == 0) {
    report.fault = ImageFault::kEmpty;
    report.failure_kind = failureOf(report.fault);
    host.log(LogLevel::ERROR, std::string(messages::kImageEmpty) + path);
  }
  // An image whose declared version cannot be read could not be compared with what a device runs.
  if (report.failure_kind == Failure::kNone && verification &&
      !verification->fpga_version_error.empty()) {
    report.failure_kind = Failure::kImageRejected;
    host.log(LogLevel::ERROR, verification->fpga_version_error);
  }
  if (verification) report.fpga_version = verification->fpga_version;
  if (report.failure_kind == Failure::kNone && verification && device_type) {
    if (const auto mismatch = deviceTypeMismatch(verification->dev_types, *device_type)) {
      host.log(LogLevel::ERROR, *mismatch);
      report.failure_kind = Failure::kImageDeviceType;
    }
  }
  report.passed = report.failure_kind == Failure::kNone;
  report.messages = std::move(host.messages);
  for (const auto& [level, text] : report.messages) {
    if (level == LogLevel::ERROR) {
      report.failure = text;
      break;
    }
  }
  try {
    if (files::isRegularFile(path)) {
      report.file_size = files::fileSize(path);
      // The checks stop early on some failures; only then is the file read again for details.
      if (report.kind == "tbin") {
        if (verification) {
          report.tbin = std::move(verification);
        } else {
          report.tbin = tbin::verifyFile(path);
        }
      }
    }
  } catch (const FileError&) {
    // Already told by the checks above, or the file changed since; the verdict stands.
  }
  return report;
}

}  // namespace kestrix::flash
