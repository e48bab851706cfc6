// The detached signature of an image: IMAGE.sig beside IMAGE, a small UTF-8 text of exactly these
// lines, in this order, each ended by LF:
//
//   kestrix-image-signature: 1
//   algorithm: ed25519
//   key-id: <64 lower-case hex: SHA-256 of the raw public key>
//   image-size: <decimal, no leading zeros>
//   image-sha256: <64 lower-case hex>
//   fpga-version: <canonical dotted version, or "-" when the image declares none>
//   device-types: <the tbin header's device types in decimal, comma-separated, or "-" for a raw
//                  image>
//   signed-at: <UTC, YYYY-MM-DDTHH:MM:SSZ>
//   signature: <128 lower-case hex: the Ed25519 signature>
//
// The size and digest are those of the bytes an update programs (a raw image whole, a tbin's image
// region); the version and device types are the header facts that gate an update. The tbin
// digests are keyed with a constant every copy of the tool holds, so anyone can edit a header and
// remake them; the signature binds those facts to a key instead.
//
// The signed message is kSignatureDomain, a NUL byte, then the first eight lines exactly as
// written: `openssl pkeyutl -verify -rawin` checks it with the public key.
//
// Formatting and parsing are pure. The parser accepts only what the formatter writes, so a parsed
// document formats back to the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/crypto/ed25519.hpp"
#include "kestrix/flash/image.hpp"

namespace kestrix::flash {

inline constexpr std::string_view kSignatureSuffix = ".sig";
// A signature is about 500 bytes; a larger file is refused before it is read whole.
inline constexpr std::size_t kMaxSignatureBytes = 4096;
inline constexpr std::string_view kSignatureFormatVersion = "1";
inline constexpr std::string_view kSignatureAlgorithm = "ed25519";
// Separates these messages from anything else a key may sign.
inline constexpr std::string_view kSignatureDomain = "kestrix image signature v1";

// The keys of the document's lines, in order.
inline constexpr std::array<std::string_view, 9> kSignatureKeys = {"kestrix-image-signature",
                                                                   "algorithm",
                                                                   "key-id",
                                                                   "image-size",
                                                                   "image-sha256",
                                                                   "fpga-version",
                                                                   "device-types",
                                                                   "signed-at",
                                                                   "signature"};

struct SignatureDocument {
  std::string key_id;  // 64 lower-case hex digits
  std::uint64_t image_size = 0;
  std::string image_sha256;  // 64 lower-case hex digits
  // Canonical dotted form; none when the image declares no version ("-").
  std::optional<std::string> fpga_version;
  // Canonical decimal texts, at least one; none for a raw image ("-").
  std::optional<std::vector<std::string>> device_types;
  std::string signed_at;  // "2026-01-31T12:00:00Z"
  crypto::Ed25519Signature signature{};
};

bool operator==(const SignatureDocument& a, const SignatureDocument& b);
inline bool operator!=(const SignatureDocument& a, const SignatureDocument& b) {
  return !(a == b);
}

// Where the signature of `image_path` lies: the image path followed by ".sig".
std::string signaturePath(const std::string& image_path);

// "2026-01-31T12:00:00Z" for `time`.
std::string utcTimestamp(std::time_t time);

// The document's text. Throws std::invalid_argument for a field the format cannot hold (the
// parser's rules, the size limit included): what it writes, parseSignature accepts.
std::string formatSignature(const SignatureDocument& doc);
// The bytes the signature is made over: kSignatureDomain, NUL, the first eight lines. Throws as
// formatSignature does.
std::string signedMessage(const SignatureDocument& doc);

// Reads a document; false with `error` set to the reason (UTF-8, one line, no longer than a few
// hundred bytes) for anything formatSignature would not have written. Linear in the text's size.
bool parseSignature(std::string_view text, SignatureDocument* doc, std::string* error);

// The signed document of `image` as an update programs it (see image_check.hpp's
// readCheckedImage), made with `key` at `signed_at`. Throws std::invalid_argument for an image
// whose facts the format cannot hold (a tbin naming no device type).
SignatureDocument signImage(const Image& image, const crypto::Ed25519PrivateKey& key,
                            const std::string& signed_at);

// Signs the image file: loads the private key (Ed25519PrivateKey::load), reads the image once
// through the update's checks (readCheckedImage), and writes the document to signaturePath(image)
// only once complete (a temporary file in the same folder, then renamed). Returns the document.
// Throws InvalidKeyError, ImageCheckError, FileError, std::invalid_argument.
SignatureDocument signImageFile(const std::string& image_path, const std::string& key_path);

}  // namespace kestrix::flash
