#include "kestrix/crypto/hmac.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace kestrix::crypto {
namespace {

struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};

// Fetched once: the algorithm lookup costs more than hashing a small header.
EVP_MAC* hmacAlgorithm() {
  static const std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) throw std::runtime_error("HMAC-SHA256: OpenSSL has no HMAC");
  return mac.get();
}

EVP_MAC_CTX* macCtx(void* p) {
  return static_cast<EVP_MAC_CTX*>(p);
}

void check(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("HMAC-SHA256: ") + what + " failed");
}

// EVP wants a readable pointer even for empty input.
const unsigned char* bytesOf(std::string_view s) {
  static const unsigned char kNone = 0;
  return s.empty() ? &kNone : reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

void Hmac::CtxFree::operator()(void* p) const {
  EVP_MAC_CTX_free(macCtx(p));
}

Hmac::Hmac(std::string_view key) : ctx_(EVP_MAC_CTX_new(hmacAlgorithm())) {
  if (!ctx_) throw std::bad_alloc();
  char digest_name[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
      OSSL_PARAM_construct_end()};
  check(EVP_MAC_init(macCtx(ctx_.get()), bytesOf(key), key.size(), params), "init");
}

void Hmac::update(std::string_view bytes) {
  if (bytes.empty()) return;
  check(EVP_MAC_update(macCtx(ctx_.get()), bytesOf(bytes), bytes.size()), "update");
}

Sha256Digest Hmac::digest() {
  Sha256Digest out{};
  std::size_t size = 0;
  check(EVP_MAC_final(macCtx(ctx_.get()), out.data(), &size, out.size()), "final");
  if (size != out.size()) throw std::runtime_error("HMAC-SHA256: unexpected digest size");
  return out;
}

Sha256Digest hmacSha256(std::string_view key, std::string_view message) {
  Hmac mac(key);
  mac.update(message);
  return mac.digest();
}

bool digestMatches(std::string_view stored, const Sha256Digest& computed) {
  return stored.size() == computed.size() &&
         CRYPTO_memcmp(stored.data(), computed.data(), computed.size()) == 0;
}

}  // namespace kestrix::crypto
