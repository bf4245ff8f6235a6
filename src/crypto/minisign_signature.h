// MinisignSignature: a detached signature in the format of the minisign
// tool, four lines ended by LF:
//   untrusted comment: <text, not signed>
//   base64 of the algorithm ("Ed" signs the file itself, "ED" its BLAKE2b-512
//   digest), the signer's 8-byte key id and the 64-byte Ed25519 signature
//   trusted comment: <text>
//   base64 of the 64-byte global signature over the signature and the
//   trusted comment's text
// Parsing refuses anything else with a reason; verification needs both
// signatures to hold under the key with the signature's id. Plain values and
// functions, safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/publisher_key.h"

namespace TarvCrypto {

enum class SignatureAlgorithm {
  kLegacy,     // "Ed": the signature covers the file's bytes
  kPrehashed,  // "ED": the signature covers the file's BLAKE2b-512 digest
};

struct MinisignSignature {
  SignatureAlgorithm algorithm = SignatureAlgorithm::kPrehashed;
  MinisignKeyId key_id{};
  std::array<uint8_t, 64> signature{};
  std::string trusted_comment;
  std::array<uint8_t, 64> global_signature{};
};

// Longest comments taken; a longer one is refused.
inline constexpr size_t kMaxUntrustedCommentBytes = 1024;
inline constexpr size_t kMaxTrustedCommentBytes = 8192;
// Signature files larger than this are refused before any parsing.
inline constexpr size_t kMaxSignatureFileBytes = size_t{16} << 10;

// False, with the reason in `error`, for anything but the four lines above
// (a final LF, or none, and nothing after them).
bool ParseMinisignSignature(std::string_view text, MinisignSignature* signature,
                            std::string* error);

// The four lines, each ended by LF.
std::string FormatMinisignSignature(const MinisignSignature& signature,
                                    const std::string& untrusted_comment);

enum class SignatureCheck {
  kValid,       // both signatures hold under the key with the signature's id
  kUnknownKey,  // no key of `keys` has the signature's id
  kInvalid,     // a key has the id, but a signature does not hold
};
// Checks `signature` over `message`; `signer` (may be null) receives the key
// that verified it.
SignatureCheck VerifyMinisignSignature(const MinisignSignature& signature, std::string_view message,
                                       const std::vector<PublisherKey>& keys,
                                       PublisherKey* signer = nullptr);

// The BLAKE2b-512 digest that the prehashed form signs.
std::array<uint8_t, 64> MinisignMessageDigest(std::string_view message);

}  // namespace TarvCrypto
