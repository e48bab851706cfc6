#include "kestrix/crypto/ed25519.hpp"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/text.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/files/files.hpp"

namespace kestrix::crypto {
namespace {

using files::fileError;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, so a failing close (a full disk that NFS reports late) is seen.
  void close(const std::string& path) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw fileError(errno, path);
  }

 private:
  int fd_;
};

// A file this process just created, removed again unless kept.
class CreatedFile {
 public:
  explicit CreatedFile(std::string path) : path_(std::move(path)) {}
  ~CreatedFile() {
    if (!kept_) ::unlink(path_.c_str());
  }
  CreatedFile(const CreatedFile&) = delete;
  CreatedFile& operator=(const CreatedFile&) = delete;
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// Text that held a private key is wiped before its memory is given back.
struct WipedText {
  WipedText() = default;
  explicit WipedText(std::string t) : text(std::move(t)) {}
  WipedText(WipedText&&) = default;
  WipedText& operator=(WipedText&&) = delete;

  std::string text;
  ~WipedText() { OPENSSL_cleanse(text.data(), text.size()); }
};

[[noreturn]] void openSslFailed(const char* what) {
  ERR_clear_error();
  throw std::runtime_error(std::string("Ed25519: ") + what + " failed");
}

// EVP wants a readable pointer even for empty input.
const unsigned char* bytesOf(std::string_view s) {
  static const unsigned char kNone = 0;
  return s.empty() ? &kNone : reinterpret_cast<const unsigned char*>(s.data());
}

std::string quotedName(const std::string& name) {
  return "'" + escapeNonUtf8(name) + "'";
}

void requirePath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw FileError("embedded null byte in path");
}

// A key file's content and its permission bits.
struct KeyFile {
  WipedText content;
  mode_t mode = 0;
};

// Reads a key file, refused unread when it is not a regular file or too large.
KeyFile readKeyFile(const std::string& path) {
  requirePath(path);
  // Non-blocking: a FIFO planted under the name must not hang the open.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) throw fileError(errno, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw fileError(errno, path);
  if (S_ISDIR(st.st_mode)) throw fileError(EISDIR, path);
  if (!S_ISREG(st.st_mode)) throw FileError("not a regular file: " + quotedName(path), 0, path);
  const auto tooLarge = [&] {
    return FileError("key file " + quotedName(path) + " is larger than " +
                         std::to_string(kMaxKeyFileBytes) + " bytes: it holds no single key",
                     0, path);
  };
  if (static_cast<std::uint64_t>(st.st_size) > kMaxKeyFileBytes) throw tooLarge();
  KeyFile file;
  file.mode = st.st_mode;
  std::string& text = file.content.text;
  text.resize(kMaxKeyFileBytes + 1);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fileError(errno, path);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  // The file grew after it was measured.
  if (done > kMaxKeyFileBytes) throw tooLarge();
  text.resize(done);
  return file;
}

// A private key that group or others can access is refused as ssh refuses it: whoever else can
// read it can sign as its owner.
void requirePrivateMode(mode_t mode, const std::string& path) {
  if ((mode & 077) == 0) return;
  char bits[8];
  std::snprintf(bits, sizeof bits, "%04o", static_cast<unsigned>(mode & 07777));
  const char* rule = (mode & 044) != 0 ? "readable" : "accessible";
  throw InvalidKeyError(std::string("permissions ") + bits + " for " + quotedName(path) +
                        " are too open; it must not be " + rule + " by group or others");
}

Bio memoryBio(std::string_view text) {
  Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) throw std::bad_alloc();
  return bio;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

// Never asks for a passphrase: an encrypted key fails to load instead of prompting.
int noPassphrase(char*, int, int, void*) {
  return -1;
}

// The key's algorithm as OpenSSL names it ("RSA", "EC", "ED448").
std::string algorithmOf(const EVP_PKEY* key) {
  const char* name = EVP_PKEY_get0_type_name(key);
  return name != nullptr ? name : "unknown";
}

void requireEd25519(const EVP_PKEY* key, const std::string& name, const char* what) {
  if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519)
    throw InvalidKeyError(quotedName(name) + " is not an Ed25519 " + what + " (it is " +
                          algorithmOf(key) + ")");
}

Pkey rawPublicKey(const Ed25519PublicKey::Raw& raw) {
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
  if (!key) openSslFailed("making a public key");
  return key;
}

// Creates `path` exclusively (never through a link), with `mode` before the umask.
int createExclusive(const std::string& path, mode_t mode) {
  requirePath(path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) throw fileError(errno, path);
  return fd;
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fileError(errno, path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd) != 0) throw fileError(errno, path);
}

}  // namespace

std::string shortKeyId(std::string_view key_id) {
  return std::string(key_id.substr(0, kShortKeyIdLength));
}

// --- public key ----------------------------------------------------------------------------------

Ed25519PublicKey Ed25519PublicKey::load(const std::string& path) {
  return fromPem(readKeyFile(path).content.text, path);
}

Ed25519PublicKey Ed25519PublicKey::fromPem(std::string_view pem, const std::string& name) {
  const Bio bio = memoryBio(pem);
  Pkey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, noPassphrase, nullptr));
  if (!key) {
    ERR_clear_error();
    // A private key where a public one belongs is a common slip; say so.
    const bool private_key = pem.find("PRIVATE KEY-----") != std::string_view::npos;
    throw InvalidKeyError(quotedName(name) + (private_key
                                                  ? " holds a private key: give its public key"
                                                  : " holds no PEM public key"));
  }
  requireEd25519(key.get(), name, "public key");
  Raw raw{};
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), raw.data(), &size) != 1 || size != raw.size())
    openSslFailed("reading a public key");
  return Ed25519PublicKey(raw);
}

std::string Ed25519PublicKey::keyId() const {
  Sha256 sha;
  sha.update(std::string_view(reinterpret_cast<const char*>(raw_.data()), raw_.size()));
  return sha.hexdigest();
}

std::string Ed25519PublicKey::pem() const {
  const Pkey key = rawPublicKey(raw_);
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio) throw std::bad_alloc();
  if (PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) openSslFailed("writing a public key");
  return bioText(bio.get());
}

bool Ed25519PublicKey::verify(std::string_view message, std::string_view signature) const {
  if (signature.size() != kEd25519SignatureSize) return false;
  const Pkey key = rawPublicKey(raw_);
  const MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  // Ed25519 hashes the message itself: no digest is named.
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    openSslFailed("starting a verification");
  const int ok = EVP_DigestVerify(ctx.get(), bytesOf(signature), signature.size(), bytesOf(message),
                                  message.size());
  if (ok != 1) ERR_clear_error();
  return ok == 1;
}

// --- private key ---------------------------------------------------------------------------------

void Ed25519PrivateKey::KeyFree::operator()(evp_pkey_st* key) const {
  EVP_PKEY_free(key);
}

Ed25519PrivateKey Ed25519PrivateKey::generate() {
  const PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  if (!ctx) openSslFailed("making a key context");
  if (EVP_PKEY_keygen_init(ctx.get()) != 1) openSslFailed("starting key generation");
  EVP_PKEY* made = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &made) != 1) openSslFailed("key generation");
  return Ed25519PrivateKey(std::unique_ptr<evp_pkey_st, KeyFree>(made));
}

Ed25519PrivateKey Ed25519PrivateKey::load(const std::string& path) {
  const KeyFile file = readKeyFile(path);
  // What the file is comes first: a public key given by mistake is not a private key too open.
  Ed25519PrivateKey key = fromPem(file.content.text, path);
  requirePrivateMode(file.mode, path);
  return key;
}

Ed25519PrivateKey Ed25519PrivateKey::fromPem(std::string_view pem, const std::string& name) {
  const Bio bio = memoryBio(pem);
  std::unique_ptr<evp_pkey_st, KeyFree> key(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
  if (!key) {
    ERR_clear_error();
    const char* what = " holds no PEM private key";
    if (pem.find("ENCRYPTED") != std::string_view::npos) {
      what = " is encrypted: give a key without a passphrase";
    } else if (pem.find("PUBLIC KEY-----") != std::string_view::npos) {
      what = " holds a public key: give the private key";
    }
    throw InvalidKeyError(quotedName(name) + what);
  }
  requireEd25519(key.get(), name, "private key");
  return Ed25519PrivateKey(std::move(key));
}

void Ed25519PrivateKey::save(const std::string& path) const {
  const std::string public_path = path + ".pub";
  const WipedText private_pem{pem()};
  const std::string public_pem = publicKey().pem();

  Fd private_fd(createExclusive(path, 0600));
  CreatedFile private_file(path);
  Fd public_fd(createExclusive(public_path, 0644));
  CreatedFile public_file(public_path);
  // Exactly 0600, whatever the umask would have left.
  if (::fchmod(private_fd.get(), 0600) != 0) throw fileError(errno, path);
  writeAll(private_fd.get(), private_pem.text, path);
  writeAll(public_fd.get(), public_pem, public_path);
  private_fd.close(path);
  public_fd.close(public_path);
  private_file.keep();
  public_file.keep();
}

Ed25519PublicKey Ed25519PrivateKey::publicKey() const {
  Ed25519PublicKey::Raw raw{};
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), raw.data(), &size) != 1 || size != raw.size())
    openSslFailed("reading the public key");
  return Ed25519PublicKey(raw);
}

std::string Ed25519PrivateKey::pem() const {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio) throw std::bad_alloc();
  if (PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    openSslFailed("writing a private key");
  return bioText(bio.get());
}

Ed25519Signature Ed25519PrivateKey::sign(std::string_view message) const {
  const MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1)
    openSslFailed("starting a signature");
  Ed25519Signature signature{};
  std::size_t size = signature.size();
  if (EVP_DigestSign(ctx.get(), signature.data(), &size, bytesOf(message), message.size()) != 1 ||
      size != signature.size())
    openSslFailed("signing");
  return signature;
}

}  // namespace kestrix::crypto
