// SecretKey: the publisher's Ed25519 signing key in the secret-key format of
// the minisign tool, unencrypted (as "minisign -G -W" writes it): a line
// "untrusted comment: ..." and the base64 form of "Ed", the key-derivation
// algorithm (two zero bytes: none), "B2", a 32-byte salt, two 8-byte limits,
// the 8-byte key id, the 64-byte secret key and a 32-byte BLAKE2b-256
// checksum. An encrypted key ("Sc") is refused; the minisign tool signs with
// it. Used by the publisher's tool only. Plain values and functions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/minisign_signature.h"
#include "crypto/publisher_key.h"

namespace TarvCrypto {

struct SecretKey {
  MinisignKeyId id{};
  std::array<uint8_t, 64> key{};  // seed and public key, as libsodium keeps it

  PublisherKey PublicKey() const;
};

// A fresh key with a random id.
SecretKey GenerateSecretKey();

// False, with the reason in `error`, for an encrypted key, a damaged one (a
// checksum that is neither zero nor right, or a public half that does not
// belong to the seed) or anything malformed.
bool ParseSecretKey(std::string_view text, SecretKey* key, std::string* error);

// Two lines, each ended by LF; the checksum is filled in.
std::string FormatSecretKey(const SecretKey& key);

// The prehashed signature of `message` with `trusted_comment`.
MinisignSignature SignMessage(const SecretKey& key, std::string_view message,
                              const std::string& trusted_comment);

}  // namespace TarvCrypto
