#include "crypto/sha256.h"

#include <sodium.h>

#include <cstdio>
#include <vector>

#include "data/file_io.h"
#include "data/file_util.h"

namespace TarvCrypto {

namespace {

std::string Hex(const unsigned char (&digest)[crypto_hash_sha256_BYTES]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace

std::string Sha256Hex(const void* bytes, size_t size) {
  if (sodium_init() < 0) return std::string();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, static_cast<const unsigned char*>(bytes), size);
  return Hex(digest);
}

bool ComputeFileSha256(const std::wstring& path, std::string* digest) {
  if (sodium_init() < 0) return false;
  FILE* file = TarvFile::OpenRegularForReading(TarvUtil::FsPath(path));
  if (file == nullptr) return false;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::vector<unsigned char> chunk(1 << 16);
  size_t got = 0;
  while ((got = fread(chunk.data(), 1, chunk.size(), file)) > 0) {
    crypto_hash_sha256_update(&state, chunk.data(), got);
  }
  const bool whole = ferror(file) == 0;
  fclose(file);
  if (!whole) return false;
  unsigned char out[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, out);
  *digest = Hex(out);
  return true;
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != size_t{2} * crypto_hash_sha256_BYTES) return false;
  for (char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

}  // namespace TarvCrypto
