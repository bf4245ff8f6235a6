#include "crypto/key_kind.h"

#include <cstring>
#include <vector>

#include "crypto/base64.h"
#include "crypto/minisign_lines.h"

namespace TarvCrypto {

namespace {

constexpr size_t kMaxKeyText = size_t{64} << 10;
constexpr size_t kPublicKeyLineBytes = 42, kSecretKeyLineBytes = 158;

}  // namespace

MinisignKeyKind SniffMinisignKey(std::string_view text) {
  std::vector<std::string_view> lines;
  std::string ignored;
  if (text.size() > kMaxKeyText || !SplitMinisignLines(text, &lines, &ignored)) {
    return MinisignKeyKind::kNone;
  }
  size_t i = 0;
  while (i < lines.size() && lines[i].empty()) ++i;
  std::string_view comment;
  if (i + 1 >= lines.size() || !TakeCommentText(lines[i], kUntrustedCommentPrefix, &comment)) {
    return MinisignKeyKind::kNone;
  }
  std::vector<uint8_t> bytes;
  if (!DecodeBase64(lines[i + 1], &bytes) || bytes.size() < 2 ||
      memcmp(bytes.data(), "Ed", 2) != 0) {
    return MinisignKeyKind::kNone;
  }
  if (bytes.size() == kPublicKeyLineBytes) return MinisignKeyKind::kPublic;
  if (bytes.size() == kSecretKeyLineBytes) return MinisignKeyKind::kSecret;
  return MinisignKeyKind::kNone;
}

}  // namespace TarvCrypto
