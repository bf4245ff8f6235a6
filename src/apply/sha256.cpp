#include "apply/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace TarvPatch {
namespace {

struct MdFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdFree>;

std::string Hex(const unsigned char* bytes, unsigned int count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::string Finish(EVP_MD_CTX* ctx) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) return "";
  return Hex(digest, length);
}

}  // namespace

std::string Sha256Hex(const void* data, size_t size) {
  MdContext ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data, size) != 1) {
    return "";
  }
  return Finish(ctx.get());
}

bool Sha256File(const std::string& path, std::string* hex, uint64_t* size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  MdContext ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  std::vector<unsigned char> block(1 << 20);
  uint64_t total = 0;
  while (ok) {
    ssize_t n = read(fd, block.data(), block.size());
    if (n == 0) break;
    if (n < 0) {
      ok = false;
      break;
    }
    total += static_cast<uint64_t>(n);
    ok = EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n)) == 1;
  }
  close(fd);
  std::string digest = ok ? Finish(ctx.get()) : "";
  if (digest.empty()) return false;
  *hex = digest;
  *size = total;
  return true;
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace TarvPatch
