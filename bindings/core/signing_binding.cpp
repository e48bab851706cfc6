// Image signing for Python: key pairs, signatures and the trust verdict, each decided in the core;
// here only the values are converted. Files are read and written with the GIL released.
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "common/py_contracts.hpp"
#include "common/py_runtime.hpp"
#include "core_bindings.hpp"
#include "kestrix/crypto/ed25519.hpp"
#include "kestrix/flash/signature.hpp"
#include "kestrix/flash/trust.hpp"

namespace kestrix::py {

namespace pyb = pybind11;

namespace {

template <typename T>
pyb::object optional(const std::optional<T>& value) {
  return value ? pyb::cast(*value) : pyb::none();
}

pyb::dict generateKey(const pyb::object& path_object) {
  const std::string path = pathBytes(path_object);
  const std::string key_id = withoutGil([&] {
    const crypto::Ed25519PrivateKey key = crypto::Ed25519PrivateKey::generate();
    key.save(path);
    return key.publicKey().keyId();
  });
  pyb::dict out;
  out["key_id"] = key_id;
  out["short_key_id"] = crypto::shortKeyId(key_id);
  out["private_key"] = pathObject(path);
  out["public_key"] = pathObject(path + ".pub");
  return out;
}

pyb::dict signImage(const pyb::object& image_object, const pyb::object& key_object) {
  const std::string image_path = pathBytes(image_object);
  const std::string key_path = pathBytes(key_object);
  const flash::SignatureDocument doc =
      withoutGil([&] { return flash::signImageFile(image_path, key_path); });
  pyb::dict out;
  out["signature_path"] = pathObject(flash::signaturePath(image_path));
  out["key_id"] = doc.key_id;
  out["short_key_id"] = crypto::shortKeyId(doc.key_id);
  out["image_size"] = doc.image_size;
  out["image_sha256"] = doc.image_sha256;
  out["fpga_version"] = optional(doc.fpga_version);
  out["device_types"] = optional(doc.device_types);
  out["signed_at"] = doc.signed_at;
  return out;
}

pyb::dict checkSignature(const pyb::object& image_object, const pyb::object& trusted_keys) {
  const std::string image_path = pathBytes(image_object);
  const std::vector<std::string> key_paths = pathList(trusted_keys, "trusted_keys");
  const flash::TrustVerdict verdict = withoutGil([&] {
    return flash::checkImageFileTrust(image_path, flash::TrustPolicy::fromKeyFiles(key_paths));
  });
  pyb::dict out;
  out["status"] = std::string(flash::trustStatusName(verdict.status));
  out["accepted"] = verdict.accepted;
  out["verified"] = verdict.verified();
  out["key_id"] = optional(verdict.key_id);
  out["short_key_id"] =
      verdict.key_id ? pyb::cast(crypto::shortKeyId(*verdict.key_id)) : pyb::none();
  out["message"] = displayText(verdict.message);
  out["signature_path"] = pathObject(verdict.signature_path);
  return out;
}

std::string publicKeyId(const pyb::object& path_object) {
  const std::string path = pathBytes(path_object);
  return withoutGil([&] { return crypto::Ed25519PublicKey::load(path).keyId(); });
}

std::string privateKeyId(const pyb::object& path_object) {
  const std::string path = pathBytes(path_object);
  return withoutGil([&] { return crypto::Ed25519PrivateKey::load(path).publicKey().keyId(); });
}

}  // namespace

void bindSigning(pyb::module_& m) {
  m.def("generate_key", &generateKey, pyb::arg("path"),
        "Make an Ed25519 key pair: the private key to PATH (PKCS#8 PEM, mode 0600), the public\n"
        "key to PATH.pub. Returns its key id and both paths. FileExistsError when either file\n"
        "exists; nothing is left behind on failure.");
  m.def("sign_image", &signImage, pyb::arg("image_path"), pyb::arg("key_path"),
        "Sign the image with the private key at KEY_PATH: IMAGE_PATH.sig appears once complete.\n"
        "Returns the signed fields. ValueError for a key that others can read or that is not\n"
        "Ed25519 and for an image that fails the update's checks; OSError for files that cannot\n"
        "be read or written.");
  m.def("check_signature", &checkSignature, pyb::arg("image_path"), pyb::arg("trusted_keys"),
        "The trust verdict on an image, as an update given TRUSTED_KEYS (public key files)\n"
        "decides it: status, accepted, verified, key id, message. With no trusted key nothing is\n"
        "refused. ValueError for an image that fails its checks or a key file that holds no\n"
        "Ed25519 public key; OSError for a key file that cannot be read.");
  m.def(
      "short_key_id", [](const std::string& key_id) { return crypto::shortKeyId(key_id); },
      pyb::arg("key_id"), "A key id as people are shown it: its first 16 hex digits.");
  m.def("public_key_id", &publicKeyId, pyb::arg("path"),
        "The key id of the Ed25519 public key file PATH (ValueError, OSError as above).");
  m.def("private_key_id", &privateKeyId, pyb::arg("path"),
        "The key id of the Ed25519 private key file PATH, read as signing reads it.");
}

}  // namespace kestrix::py
