// HMAC-SHA256 (RFC 2104) over OpenSSL's EVP MAC interface, whole or fed in pieces.
#pragma once

#include <memory>
#include <string_view>

#include "kestrix/crypto/sha256.hpp"

namespace kestrix::crypto {

class Hmac {
 public:
  explicit Hmac(std::string_view key);
  void update(std::string_view bytes);
  // The digest of everything fed so far; the state is finished afterwards.
  Sha256Digest digest();

 private:
  struct CtxFree {
    void operator()(void* ctx) const;
  };
  std::unique_ptr<void, CtxFree> ctx_;
};

Sha256Digest hmacSha256(std::string_view key, std::string_view message);

// Constant-time comparison of a stored digest (possibly cut short, e.g. by a file's end) with a
// computed one; a stored digest of the wrong length never matches.
bool digestMatches(std::string_view stored, const Sha256Digest& computed);

}  // namespace kestrix::crypto
