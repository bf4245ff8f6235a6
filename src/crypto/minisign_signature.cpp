#include "crypto/minisign_signature.h"

#include <sodium.h>

#include <cstring>

#include "crypto/base64.h"
#include "crypto/minisign_lines.h"

namespace TarvCrypto {

namespace {

constexpr size_t kSignatureBytes = 2 + 8 + 64;

bool ParseSignatureLine(std::string_view line, MinisignSignature* out, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!DecodeBase64(line, &bytes)) {
    *error = "line 2: the signature is not base64";
    return false;
  }
  if (bytes.size() != kSignatureBytes) {
    *error = "line 2: the signature holds " + std::to_string(bytes.size()) + " bytes instead of " +
             std::to_string(kSignatureBytes);
    return false;
  }
  if (memcmp(bytes.data(), "ED", 2) == 0) {
    out->algorithm = SignatureAlgorithm::kPrehashed;
  } else if (memcmp(bytes.data(), "Ed", 2) == 0) {
    out->algorithm = SignatureAlgorithm::kLegacy;
  } else {
    *error = "line 2: unknown signature algorithm (neither \"Ed\" nor \"ED\")";
    return false;
  }
  memcpy(out->key_id.data(), bytes.data() + 2, out->key_id.size());
  memcpy(out->signature.data(), bytes.data() + 10, out->signature.size());
  return true;
}

bool ParseGlobalLine(std::string_view line, MinisignSignature* out, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!DecodeBase64(line, &bytes)) {
    *error = "line 4: the global signature is not base64";
    return false;
  }
  if (bytes.size() != out->global_signature.size()) {
    *error = "line 4: the global signature holds " + std::to_string(bytes.size()) +
             " bytes instead of 64";
    return false;
  }
  memcpy(out->global_signature.data(), bytes.data(), bytes.size());
  return true;
}

bool ParseComments(const std::vector<std::string_view>& lines, MinisignSignature* out,
                   std::string* error) {
  std::string_view untrusted, trusted;
  if (!TakeCommentText(lines[0], kUntrustedCommentPrefix, &untrusted)) {
    *error = "line 1: expected \"untrusted comment: \"";
    return false;
  }
  if (untrusted.size() > kMaxUntrustedCommentBytes) {
    *error = "line 1: the untrusted comment is longer than 1024 bytes";
    return false;
  }
  if (!TakeCommentText(lines[2], kTrustedCommentPrefix, &trusted)) {
    *error = "line 3: expected \"trusted comment: \"";
    return false;
  }
  if (trusted.size() > kMaxTrustedCommentBytes) {
    *error = "line 3: the trusted comment is longer than 8192 bytes";
    return false;
  }
  out->trusted_comment = std::string(trusted);
  return true;
}

bool Verify(const std::array<uint8_t, 64>& signature, const uint8_t* message, size_t size,
            const PublisherKey& key) {
  return crypto_sign_verify_detached(signature.data(), message, size, key.key.data()) == 0;
}

}  // namespace

bool ParseMinisignSignature(std::string_view text, MinisignSignature* signature,
                            std::string* error) {
  if (text.size() > kMaxSignatureFileBytes) {
    *error = "is larger than 16 KiB";
    return false;
  }
  std::vector<std::string_view> lines;
  if (!SplitMinisignLines(text, &lines, error)) return false;
  if (lines.size() < 4) {
    *error = "has " + std::to_string(lines.size()) + " lines instead of 4";
    return false;
  }
  if (lines.size() > 4) {
    *error = "has text after the fourth line";
    return false;
  }
  MinisignSignature out;
  if (!ParseComments(lines, &out, error) || !ParseSignatureLine(lines[1], &out, error) ||
      !ParseGlobalLine(lines[3], &out, error)) {
    return false;
  }
  *signature = std::move(out);
  return true;
}

std::string FormatMinisignSignature(const MinisignSignature& signature,
                                    const std::string& untrusted_comment) {
  std::vector<uint8_t> bytes;
  const char* algorithm = signature.algorithm == SignatureAlgorithm::kPrehashed ? "ED" : "Ed";
  bytes.insert(bytes.end(), algorithm, algorithm + 2);
  bytes.insert(bytes.end(), signature.key_id.begin(), signature.key_id.end());
  bytes.insert(bytes.end(), signature.signature.begin(), signature.signature.end());
  return std::string(kUntrustedCommentPrefix) + untrusted_comment + "\n" +
         EncodeBase64(bytes.data(), bytes.size()) + "\n" + std::string(kTrustedCommentPrefix) +
         signature.trusted_comment + "\n" +
         EncodeBase64(signature.global_signature.data(), signature.global_signature.size()) + "\n";
}

std::array<uint8_t, 64> MinisignMessageDigest(std::string_view message) {
  std::array<uint8_t, 64> digest{};
  if (sodium_init() < 0) return digest;
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                     nullptr, 0);
  return digest;
}

SignatureCheck VerifyMinisignSignature(const MinisignSignature& signature, std::string_view message,
                                       const std::vector<PublisherKey>& keys,
                                       PublisherKey* signer) {
  if (sodium_init() < 0) return SignatureCheck::kInvalid;
  const PublisherKey* key = nullptr;
  for (const PublisherKey& k : keys) {
    if (k.id == signature.key_id) key = &k;
  }
  if (key == nullptr) return SignatureCheck::kUnknownKey;
  bool valid = false;
  if (signature.algorithm == SignatureAlgorithm::kPrehashed) {
    const std::array<uint8_t, 64> digest = MinisignMessageDigest(message);
    valid = Verify(signature.signature, digest.data(), digest.size(), *key);
  } else {
    valid = Verify(signature.signature, reinterpret_cast<const uint8_t*>(message.data()),
                   message.size(), *key);
  }
  std::vector<uint8_t> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
  valid = valid && Verify(signature.global_signature, global.data(), global.size(), *key);
  if (!valid) return SignatureCheck::kInvalid;
  if (signer != nullptr) *signer = *key;
  return SignatureCheck::kValid;
}

}  // namespace TarvCrypto
