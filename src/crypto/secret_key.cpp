#include "crypto/secret_key.h"

#include <sodium.h>

#include <cstring>
#include <vector>

#include "crypto/base64.h"
#include "crypto/key_kind.h"
#include "crypto/minisign_lines.h"

namespace TarvCrypto {

namespace {

// Offsets in the decoded key line.
constexpr size_t kKdfAt = 2, kChecksumAlgorithmAt = 4, kKeyIdAt = 54, kSecretAt = 62,
                 kChecksumAt = 126, kKeyLineBytes = 158;

std::array<uint8_t, 32> Checksum(const SecretKey& key) {
  std::vector<uint8_t> input = {'E', 'd'};
  input.insert(input.end(), key.id.begin(), key.id.end());
  input.insert(input.end(), key.key.begin(), key.key.end());
  std::array<uint8_t, 32> out{};
  crypto_generichash(out.data(), out.size(), input.data(), input.size(), nullptr, 0);
  return out;
}

bool CheckLayout(const std::vector<uint8_t>& bytes, std::string* error) {
  if (bytes.size() != kKeyLineBytes) {
    *error = "line 2: the key holds " + std::to_string(bytes.size()) + " bytes instead of 158";
    return false;
  }
  if (memcmp(bytes.data(), "Ed", 2) != 0) {
    *error = "line 2: not an Ed25519 key (algorithm bytes are not \"Ed\")";
    return false;
  }
  if (memcmp(bytes.data() + kKdfAt, "Sc", 2) == 0) {
    *error = "the secret key is encrypted with a password; sign with \"minisign -S\" instead";
    return false;
  }
  if (bytes[kKdfAt] != 0 || bytes[kKdfAt + 1] != 0) {
    *error = "line 2: unknown key-derivation algorithm";
    return false;
  }
  if (memcmp(bytes.data() + kChecksumAlgorithmAt, "B2", 2) != 0) {
    *error = "line 2: unknown checksum algorithm (not \"B2\")";
    return false;
  }
  return true;
}

// The key must be whole: its public half is the one its seed gives, and a
// checksum other than zero (which the minisign tool leaves in unencrypted
// keys) must match.
bool CheckWhole(const SecretKey& key, const uint8_t* checksum, std::string* error) {
  std::array<uint8_t, 32> pk{};
  std::array<uint8_t, 64> sk{};
  crypto_sign_seed_keypair(pk.data(), sk.data(), key.key.data());
  const std::array<uint8_t, 32> zero{};
  const std::array<uint8_t, 32> expected = Checksum(key);
  const bool sum_ok =
      memcmp(checksum, zero.data(), 32) == 0 || memcmp(checksum, expected.data(), 32) == 0;
  if (memcmp(pk.data(), key.key.data() + 32, 32) != 0 || !sum_ok) {
    *error = "the secret key is damaged (its checksum or public half does not match)";
    return false;
  }
  return true;
}

}  // namespace

PublisherKey SecretKey::PublicKey() const {
  PublisherKey out;
  out.id = id;
  memcpy(out.key.data(), key.data() + 32, out.key.size());
  return out;
}

SecretKey GenerateSecretKey() {
  SecretKey out;
  if (sodium_init() < 0) return out;
  std::array<uint8_t, 32> pk{};
  crypto_sign_keypair(pk.data(), out.key.data());
  randombytes_buf(out.id.data(), out.id.size());
  return out;
}

bool ParseSecretKey(std::string_view text, SecretKey* key, std::string* error) {
  if (sodium_init() < 0) {
    *error = "the cryptography library cannot start";
    return false;
  }
  if (SniffMinisignKey(text) == MinisignKeyKind::kPublic) {
    *error = kPublicKeyGivenText;
    return false;
  }
  std::vector<std::string_view> lines;
  if (!SplitMinisignLines(text, &lines, error)) return false;
  std::string_view comment;
  if (lines.size() != 2 || !TakeCommentText(lines[0], kUntrustedCommentPrefix, &comment)) {
    *error = "expected two lines: \"untrusted comment: ...\" and the key";
    return false;
  }
  std::vector<uint8_t> bytes;
  if (!DecodeBase64(lines[1], &bytes)) {
    *error = "line 2: the key is not base64";
    return false;
  }
  if (!CheckLayout(bytes, error)) return false;
  SecretKey out;
  memcpy(out.id.data(), bytes.data() + kKeyIdAt, out.id.size());
  memcpy(out.key.data(), bytes.data() + kSecretAt, out.key.size());
  if (!CheckWhole(out, bytes.data() + kChecksumAt, error)) return false;
  *key = out;
  return true;
}

std::string FormatSecretKey(const SecretKey& key) {
  std::vector<uint8_t> bytes(kKeyLineBytes, 0);
  memcpy(bytes.data(), "Ed", 2);
  memcpy(bytes.data() + kChecksumAlgorithmAt, "B2", 2);
  memcpy(bytes.data() + kKeyIdAt, key.id.data(), key.id.size());
  memcpy(bytes.data() + kSecretAt, key.key.data(), key.key.size());
  const std::array<uint8_t, 32> sum = Checksum(key);
  memcpy(bytes.data() + kChecksumAt, sum.data(), sum.size());
  return std::string(kUntrustedCommentPrefix) + "unencrypted secret key " +
         key.PublicKey().IdText() + "\n" + EncodeBase64(bytes.data(), bytes.size()) + "\n";
}

MinisignSignature SignMessage(const SecretKey& key, std::string_view message,
                              const std::string& trusted_comment) {
  MinisignSignature out;
  out.algorithm = SignatureAlgorithm::kPrehashed;
  out.key_id = key.id;
  out.trusted_comment = trusted_comment;
  const std::array<uint8_t, 64> digest = MinisignMessageDigest(message);
  crypto_sign_detached(out.signature.data(), nullptr, digest.data(), digest.size(), key.key.data());
  std::vector<uint8_t> global(out.signature.begin(), out.signature.end());
  global.insert(global.end(), trusted_comment.begin(), trusted_comment.end());
  crypto_sign_detached(out.global_signature.data(), nullptr, global.data(), global.size(),
                       key.key.data());
  return out;
}

}  // namespace TarvCrypto
