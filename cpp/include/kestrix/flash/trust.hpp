// Whose images an update programs: a trust policy of Ed25519 public keys, and the one decision
// every caller (the tool, jobs, fleets, the command line) asks for.
//
// With at least one trusted key, an image is accepted only with a signature file (signature.hpp)
// whose signature verifies under one of the keys and whose size, SHA-256, FPGA version and device
// types are those of the image as the update programs it. With none, nothing is refused; the
// verdict still says whether the image carries a signature, and by which key.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrix/crypto/ed25519.hpp"
#include "kestrix/flash/failure.hpp"
#include "kestrix/flash/image.hpp"

namespace kestrix::flash {

class TrustPolicy {
 public:
  // Trusts no key: nothing is checked, nothing refused.
  TrustPolicy() = default;
  explicit TrustPolicy(std::vector<crypto::Ed25519PublicKey> keys) : keys_(std::move(keys)) {}

  // The public keys in the PEM files at `paths`. Throws FileError for a file that cannot be read
  // and InvalidKeyError for one that holds no Ed25519 public key, both naming the path.
  static TrustPolicy fromKeyFiles(const std::vector<std::string>& paths);

  bool empty() const { return keys_.empty(); }
  const std::vector<crypto::Ed25519PublicKey>& keys() const { return keys_; }
  // The trusted key whose id is `key_id`, or null.
  const crypto::Ed25519PublicKey* find(std::string_view key_id) const;

 private:
  std::vector<crypto::Ed25519PublicKey> keys_;
};

// What the signature check found; callers branch on this, people read the message.
enum class TrustStatus {
  kVerified,         // signed by a trusted key, for exactly this image
  kNotVerified,      // a signature that parses, and no trusted key to check it with
  kNoSignature,      // no IMAGE.sig
  kUnreadable,       // IMAGE.sig exists but cannot be read
  kMalformed,        // IMAGE.sig is not a signature document
  kUntrustedKey,     // signed by a key the policy does not hold
  kBadSignature,     // the signature does not verify under the key it names
  kContentMismatch,  // a valid signature for other bytes or other header facts
};

// "verified", "not-verified", "no-signature", "unreadable", "malformed", "untrusted-key",
// "bad-signature", "content-mismatch": stable, for scripts and records.
std::string_view trustStatusName(TrustStatus status);

struct TrustVerdict {
  TrustStatus status = TrustStatus::kNoSignature;
  // Whether an update may program the image: always with an empty policy, otherwise only when
  // verified.
  bool accepted = false;
  std::string signature_path;
  // The full id of the key the signature names, when it could be read.
  std::optional<std::string> key_id;
  // For people: "no signature: fpga.tbin.sig does not exist", "signed by 1a2b3c4d5e6f7a8b, not
  // verified: no trusted key given", ...
  std::string message;

  bool verified() const { return status == TrustStatus::kVerified; }
};

// The decision for the image at `image_path` as `image` holds it (read once by the update, so a
// file replaced after the checks cannot pass). Reads only IMAGE.sig (a file larger than
// kMaxSignatureBytes is refused unread). Never throws for the signature file's state or content.
TrustVerdict checkImageTrust(const std::string& image_path, const Image& image,
                             const TrustPolicy& policy);

// The same for an image file not yet read: readCheckedImage, then checkImageTrust. Throws as
// readCheckedImage does.
TrustVerdict checkImageFileTrust(const std::string& image_path, const TrustPolicy& policy);

// kNone for an accepted image, kImageUntrusted otherwise.
Failure failureOf(const TrustVerdict& verdict);

}  // namespace kestrix::flash
