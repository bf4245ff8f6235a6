#include "crypto/publisher_key.h"

#include <cstring>

#include "crypto/base64.h"
#include "crypto/key_kind.h"
#include "crypto/minisign_lines.h"
#include "data/file_io.h"
#include "data/file_util.h"

namespace TarvCrypto {

namespace {

constexpr char kEd25519[] = "Ed";
constexpr size_t kKeyBytes = 2 + 8 + 32;

bool ParseKeyLine(std::string_view line, PublisherKey* key, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!DecodeBase64(line, &bytes)) {
    *error = "the key line is not base64";
    return false;
  }
  if (bytes.size() != kKeyBytes) {
    *error = "the key line holds " + std::to_string(bytes.size()) + " bytes instead of " +
             std::to_string(kKeyBytes);
    return false;
  }
  if (memcmp(bytes.data(), kEd25519, 2) != 0) {
    *error = "the key is not an Ed25519 key (algorithm bytes are not \"Ed\")";
    return false;
  }
  memcpy(key->id.data(), bytes.data() + 2, key->id.size());
  memcpy(key->key.data(), bytes.data() + 10, key->key.size());
  return true;
}

}  // namespace

std::string PublisherKey::IdText() const {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = id.size(); i-- > 0;) {
    out += kDigits[id[i] >> 4];
    out += kDigits[id[i] & 15];
  }
  const size_t first = out.find_first_not_of('0');
  return first == std::string::npos ? "0" : out.substr(first);
}

bool ParsePublisherKeys(std::string_view text, std::vector<PublisherKey>* keys,
                        std::string* error) {
  if (text.size() > kMaxPublisherKeyFileBytes) {
    *error = "is larger than 64 KiB";
    return false;
  }
  std::vector<std::string_view> lines;
  if (!SplitMinisignLines(text, &lines, error)) return false;
  std::vector<PublisherKey> found;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const std::string where = "line " + std::to_string(i + 1) + ": ";
    std::string_view comment;
    if (!TakeCommentText(lines[i], kUntrustedCommentPrefix, &comment)) {
      *error = where + "expected \"untrusted comment: \" before a key";
      return false;
    }
    if (i + 1 >= lines.size() || lines[i + 1].empty()) {
      *error = where + "the comment is not followed by a key line";
      return false;
    }
    PublisherKey key;
    if (!ParseKeyLine(lines[++i], &key, error)) {
      const std::string pair = std::string(lines[i - 1]) + "\n" + std::string(lines[i]);
      *error = SniffMinisignKey(pair) == MinisignKeyKind::kSecret
                   ? std::string(kSecretKeyGivenText)
                   : "line " + std::to_string(i + 1) + ": " + *error;
      return false;
    }
    found.push_back(key);
  }
  if (found.empty()) {
    *error = "holds no key";
    return false;
  }
  *keys = std::move(found);
  return true;
}

std::string FormatPublisherKey(const PublisherKey& key) {
  std::vector<uint8_t> bytes(kEd25519, kEd25519 + 2);
  bytes.insert(bytes.end(), key.id.begin(), key.id.end());
  bytes.insert(bytes.end(), key.key.begin(), key.key.end());
  return std::string(kUntrustedCommentPrefix) + "minisign public key " + key.IdText() + "\n" +
         EncodeBase64(bytes.data(), bytes.size()) + "\n";
}

KeyFileState LoadPublisherKeys(const std::wstring& path, std::vector<PublisherKey>* keys,
                               std::string* error) {
  std::string text;
  switch (
      TarvFile::ReadWholeFile(TarvUtil::FsPath(path), kMaxPublisherKeyFileBytes, &text, error)) {
    case TarvFile::ReadResult::kMissing:
      return KeyFileState::kAbsent;
    case TarvFile::ReadResult::kOk:
      break;
    case TarvFile::ReadResult::kTooLarge:
    case TarvFile::ReadResult::kFailed:
      return KeyFileState::kBroken;
  }
  return ParsePublisherKeys(text, keys, error) ? KeyFileState::kLoaded : KeyFileState::kBroken;
}

}  // namespace TarvCrypto
