// Ed25519 keys over OpenSSL's EVP_PKEY interface: made, written and read as PEM (PKCS#8 for the
// private key, SubjectPublicKeyInfo for the public one, as `openssl genpkey -algorithm ed25519`
// and `openssl pkey -pubout` write them), signing and verifying whole messages.
//
// A key is known by its id: the lower-case hexadecimal SHA-256 of the raw 32-byte public key; its
// first kShortKeyIdLength digits are the short form people read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

struct evp_pkey_st;

namespace kestrix::crypto {

inline constexpr std::size_t kEd25519PublicKeySize = 32;
inline constexpr std::size_t kEd25519SignatureSize = 64;
inline constexpr std::size_t kKeyIdLength = 64;
inline constexpr std::size_t kShortKeyIdLength = 16;
// A PEM Ed25519 key is about 120 bytes; a larger key file is refused unread.
inline constexpr std::uint64_t kMaxKeyFileBytes = 16 * 1024;

using Ed25519Signature = std::array<unsigned char, kEd25519SignatureSize>;

// The first kShortKeyIdLength digits of a key id.
std::string shortKeyId(std::string_view key_id);

// A public key: a plain value, copied freely.
class Ed25519PublicKey {
 public:
  using Raw = std::array<unsigned char, kEd25519PublicKeySize>;

  explicit Ed25519PublicKey(const Raw& raw) : raw_(raw) {}

  // Reads a SubjectPublicKeyInfo PEM file. Throws FileError when the file cannot be read (or is
  // larger than kMaxKeyFileBytes), InvalidKeyError when it holds no Ed25519 public key; both name
  // the path.
  static Ed25519PublicKey load(const std::string& path);
  // The same from PEM text; `name` says where it came from in messages.
  static Ed25519PublicKey fromPem(std::string_view pem, const std::string& name);

  const Raw& raw() const { return raw_; }
  std::string keyId() const;
  std::string shortId() const { return shortKeyId(keyId()); }
  std::string pem() const;
  // Whether `signature` is this key's Ed25519 signature of `message`; false for a signature of
  // any other length.
  bool verify(std::string_view message, std::string_view signature) const;

  friend bool operator==(const Ed25519PublicKey& a, const Ed25519PublicKey& b) {
    return a.raw_ == b.raw_;
  }

 private:
  Raw raw_;
};

// A private key: held by OpenSSL (which wipes it when freed), moved, never copied.
class Ed25519PrivateKey {
 public:
  // A new key from OpenSSL's random generator.
  static Ed25519PrivateKey generate();
  // Reads a PKCS#8 PEM file (unencrypted). Refuses a file that group or others can access, as ssh
  // does ("permissions 0644 for 'KEY' are too open; ..."), and any key that is not Ed25519: both
  // InvalidKeyError. Throws FileError when the file cannot be read or is larger than
  // kMaxKeyFileBytes.
  static Ed25519PrivateKey load(const std::string& path);
  // The same from PEM text, without the file's permission check.
  static Ed25519PrivateKey fromPem(std::string_view pem, const std::string& name);

  // Writes the private key to `path` (PKCS#8 PEM, mode 0600) and the public key to `path`.pub
  // (SubjectPublicKeyInfo PEM). Neither may exist: both are created exclusively, and nothing is
  // left behind when either fails. Throws FileError ("[Errno 17] File exists: 'KEY'").
  void save(const std::string& path) const;

  Ed25519PublicKey publicKey() const;
  std::string pem() const;
  Ed25519Signature sign(std::string_view message) const;

 private:
  struct KeyFree {
    void operator()(evp_pkey_st* key) const;
  };
  explicit Ed25519PrivateKey(std::unique_ptr<evp_pkey_st, KeyFree> key) : key_(std::move(key)) {}

  std::unique_ptr<evp_pkey_st, KeyFree> key_;
};

}  // namespace kestrix::crypto
