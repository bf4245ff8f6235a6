// PublisherKey: an Ed25519 public key of the game's publisher, in the
// public-key format of the minisign tool: a line "untrusted comment: ..."
// and a line with the base64 form of "Ed", the 8-byte key id and the
// 32-byte key. The installation's key file holds one or more such pairs, so
// that a publisher can add a new key before retiring the old one. Plain
// values and functions; failures are reported through `error`.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TarvCrypto {

using MinisignKeyId = std::array<uint8_t, 8>;

struct PublisherKey {
  MinisignKeyId id{};
  std::array<uint8_t, 32> key{};

  // The id as the minisign tool shows it: the id read as a little-endian
  // number, in upper-case hexadecimal digits without leading zeros.
  std::string IdText() const;
};

// Key files larger than this are refused.
inline constexpr size_t kMaxPublisherKeyFileBytes = size_t{64} << 10;

// Every key of a key file: pairs of an untrusted-comment line and a key
// line, with empty lines allowed between pairs. False, with the reason in
// `error`, when a pair is malformed or the file holds no key.
bool ParsePublisherKeys(std::string_view text, std::vector<PublisherKey>* keys, std::string* error);

// One pair of lines, each ended by LF, as the minisign tool writes it.
std::string FormatPublisherKey(const PublisherKey& key);

// The key file at `path`.
enum class KeyFileState {
  kAbsent,  // no file: signatures are not asked for
  kLoaded,  // `keys` holds at least one key
  kBroken,  // a file that cannot be read or holds no valid key; `error` says why
};
KeyFileState LoadPublisherKeys(const std::wstring& path, std::vector<PublisherKey>* keys,
                               std::string* error);

}  // namespace TarvCrypto
