// Signing image files and the trust decision: every way an image and its signature can part, as
// the verdict reports it and as the update refuses it before anything reaches the device; and
// keys and signatures crossing over with the openssl command line.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fakes.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/crypto/ed25519.hpp"
#include "kestrix/crypto/hmac.hpp"
#include "kestrix/crypto/sha256.hpp"
#include "kestrix/files/files.hpp"
#include "kestrix/flash/fpga_tool.hpp"
#include "kestrix/flash/image_check.hpp"
#include "kestrix/flash/image_key.hpp"
#include "kestrix/flash/image_pack.hpp"
#include "kestrix/flash/signature.hpp"
#include "kestrix/flash/trust.hpp"
#include "temp_dir.hpp"

namespace kestrix::testing {
namespace {

namespace fs = std::filesystem;

using flash::TrustStatus;
using flash::TrustVerdict;

constexpr const char* kHeader = R"({"DEV_TYPE": 32, "FPGA_VER": "0.3.0.0"})";

std::string imageBytes(std::size_t size, char first = 'x') {
  std::string bytes(size, 'i');
  bytes[0] = first;
  return bytes;
}

void replaceIn(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = files::readWholeFile(path);
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("not in " + path + ": " + from);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text.replace(at, from.size(), to);
}

// The tables' arrangements work on the fixture from outside it: its members are open.
// A tbin whose digests are keyed as the check keys them, under a header the packer refuses.
std::string tbinWithHeader(const std::string& header, const std::string& image) {
  const std::string key = flash::makeImageKey("032");
  std::string file;
  flash::tbin::appendU32(&file, static_cast<std::uint32_t>(header.size()));
  flash::tbin::appendU32(&file, static_cast<std::uint32_t>(image.size()));
  flash::tbin::appendU32(&file, static_cast<std::uint32_t>(80 + header.size()));
  flash::tbin::appendU32(&file, 0);
  for (const crypto::Sha256Digest& digest :
       {crypto::hmacSha256(key, header), crypto::hmacSha256(key, image)})
    file.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  return file + header + image;
}

class Signing : public ::testing::Test {
 public:
  Signing() {
    crypto::Ed25519PrivateKey::generate().save(key_);
    crypto::Ed25519PrivateKey::generate().save(other_key_);
    policy_ = flash::TrustPolicy::fromKeyFiles({key_ + ".pub"});
  }

  std::string raw(const std::string& name, const std::string& bytes) const {
    return dir_.write(name, bytes);
  }
  std::string tbin(const std::string& name, const std::string& bytes,
                   const std::string& header = kHeader) const {
    flash::PackOptions options;
    options.header_region = header;
    return dir_.write(name, flash::packTbin(bytes, options));
  }
  std::string sign(const std::string& image, const std::string& key = {}) const {
    flash::signImageFile(image, key.empty() ? key_ : key);
    return image;
  }
  std::string shortId(const std::string& key) const {
    return crypto::Ed25519PublicKey::load(key + ".pub").shortId();
  }

  TempDir dir_;
  std::string key_ = dir_.path("release.key");
  std::string other_key_ = dir_.path("other.key");
  flash::TrustPolicy policy_;
};

TEST_F(Signing, TheSignatureFileHoldsTheDocumentOfTheBytesAnUpdateProgramsAndNothingElseIsLeft) {
  const std::string image = tbin("fpga.tbin", imageBytes(100));
  const flash::SignatureDocument doc = flash::signImageFile(image, key_);
  EXPECT_EQ(files::readWholeFile(image + ".sig"), flash::formatSignature(doc));
  EXPECT_EQ(doc.key_id, crypto::Ed25519PublicKey::load(key_ + ".pub").keyId());
  EXPECT_EQ(doc.image_size, 100u);
  crypto::Sha256 sha;
  sha.update(imageBytes(100));
  EXPECT_EQ(doc.image_sha256, sha.hexdigest());
  EXPECT_EQ(doc.fpga_version, "0.3.0.0");
  EXPECT_EQ(doc.device_types, std::vector<std::string>{"32"});
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_.dir()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"fpga.tbin", "fpga.tbin.sig", "other.key",
                                             "other.key.pub", "release.key", "release.key.pub"}));
  // Signing again replaces the document.
  dir_.write("fpga.tbin.sig", "old");
  sign(image);
  EXPECT_EQ(files::readWholeFile(image + ".sig").rfind("kestrix-image-signature: 1\n", 0), 0u);
}

TEST_F(Signing, SigningRefusesWhatAnUpdateWouldRefuse) {
  std::string tampered = flash::packTbin(imageBytes(100));
  tampered.back() ^= 0x01;
  const std::string damaged = dir_.write("damaged.tbin", tampered);
  const std::string text = dir_.write("fpga.txt", imageBytes(100));
  const std::string empty_region = tbin("empty.tbin", "");
  const std::string bad_version = dir_.write(
      "version.tbin", tbinWithHeader(R"({"DEV_TYPE": 32, "FPGA_VER": "v3"})", imageBytes(100)));
  struct Case {
    std::string path;
    flash::ImageFault fault;
    std::string message;
  };
  for (const Case& c :
       {Case{damaged, flash::ImageFault::kImageHash, "FPGA tbin image hash mismatch"},
        Case{text, flash::ImageFault::kFileType, "FPGA image file type error: " + text},
        Case{empty_region, flash::ImageFault::kEmpty, "FPGA image is empty: " + empty_region},
        Case{bad_version, flash::ImageFault::kHeaderParse,
             "FPGA_VER in the tbin header is not a dotted decimal version: 'v3'"}}) {
    try {
      flash::signImageFile(c.path, key_);
      ADD_FAILURE() << c.path;
    } catch (const flash::ImageCheckError& e) {
      EXPECT_EQ(e.fault(), c.fault);
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_FALSE(fs::exists(c.path + ".sig"));
  }
  try {
    flash::signImageFile(dir_.path("missing.bin"), key_);
    ADD_FAILURE();
  } catch (const FileError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  const std::string image = raw("fpga.bin", imageBytes(100));
  fs::permissions(key_, fs::perms::group_read, fs::perm_options::add);
  EXPECT_THROW(flash::signImageFile(image, key_), InvalidKeyError);
  EXPECT_THROW(flash::signImageFile(image, key_ + ".pub"), InvalidKeyError);
  EXPECT_FALSE(fs::exists(image + ".sig"));
}

TEST_F(Signing, APolicyNamesTheKeyFileItCannotUse) {
  const std::string garbage = dir_.write("garbage.pub", "not a key\n");
  EXPECT_THROW(flash::TrustPolicy::fromKeyFiles({key_ + ".pub", dir_.path("none.pub")}), FileError);
  for (const std::string& path : {garbage, key_}) {
    try {
      flash::TrustPolicy::fromKeyFiles({path});
      ADD_FAILURE() << path;
    } catch (const InvalidKeyError& e) {
      EXPECT_NE(std::string(e.what()).find("'" + path + "'"), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(flash::TrustPolicy().empty());
  EXPECT_EQ(flash::TrustPolicy::fromKeyFiles({key_ + ".pub", other_key_ + ".pub"}).keys().size(),
            2u);
}

TEST_F(Signing, WithoutATrustedKeyNothingIsRefusedAndTheVerdictSaysWhatIsThere) {
  const std::string image = raw("fpga.bin", imageBytes(64));
  const flash::TrustPolicy none;
  TrustVerdict v = flash::checkImageFileTrust(image, none);
  EXPECT_EQ(v.status, TrustStatus::kNoSignature);
  EXPECT_TRUE(v.accepted);
  EXPECT_EQ(v.message, "no signature: " + image +
                           ".sig does not exist (no trusted key given: none is required)");

  sign(image);
  v = flash::checkImageFileTrust(image, none);
  EXPECT_EQ(v.status, TrustStatus::kNotVerified);
  EXPECT_TRUE(v.accepted);
  EXPECT_FALSE(v.verified());
  EXPECT_EQ(v.key_id, crypto::Ed25519PublicKey::load(key_ + ".pub").keyId());
  EXPECT_EQ(v.message, "signed by " + shortId(key_) + ", not verified: no trusted key given");

  replaceIn(image + ".sig", "ed25519", "rsa");
  v = flash::checkImageFileTrust(image, none);
  EXPECT_EQ(v.status, TrustStatus::kMalformed);
  EXPECT_TRUE(v.accepted);
  EXPECT_EQ(v.message, image +
                           ".sig is malformed: unsupported signature algorithm \"rsa\" (not "
                           "verified: no trusted key given)");
}

// One way of arranging an image and its signature: returns the image path.
struct TrustCase {
  const char* name;
  std::function<std::string(Signing&)> arrange;
  TrustStatus status;
  // The verdict's message with $SIG for the signature's path and $KEY, $OTHER for the short ids
  // of the trusted and the other key; a message ending in "..." is a prefix.
  std::string message;
};

class TrustCases : public Signing, public ::testing::WithParamInterface<TrustCase> {
 protected:
  std::string expected(const std::string& image) const {
    std::string text = GetParam().message;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"$SIG", image + ".sig"},
                                   {"$KEY", shortId(key_)},
                                   {"$OTHER", shortId(other_key_)}}) {
      for (std::size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), to);
    }
    return text;
  }
  void expectMessage(const std::string& message, const std::string& image) const {
    const std::string want = expected(image);
    if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
      EXPECT_EQ(message.substr(0, want.size() - 3), want.substr(0, want.size() - 3));
    } else {
      EXPECT_EQ(message, want);
    }
  }
};

TEST_P(TrustCases, Verdict) {
  const std::string image = GetParam().arrange(*this);
  const TrustVerdict v = flash::checkImageFileTrust(image, policy_);
  EXPECT_EQ(v.status, GetParam().status) << v.message;
  EXPECT_EQ(v.accepted, GetParam().status == TrustStatus::kVerified);
  EXPECT_EQ(v.signature_path, image + ".sig");
  expectMessage(v.message, image);
  EXPECT_EQ(flash::failureOf(v),
            v.accepted ? flash::Failure::kNone : flash::Failure::kImageUntrusted);
}

TEST_P(TrustCases, TheUpdateRefusesBeforeAnythingIsSent) {
  const std::string image = GetParam().arrange(*this);
  auto device = std::make_shared<FakeController>();
  auto host = std::make_shared<FakeHost>();
  flash::FpgaTool tool(device, host);
  tool.set_trust_policy(policy_);
  const RetType ret = tool.processFpgaUpdate(image, 32);
  if (GetParam().status == TrustStatus::kVerified) {
    EXPECT_EQ(ret.code, RetCode::OK);
    EXPECT_FALSE(device->program_blocks.empty());
    EXPECT_TRUE(
        host->logged(LogLevel::INFO, "FPGA image signed by " + shortId(key_) + ", verified"));
    return;
  }
  EXPECT_EQ(ret.code, RetCode::ERROR);
  expectMessage(ret.message, image);
  EXPECT_EQ(host->messages(LogLevel::ERROR), std::vector<std::string>{ret.message});
  EXPECT_TRUE(device->commands.empty()) << device->words();
}

// Repacks `image` (a tbin) around the same image bytes under another header, keeping its
// signature: the digests are remade, as anyone can remake them.
std::string repacked(Signing& s, const std::string& image, const std::string& header) {
  const std::string signature = files::readWholeFile(image + ".sig");
  const std::string path = s.tbin("fpga.tbin", imageBytes(100), header);
  s.dir_.write("fpga.tbin.sig", signature);
  return path;
}

INSTANTIATE_TEST_SUITE_P(
    Images, TrustCases,
    ::testing::Values(
        TrustCase{"SignedRaw", [](Signing& s) { return s.sign(s.raw("fpga.bin", imageBytes(64))); },
                  TrustStatus::kVerified, "signed by $KEY, verified"},
        TrustCase{"SignedTbin",
                  [](Signing& s) { return s.sign(s.tbin("fpga.tbin", imageBytes(100))); },
                  TrustStatus::kVerified, "signed by $KEY, verified"},
        TrustCase{"NoSignature", [](Signing& s) { return s.raw("fpga.bin", imageBytes(64)); },
                  TrustStatus::kNoSignature, "no signature: $SIG does not exist"},
        TrustCase{"OneChangedByteOfARawImage",
                  [](Signing& s) {
                    s.sign(s.raw("fpga.bin", imageBytes(64)));
                    return s.raw("fpga.bin", imageBytes(64, 'y'));
                  },
                  TrustStatus::kContentMismatch,
                  "$SIG was signed for other content: image-sha256 differs (signed ..."},
        TrustCase{"OneChangedByteOfATbinImageRepacked",
                  [](Signing& s) {
                    s.sign(s.tbin("fpga.tbin", imageBytes(100)));
                    return s.tbin("fpga.tbin", imageBytes(100, 'y'));
                  },
                  TrustStatus::kContentMismatch,
                  "$SIG was signed for other content: image-sha256 differs (signed ..."},
        TrustCase{"SignatureMovedToAnotherImage",
                  [](Signing& s) {
                    s.sign(s.raw("a.bin", imageBytes(64)));
                    const std::string other = s.raw("b.bin", imageBytes(48));
                    fs::copy_file(s.dir_.path("a.bin.sig"), other + ".sig");
                    return other;
                  },
                  TrustStatus::kContentMismatch,
                  "$SIG was signed for other content: image-size differs (signed 64, the image "
                  "has 48); image-sha256 differs (signed ..."},
        TrustCase{"HeaderWithAnotherFpgaVersion",
                  [](Signing& s) {
                    const std::string image = s.sign(s.tbin("fpga.tbin", imageBytes(100)));
                    return repacked(s, image, R"({"DEV_TYPE": 32, "FPGA_VER": "0.4.0.0"})");
                  },
                  TrustStatus::kContentMismatch,
                  "$SIG was signed for other content: fpga-version differs (signed 0.3.0.0, the "
                  "image has 0.4.0.0)"},
        TrustCase{"HeaderWithAnotherDeviceType",
                  [](Signing& s) {
                    const std::string image = s.sign(s.tbin("fpga.tbin", imageBytes(100)));
                    return repacked(s, image, R"({"DEV_TYPE": [28, 32], "FPGA_VER": "0.3.0.0"})");
                  },
                  TrustStatus::kContentMismatch,
                  "$SIG was signed for other content: device-types differs (signed 32, the "
                  "image has 28,32)"},
        TrustCase{"RawSignatureOnATbinOfTheSameBytes",
                  [](Signing& s) {
                    s.sign(s.raw("fpga.bin", imageBytes(100)));
                    const std::string image =
                        s.tbin("fpga.tbin", imageBytes(100), "{\"DEV_TYPE\": 32}");
                    fs::copy_file(s.dir_.path("fpga.bin.sig"), image + ".sig");
                    return image;
                  },
                  TrustStatus::kContentMismatch,
                  "$SIG was signed for other content: device-types differs (signed -, the image "
                  "has 32)"},
        TrustCase{
            "AnotherKey",
            [](Signing& s) { return s.sign(s.raw("fpga.bin", imageBytes(64)), s.other_key_); },
            TrustStatus::kUntrustedKey, "$SIG is signed by $OTHER, a key that is not trusted"},
        TrustCase{"AnotherKeyClaimingTheTrustedKeyId",
                  [](Signing& s) {
                    const std::string image =
                        s.sign(s.raw("fpga.bin", imageBytes(64)), s.other_key_);
                    replaceIn(image + ".sig",
                              crypto::Ed25519PublicKey::load(s.other_key_ + ".pub").keyId(),
                              crypto::Ed25519PublicKey::load(s.key_ + ".pub").keyId());
                    return image;
                  },
                  TrustStatus::kBadSignature,
                  "$SIG does not verify under key $KEY: the signature or a field it covers was "
                  "changed"},
        TrustCase{"ASignedFieldEdited",
                  [](Signing& s) {
                    const std::string image = s.sign(s.raw("fpga.bin", imageBytes(64)));
                    replaceIn(image + ".sig", "signed-at: 2", "signed-at: 1");
                    return image;
                  },
                  TrustStatus::kBadSignature,
                  "$SIG does not verify under key $KEY: the signature or a field it covers was "
                  "changed"},
        TrustCase{"TruncatedSignature",
                  [](Signing& s) {
                    const std::string image = s.sign(s.raw("fpga.bin", imageBytes(64)));
                    fs::resize_file(image + ".sig", 200);
                    return image;
                  },
                  TrustStatus::kMalformed,
                  "$SIG is malformed: the last line does not end in a line feed"},
        TrustCase{"OversizedSignature",
                  [](Signing& s) {
                    const std::string image = s.sign(s.raw("fpga.bin", imageBytes(64)));
                    fs::resize_file(image + ".sig", std::uint64_t{1} << 30);
                    return image;
                  },
                  TrustStatus::kMalformed, "$SIG is malformed: larger than 4096 bytes"},
        TrustCase{"UnknownAlgorithm",
                  [](Signing& s) {
                    const std::string image = s.sign(s.raw("fpga.bin", imageBytes(64)));
                    replaceIn(image + ".sig", "algorithm: ed25519", "algorithm: ed448");
                    return image;
                  },
                  TrustStatus::kMalformed,
                  "$SIG is malformed: unsupported signature algorithm \"ed448\""},
        TrustCase{
            "UnknownFormatVersion",
            [](Signing& s) {
              const std::string image = s.sign(s.raw("fpga.bin", imageBytes(64)));
              replaceIn(image + ".sig", "kestrix-image-signature: 1", "kestrix-image-signature: 2");
              return image;
            },
            TrustStatus::kMalformed, "$SIG is malformed: unsupported signature format version 2"},
        TrustCase{"SignatureIsAFolder",
                  [](Signing& s) {
                    const std::string image = s.raw("fpga.bin", imageBytes(64));
                    fs::create_directory(image + ".sig");
                    return image;
                  },
                  TrustStatus::kUnreadable,
                  "$SIG cannot be read: [Errno 21] Is a directory: '$SIG'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Signing, AnEmptyPolicyUpdatesExactlyAsBeforeWhateverLiesBesideTheImage) {
  const std::string image = raw("fpga.bin", imageBytes(64));
  const auto run = [&](bool with_policy) {
    auto device = std::make_shared<FakeController>();
    auto host = std::make_shared<FakeHost>();
    flash::FpgaTool tool(device, host);
    if (with_policy) tool.set_trust_policy(flash::TrustPolicy());
    EXPECT_EQ(tool.processFpgaUpdate(image, 32).code, RetCode::OK);
    return std::make_pair(device->commands, host->logs);
  };
  const auto before = run(false);
  dir_.write("fpga.bin.sig", "not a signature");
  EXPECT_EQ(run(true), before);
}

// The openssl command line, for the tests that cross over with it.
bool haveOpenssl() {
  return std::system("command -v openssl >/dev/null 2>&1") == 0;
}

// Runs a shell command; its exit status and what it wrote to standard output and error.
std::pair<int, std::string> shell(const std::string& command) {
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  const int status = pclose(pipe.release());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST_F(Signing, KeysFromTheOpensslCommandLineSignAndVerify) {
  if (!haveOpenssl()) GTEST_SKIP() << "no openssl on PATH";
  const std::string key = dir_.path("openssl.pem");
  ASSERT_EQ(shell("openssl genpkey -algorithm ed25519 -out '" + key + "'").first, 0);
  ASSERT_EQ(shell("openssl pkey -in '" + key + "' -pubout -out '" + key + ".pub'").first, 0);
  EXPECT_EQ(crypto::Ed25519PrivateKey::load(key).publicKey(),
            crypto::Ed25519PublicKey::load(key + ".pub"));

  const std::string image = sign(tbin("fpga.tbin", imageBytes(100)), key);
  const TrustVerdict v = flash::checkImageFileTrust(
      image, flash::TrustPolicy::fromKeyFiles({key + ".pub", key_ + ".pub"}));
  EXPECT_EQ(v.status, TrustStatus::kVerified) << v.message;
}

TEST_F(Signing, OpensslVerifiesOurSignatureOverTheDocumentsFirstEightLines) {
  if (!haveOpenssl()) GTEST_SKIP() << "no openssl on PATH";
  // Our key files are what openssl reads and writes.
  const auto pubout = shell("openssl pkey -in '" + key_ + "' -pubout");
  ASSERT_EQ(pubout.first, 0) << pubout.second;
  EXPECT_EQ(pubout.second, files::readWholeFile(key_ + ".pub"));

  const std::string image = sign(raw("fpga.bin", imageBytes(64)));
  // The message as a verifier puts it together from the file alone.
  const std::string text = files::readWholeFile(image + ".sig");
  const std::size_t signature_line = text.find("signature: ", text.find("signed-at: "));
  std::string message = std::string("kestrix image signature v1") + '\0';
  message += text.substr(0, signature_line);
  flash::SignatureDocument doc;
  std::string error;
  ASSERT_TRUE(flash::parseSignature(text, &doc, &error)) << error;
  const std::string message_path = dir_.write("message", message);
  const std::string signature_path =
      dir_.write("signature", std::string(reinterpret_cast<const char*>(doc.signature.data()), 64));
  const std::string verify = "openssl pkeyutl -verify -pubin -inkey '" + key_ +
                             ".pub' -rawin -in '" + message_path + "' -sigfile '" + signature_path +
                             "'";
  const auto good = shell(verify);
  EXPECT_EQ(good.first, 0) << good.second;
  EXPECT_NE(good.second.find("Signature Verified Successfully"), std::string::npos);

  message.back() = 'X';
  dir_.write("message", message);
  EXPECT_NE(shell(verify).first, 0);
}

}  // namespace
}  // namespace kestrix::testing
