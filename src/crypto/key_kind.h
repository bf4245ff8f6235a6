// Which kind of minisign key a text holds, told from the length of its first
// key line: the publisher's tools and the patcher use it to name a mix-up of
// the two kinds in words instead of as a byte count. Plain functions.
#pragma once

#include <string_view>

namespace TarvCrypto {

enum class MinisignKeyKind {
  kNone,    // not a key file, or one too damaged to tell
  kPublic,  // "Ed", key id, 32-byte key
  kSecret,  // "Ed", algorithms, salt, limits, key id, 64-byte key, checksum
};

// The kind of the first key in `text`: an "untrusted comment: " line
// followed by a base64 key line. Texts over 64 KiB are never keys.
MinisignKeyKind SniffMinisignKey(std::string_view text);

// The sentences shown when a key of the other kind is given.
inline constexpr std::string_view kSecretKeyGivenText =
    "this is a secret key; the installation needs the public key";
inline constexpr std::string_view kPublicKeyGivenText =
    "this is a public key; signing needs the secret key";

}  // namespace TarvCrypto
