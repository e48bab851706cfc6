#include "kestrix/crypto/sha256.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace kestrix::crypto {
namespace {

EVP_MD_CTX* ctx(void* p) {
  return static_cast<EVP_MD_CTX*>(p);
}

void check(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("SHA-256: ") + what + " failed");
}

}  // namespace

void Sha256::CtxFree::operator()(void* p) const {
  EVP_MD_CTX_free(ctx(p));
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_) throw std::bad_alloc();
  check(EVP_DigestInit_ex(ctx(ctx_.get()), EVP_sha256(), nullptr), "init");
}

void Sha256::update(std::string_view bytes) {
  if (bytes.empty()) return;
  check(EVP_DigestUpdate(ctx(ctx_.get()), bytes.data(), bytes.size()), "update");
}

Sha256Digest Sha256::digest() {
  Sha256Digest out{};
  unsigned int size = 0;
  check(EVP_DigestFinal_ex(ctx(ctx_.get()), out.data(), &size), "final");
  return out;
}

std::string Sha256::hexdigest() {
  const Sha256Digest d = digest();
  return toHex(d.data(), d.size());
}

std::string toHex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return out;
}

}  // namespace kestrix::crypto
