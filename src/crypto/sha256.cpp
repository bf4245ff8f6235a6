#include "crypto/sha256.h"

#include <cstdio>
#include <vector>

#include "data/file_io.h"
#include "data/file_util.h"

namespace TarvCrypto {

std::string ToHex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * digest.size());
  for (uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string Sha256Hex(const void* bytes, size_t size) {
  Sha256 sha;
  sha.Update(bytes, size);
  Sha256Digest digest;
  return sha.Finish(&digest) ? ToHex(digest) : std::string();
}

bool ComputeFileSha256(const std::wstring& path, std::string* digest) {
  FILE* file = TarvFile::OpenRegularForReading(TarvUtil::FsPath(path));
  if (file == nullptr) return false;
  Sha256 sha;
  std::vector<unsigned char> chunk(size_t{1} << 16);
  size_t got = 0;
  while ((got = fread(chunk.data(), 1, chunk.size(), file)) > 0) sha.Update(chunk.data(), got);
  const bool whole = ferror(file) == 0;
  fclose(file);
  Sha256Digest out;
  if (!sha.Finish(&out) || !whole) return false;
  *digest = ToHex(out);
  return true;
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != 2 * Sha256Digest().size()) return false;
  for (char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

}  // namespace TarvCrypto
