// The signature document: its exact text, the signed message, and a must-reject table of texts
// the parser refuses with their reasons.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrix/flash/signature.hpp"

namespace kestrix::testing {
namespace {

using flash::parseSignature;
using flash::SignatureDocument;

const std::string kKeyId(64, 'a');
const std::string kSha(64, 'b');

SignatureDocument sampleDocument() {
  SignatureDocument doc;
  doc.key_id = kKeyId;
  doc.image_size = 4096;
  doc.image_sha256 = kSha;
  doc.fpga_version = "0.3.0.0";
  doc.device_types = std::vector<std::string>{"28", "32"};
  doc.signed_at = "2026-01-31T12:00:00Z";
  for (std::size_t i = 0; i < doc.signature.size(); ++i)
    doc.signature[i] = static_cast<unsigned char>(i);
  return doc;
}

const std::string kSignedLines =
    "kestrix-image-signature: 1\n"
    "algorithm: ed25519\n"
    "key-id: " +
    kKeyId +
    "\n"
    "image-size: 4096\n"
    "image-sha256: " +
    kSha +
    "\n"
    "fpga-version: 0.3.0.0\n"
    "device-types: 28,32\n"
    "signed-at: 2026-01-31T12:00:00Z\n";
const std::string kSampleText =
    kSignedLines +
    "signature: 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f\n";

TEST(SignatureDocument, ExactText) {
  EXPECT_EQ(flash::formatSignature(sampleDocument()), kSampleText);
  SignatureDocument parsed;
  std::string error;
  ASSERT_TRUE(parseSignature(kSampleText, &parsed, &error)) << error;
  EXPECT_EQ(parsed, sampleDocument());
}

TEST(SignatureDocument, TheSignedMessageIsTheDomainANulAndTheFirstEightLines) {
  EXPECT_EQ(flash::signedMessage(sampleDocument()),
            std::string("kestrix image signature v1") + '\0' + kSignedLines);
}

TEST(SignatureDocument, FieldsRoundTrip) {
  struct Case {
    std::uint64_t size;
    std::optional<std::string> version;
    std::optional<std::vector<std::string>> types;
    std::string line6;
    std::string line7;
  };
  for (const Case& c : {
           Case{0, std::nullopt, std::nullopt, "fpga-version: -", "device-types: -"},
           Case{UINT64_MAX, "1", std::vector<std::string>{"0"}, "fpga-version: 1",
                "device-types: 0"},
           Case{17, "10.0.200", std::vector<std::string>{"-5", "32", "32", std::string(301, '9')},
                "fpga-version: 10.0.200", "device-types: -5,32,32," + std::string(301, '9')},
       }) {
    SignatureDocument doc = sampleDocument();
    doc.image_size = c.size;
    doc.fpga_version = c.version;
    doc.device_types = c.types;
    const std::string text = flash::formatSignature(doc);
    EXPECT_NE(text.find("\nimage-size: " + std::to_string(c.size) + "\n"), std::string::npos);
    EXPECT_NE(text.find("\n" + c.line6 + "\n" + c.line7 + "\n"), std::string::npos) << text;
    SignatureDocument parsed;
    std::string error;
    ASSERT_TRUE(parseSignature(text, &parsed, &error)) << error;
    EXPECT_EQ(parsed, doc);
  }
}

TEST(SignatureDocument, FormatRefusesWhatCannotBeReadBack) {
  int row = 0;
  const auto refused = [&row](auto change) {
    SCOPED_TRACE(++row);
    SignatureDocument doc = sampleDocument();
    change(doc);
    EXPECT_THROW(flash::formatSignature(doc), std::invalid_argument);
    EXPECT_THROW(flash::signedMessage(doc), std::invalid_argument);
  };
  refused([](SignatureDocument& d) { d.key_id = std::string(64, 'A'); });
  refused([](SignatureDocument& d) { d.image_sha256 = "abc"; });
  refused([](SignatureDocument& d) { d.fpga_version = "0.3 "; });
  refused([](SignatureDocument& d) { d.fpga_version = "-"; });
  refused([](SignatureDocument& d) { d.device_types = std::vector<std::string>{}; });
  refused([](SignatureDocument& d) { d.device_types = std::vector<std::string>{"28,32"}; });
  refused([](SignatureDocument& d) { d.device_types = std::vector<std::string>{"032"}; });
  refused([](SignatureDocument& d) { d.signed_at = "2026-01-31 12:00:00"; });
  refused([](SignatureDocument& d) {
    d.device_types = std::vector<std::string>(2000, "32");  // over the size limit
  });
}

TEST(SignatureDocument, UtcTimestamps) {
  EXPECT_EQ(flash::utcTimestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(flash::utcTimestamp(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(flash::utcTimestamp(1769861999), "2026-01-31T12:19:59Z");
}

struct BadText {
  const char* name;
  std::string text;
  std::string reason;
};

// The sample text with the first `from` replaced by `to`.
std::string with(const std::string& from, const std::string& to) {
  std::string text = kSampleText;
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("not in the sample: " + from);
  return text.replace(at, from.size(), to);
}

// The sample text without its line `number` (1-based).
std::string withoutLine(int number) {
  std::size_t start = 0;
  for (int i = 1; i < number; ++i) start = kSampleText.find('\n', start) + 1;
  const std::size_t end = kSampleText.find('\n', start) + 1;
  return kSampleText.substr(0, start) + kSampleText.substr(end);
}

class SignatureParser : public ::testing::TestWithParam<BadText> {};

TEST_P(SignatureParser, Refuses) {
  SignatureDocument doc;
  std::string error;
  EXPECT_FALSE(parseSignature(GetParam().text, &doc, &error));
  EXPECT_EQ(error, GetParam().reason);
}

const std::string kSignatureLine = kSampleText.substr(kSignedLines.size());

INSTANTIATE_TEST_SUITE_P(
    MustReject, SignatureParser,
    ::testing::Values(
        BadText{"Empty", "", "empty"},
        BadText{"OverTheSizeLimit", kSampleText + std::string(4096, '#'), "larger than 4096 bytes"},
        BadText{"NotUtf8", with("0.3.0.0", "0.3.0.\xff"), "not UTF-8 text"},
        BadText{"CarriageReturn", with("ed25519\n", "ed25519\r\n"),
                "carriage return in line 2 (lines end in a line feed alone)"},
        BadText{"NoFinalLineFeed", kSampleText.substr(0, kSampleText.size() - 1),
                "the last line does not end in a line feed"},
        BadText{"TruncatedAtALine", kSignedLines, "missing key \"signature\""},
        BadText{"MissingKey", withoutLine(3), "missing key \"key-id\""},
        BadText{"Reordered",
                with("algorithm: ed25519\nkey-id: " + kKeyId,
                     "key-id: " + kKeyId + "\nalgorithm: ed25519"),
                "key \"key-id\" in line 2 is out of order: \"algorithm\" comes first"},
        BadText{"Repeated",
                with("algorithm: ed25519\n", "algorithm: ed25519\nalgorithm: ed25519\n"),
                "key \"algorithm\" repeated in line 3"},
        BadText{"UnknownKey", with("algorithm:", "algorithms:"),
                "unknown key \"algorithms\" in line 2"},
        BadText{"KeyInOtherCase", with("algorithm:", "Algorithm:"),
                "unknown key \"Algorithm\" in line 2"},
        BadText{"NoSeparator", with("algorithm: ", "algorithm:"),
                "line 2 is not \"key: value\": \"algorithm:ed25519\""},
        BadText{"ExtraLine", kSampleText + "comment: x\n",
                "extra line 10 after the signature: \"comment: x\""},
        BadText{"BlankLineAtTheEnd", kSampleText + "\n", "extra line 10 after the signature: \"\""},
        BadText{"FormatVersion2", with("signature: 1", "signature: 2"),
                "unsupported signature format version 2"},
        BadText{"FormatVersionText", with("signature: 1", "signature: one"),
                "unsupported signature format version \"one\""},
        BadText{"UnknownAlgorithm", with("ed25519", "rsa-pss"),
                "unsupported signature algorithm \"rsa-pss\""},
        BadText{"ValueWithASpace", with("ed25519", "ed25519 "),
                "unsupported signature algorithm \"ed25519 \""},
        BadText{
            "UpperCaseKeyId", with(kKeyId, std::string(64, 'A')),
            "key-id is not 64 lower-case hexadecimal digits: \"" + std::string(40, 'A') + "\"..."},
        BadText{"ShortDigest", with(kSha, "bb"),
                "image-sha256 is not 64 lower-case hexadecimal digits: \"bb\""},
        BadText{"SizeWithLeadingZero", with("4096", "04096"),
                "image-size is not a decimal number of bytes without leading zeros: \"04096\""},
        BadText{"SizeBeyond64Bits", with("4096", "18446744073709551616"),
                "image-size is not a decimal number of bytes without leading zeros: "
                "\"18446744073709551616\""},
        BadText{"VersionNotCanonical", with("0.3.0.0", "0.03.0.0"),
                "fpga-version is neither a dotted version in canonical form nor \"-\": "
                "\"0.03.0.0\""},
        BadText{"DeviceTypePadded", with("28,32", "028,32"),
                "device-types is neither decimal device types separated by commas nor \"-\": "
                "\"028,32\""},
        BadText{"DeviceTypesEmptyPiece", with("28,32", "28,,32"),
                "device-types is neither decimal device types separated by commas nor \"-\": "
                "\"28,,32\""},
        BadText{"DeviceTypeMinusZero", with("28,32", "-0"),
                "device-types is neither decimal device types separated by commas nor \"-\": "
                "\"-0\""},
        BadText{"NoSuchDay", with("2026-01-31", "2026-02-29"),
                "signed-at is not a UTC time such as 2026-01-31T12:00:00Z: "
                "\"2026-02-29T12:00:00Z\""},
        BadText{"LocalTime", with("12:00:00Z", "12:00:00+01"),
                "signed-at is not a UTC time such as 2026-01-31T12:00:00Z: "
                "\"2026-01-31T12:00:00+01\""},
        BadText{"ShortSignature", with(kSignatureLine, "signature: 00\n"),
                "signature is not 128 lower-case hexadecimal digits: \"00\""},
        BadText{"ControlCharacterShownEscaped", with("algorithm:", std::string("algo\x01rithm:")),
                "unknown key \"algo\\u0001rithm\" in line 2"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrix::testing
