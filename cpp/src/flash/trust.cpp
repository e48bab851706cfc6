#include "kestrix/flash/trust.hpp"

#include <string>
#include <utility>
#include <vector>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/signature.hpp"

namespace kestrix::flash {
namespace {

constexpr std::string_view kNoKeyGiven = "not verified: no trusted key given";

// The signature file's bytes, or why there are none.
struct SignatureFile {
  enum class State { kMissing, kUnreadable, kTooLarge, kRead } state = State::kMissing;
  std::string text;
  std::string error;
};

SignatureFile readSignatureFile(const std::string& path) {
  SignatureFile out;
  if (!files::pathExists(path)) return out;
  try {
    const files::RandomAccessFile file(path);
    out.state = SignatureFile::State::kTooLarge;
    if (file.size() > kMaxSignatureBytes) return out;
    // One byte more than a signature holds shows a file that grew since it was measured.
    file.readAt(0, kMaxSignatureBytes + 1, &out.text);
    if (out.text.size() > kMaxSignatureBytes) return out;
    out.state = SignatureFile::State::kRead;
  } catch (const FileError& e) {
    out.state = SignatureFile::State::kUnreadable;
    out.error = e.what();
  }
  return out;
}

// A digest as people compare them at a glance.
std::string digestStart(const std::string& hex) {
  return hex.substr(0, crypto::kShortKeyIdLength) + "...";
}

std::string deviceTypesText(const std::optional<std::vector<std::string>>& types) {
  if (!types) return "-";
  std::string out;
  for (const std::string& t : *types) out += (out.empty() ? "" : ",") + t;
  return out;
}

// Every field in which the signed document and the image differ, as "image-size differs (signed
// 4096, the image has 4097)"; empty when they agree.
std::vector<std::string> differences(const SignatureDocument& doc, const Image& image) {
  std::vector<std::string> found;
  const auto differs = [&](std::string_view field, const std::string& signed_value,
                           const std::string& image_value) {
    found.push_back(std::string(field) + " differs (signed " + signed_value + ", the image has " +
                    image_value + ")");
  };
  if (doc.image_size != image.bytes.size())
    differs("image-size", std::to_string(doc.image_size), std::to_string(image.bytes.size()));
  crypto::Sha256 sha;
  sha.update(image.bytes);
  const std::string digest = sha.hexdigest();
  if (doc.image_sha256 != digest)
    differs("image-sha256", digestStart(doc.image_sha256), digestStart(digest));
  const std::string signed_version = doc.fpga_version.value_or("-");
  if (!image.fpga_version_error.empty()) {
    // No document names a version that cannot be read.
    differs("fpga-version", signed_version, "an FPGA_VER that is not a version");
  } else if (doc.fpga_version != image.fpga_version) {
    differs("fpga-version", signed_version, image.fpga_version.value_or("-"));
  }
  std::optional<std::vector<std::string>> image_types;
  if (image.container) image_types = image.device_types;
  if (doc.device_types != image_types)
    differs("device-types", deviceTypesText(doc.device_types), deviceTypesText(image_types));
  return found;
}

}  // namespace

TrustPolicy TrustPolicy::fromKeyFiles(const std::vector<std::string>& paths) {
  std::vector<crypto::Ed25519PublicKey> keys;
  keys.reserve(paths.size());
  for (const std::string& path : paths) keys.push_back(crypto::Ed25519PublicKey::load(path));
  return TrustPolicy(std::move(keys));
}

const crypto::Ed25519PublicKey* TrustPolicy::find(std::string_view key_id) const {
  for (const crypto::Ed25519PublicKey& key : keys_)
    if (key.keyId() == key_id) return &key;
  return nullptr;
}

std::string_view trustStatusName(TrustStatus status) {
  switch (status) {
    case TrustStatus::kVerified:
      return "verified";
    case TrustStatus::kNotVerified:
      return "not-verified";
    case TrustStatus::kNoSignature:
      return "no-signature";
    case TrustStatus::kUnreadable:
      return "unreadable";
    case TrustStatus::kMalformed:
      return "malformed";
    case TrustStatus::kUntrustedKey:
      return "untrusted-key";
    case TrustStatus::kBadSignature:
      return "bad-signature";
    case TrustStatus::kContentMismatch:
      break;
  }
  return "content-mismatch";
}

TrustVerdict checkImageTrust(const std::string& image_path, const Image& image,
                             const TrustPolicy& policy) {
  TrustVerdict verdict;
  verdict.signature_path = signaturePath(image_path);
  const std::string sig = escapeNonUtf8(verdict.signature_path);
  const bool checking = !policy.empty();
  const auto decide = [&](TrustStatus status, std::string message) {
    verdict.status = status;
    verdict.accepted = !checking || status == TrustStatus::kVerified;
    verdict.message = std::move(message);
    return verdict;
  };
  // Without a trusted key the verdict only describes what is there.
  const std::string unchecked = checking ? "" : " (" + std::string(kNoKeyGiven) + ")";

  const SignatureFile file = readSignatureFile(verdict.signature_path);
  switch (file.state) {
    case SignatureFile::State::kMissing:
      return decide(TrustStatus::kNoSignature,
                    "no signature: " + sig + " does not exist" +
                        (checking ? "" : " (no trusted key given: none is required)"));
    case SignatureFile::State::kUnreadable:
      return decide(TrustStatus::kUnreadable,
                    sig + " cannot be read: " + escapeNonUtf8(file.error) + unchecked);
    case SignatureFile::State::kTooLarge:
      return decide(TrustStatus::kMalformed, sig + " is malformed: larger than " +
                                                 std::to_string(kMaxSignatureBytes) + " bytes" +
                                                 unchecked);
    case SignatureFile::State::kRead:
      break;
  }
  SignatureDocument doc;
  std::string reason;
  if (!parseSignature(file.text, &doc, &reason))
    return decide(TrustStatus::kMalformed, sig + " is malformed: " + reason + unchecked);
  verdict.key_id = doc.key_id;
  const std::string signer = crypto::shortKeyId(doc.key_id);
  if (!checking)
    return decide(TrustStatus::kNotVerified,
                  "signed by " + signer + ", " + std::string(kNoKeyGiven));

  const crypto::Ed25519PublicKey* key = policy.find(doc.key_id);
  if (key == nullptr)
    return decide(TrustStatus::kUntrustedKey,
                  sig + " is signed by " + signer + ", a key that is not trusted");
  const std::string_view signature(reinterpret_cast<const char*>(doc.signature.data()),
                                   doc.signature.size());
  if (!key->verify(signedMessage(doc), signature))
    return decide(TrustStatus::kBadSignature,
                  sig + " does not verify under key " + signer +
                      ": the signature or a field it covers was changed");
  const std::vector<std::string> found = differences(doc, image);
  if (!found.empty()) {
    std::string message = sig + " was signed for other content: ";
    for (std::size_t i = 0; i < found.size(); ++i) message += (i ? "; " : "") + found[i];
    return decide(TrustStatus::kContentMismatch, std::move(message));
  }
  return decide(TrustStatus::kVerified, "signed by " + signer + ", verified");
}

TrustVerdict checkImageFileTrust(const std::string& image_path, const TrustPolicy& policy) {
  return checkImageTrust(image_path, readCheckedImage(image_path), policy);
}

Failure failureOf(const TrustVerdict& verdict) {
  return verdict.accepted ? Failure::kNone : Failure::kImageUntrusted;
}

}  // namespace kestrix::flash
