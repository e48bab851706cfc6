// Incremental SHA-256 over OpenSSL's EVP interface.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

namespace kestrix::crypto {

inline constexpr std::size_t kSha256Size = 32;
using Sha256Digest = std::array<unsigned char, kSha256Size>;

class Sha256 {
 public:
  Sha256();
  void update(std::string_view bytes);
  // The digest of everything fed so far; the state is left finished (make a new one to go on).
  Sha256Digest digest();
  // Lower-case hexadecimal text of digest(), 64 characters.
  std::string hexdigest();

 private:
  struct CtxFree {
    void operator()(void* ctx) const;
  };
  std::unique_ptr<void, CtxFree> ctx_;
};

std::string toHex(const unsigned char* bytes, std::size_t size);

}  // namespace kestrix::crypto
