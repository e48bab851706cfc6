// Fuzzes the image signature document. Beyond "no crash, no leak, no undefined behaviour" it
// checks what must hold for any input:
//   - a text the parser accepts formats back to exactly the same bytes, and its signed message is
//     the domain, a NUL and the text up to its signature line;
//   - a text the parser refuses has a reason: one line of UTF-8, a few hundred bytes at most;
//   - a document made from the input's bytes formats into a text that parses back into it.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/contracts/text.hpp"
#include "kestrix/flash/signature.hpp"
#include "require.hpp"

namespace {

namespace flash = kestrix::flash;

// A little over the size limit, so the limit itself is reached; more only slows the search.
constexpr std::size_t kMaxInput = 2 * flash::kMaxSignatureBytes;
// The largest time the format writes: 9999-12-31T23:59:59Z.
constexpr std::uint64_t kLastTime = 253402300799;

// The input's bytes one after another, then zeros.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : data_(data) {}
  std::uint8_t next() {
    if (data_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(data_.front());
    data_.remove_prefix(1);
    return b;
  }
  std::uint64_t number(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | next();
    return value;
  }
  std::string hex(std::size_t bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
      const std::uint8_t b = next();
      out += kDigits[b >> 4];
      out += kDigits[b & 0x0F];
    }
    return out;
  }

 private:
  std::string_view data_;
};

flash::SignatureDocument documentFrom(std::string_view input) {
  Bytes in(input);
  flash::SignatureDocument doc;
  doc.key_id = in.hex(32);
  doc.image_size = in.number(8);
  doc.image_sha256 = in.hex(32);
  if (const int parts = in.next() % 6; parts > 0) {
    std::string version;
    for (int i = 0; i < parts; ++i)
      version += (i ? "." : "") + std::to_string(in.number(in.next() % 2 ? 8 : 1));
    doc.fpga_version = version;
  }
  if (const int count = in.next() % 5; count > 0) {
    doc.device_types.emplace();
    for (int i = 0; i < count; ++i) {
      const auto value = static_cast<std::int64_t>(in.number(8));
      doc.device_types->push_back(std::to_string(value));
    }
  }
  doc.signed_at = flash::utcTimestamp(static_cast<std::time_t>(in.number(5) % (kLastTime + 1)));
  for (unsigned char& b : doc.signature) b = in.next();
  return doc;
}

void fuzzText(std::string_view text) {
  flash::SignatureDocument doc;
  std::string error;
  if (!flash::parseSignature(text, &doc, &error)) {
    REQUIRE(!error.empty() && error.size() <= 512);
    REQUIRE(kestrix::isUtf8(error) && error.find('\n') == std::string::npos);
    return;
  }
  REQUIRE(flash::formatSignature(doc) == text);
  const std::size_t signature_line = text.rfind("\nsignature: ") + 1;
  std::string message(flash::kSignatureDomain);
  message += '\0';
  message += text.substr(0, signature_line);
  REQUIRE(flash::signedMessage(doc) == message);
}

void fuzzDocument(std::string_view input) {
  const flash::SignatureDocument doc = documentFrom(input);
  const std::string text = flash::formatSignature(doc);
  flash::SignatureDocument parsed;
  std::string error;
  REQUIRE(flash::parseSignature(text, &parsed, &error));
  REQUIRE(parsed == doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  fuzzText(input);
  fuzzDocument(input);
  return 0;
}
