#include "apply/md5.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <vector>

#include "data/file_util.h"

namespace {

// Large reads: the digest of a game file is taken twice per patched file,
// and reading in big pieces keeps the read calls out of the profile.
constexpr size_t kReadSize = 1 << 20;

inline uint32_t Word(const unsigned char* p, int i) {
  uint32_t v;
  std::memcpy(&v, p + 4 * i, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// The four round steps. Each adds the message word and the constant first,
// which do not depend on the previous step, so only the boolean function, the
// rotation and the final addition lie on the serial chain. F and I are the
// usual forms with one operation fewer (d ^ (b & (c ^ d)) for the selection);
// G is split into two disjoint halves that can be added one after the other,
// so that only (b & d) waits for the newest word b.
#define MD5_F(a, b, c, d, i, s, k)            \
  a += Word(p, i) + (k);                      \
  a += (d ^ (b & (c ^ d)));                   \
  a = std::rotl(a, s) + b;
#define MD5_G(a, b, c, d, i, s, k)            \
  a += Word(p, i) + (k) + (c & ~d);           \
  a += (b & d);                               \
  a = std::rotl(a, s) + b;
#define MD5_H(a, b, c, d, i, s, k)            \
  a += Word(p, i) + (k);                      \
  a += (b ^ c ^ d);                           \
  a = std::rotl(a, s) + b;
#define MD5_I(a, b, c, d, i, s, k)            \
  a += Word(p, i) + (k);                      \
  a += (c ^ (b | ~d));                        \
  a = std::rotl(a, s) + b;

// Digests `blocks` consecutive 64-byte blocks straight from the input, with
// the chaining value kept in locals (registers) for the whole run.
void Transform(uint32_t* state, const unsigned char* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, p += 64) {
    const uint32_t aa = a, bb = b, cc = c, dd = d;
    MD5_F(a, b, c, d, 0, 7, 0xd76aa478u)
    MD5_F(d, a, b, c, 1, 12, 0xe8c7b756u)
    MD5_F(c, d, a, b, 2, 17, 0x242070dbu)
    MD5_F(b, c, d, a, 3, 22, 0xc1bdceeeu)
    MD5_F(a, b, c, d, 4, 7, 0xf57c0fafu)
    MD5_F(d, a, b, c, 5, 12, 0x4787c62au)
    MD5_F(c, d, a, b, 6, 17, 0xa8304613u)
    MD5_F(b, c, d, a, 7, 22, 0xfd469501u)
    MD5_F(a, b, c, d, 8, 7, 0x698098d8u)
    MD5_F(d, a, b, c, 9, 12, 0x8b44f7afu)
    MD5_F(c, d, a, b, 10, 17, 0xffff5bb1u)
    MD5_F(b, c, d, a, 11, 22, 0x895cd7beu)
    MD5_F(a, b, c, d, 12, 7, 0x6b901122u)
    MD5_F(d, a, b, c, 13, 12, 0xfd987193u)
    MD5_F(c, d, a, b, 14, 17, 0xa679438eu)
    MD5_F(b, c, d, a, 15, 22, 0x49b40821u)

    MD5_G(a, b, c, d, 1, 5, 0xf61e2562u)
    MD5_G(d, a, b, c, 6, 9, 0xc040b340u)
    MD5_G(c, d, a, b, 11, 14, 0x265e5a51u)
    MD5_G(b, c, d, a, 0, 20, 0xe9b6c7aau)
    MD5_G(a, b, c, d, 5, 5, 0xd62f105du)
    MD5_G(d, a, b, c, 10, 9, 0x02441453u)
    MD5_G(c, d, a, b, 15, 14, 0xd8a1e681u)
    MD5_G(b, c, d, a, 4, 20, 0xe7d3fbc8u)
    MD5_G(a, b, c, d, 9, 5, 0x21e1cde6u)
    MD5_G(d, a, b, c, 14, 9, 0xc33707d6u)
    MD5_G(c, d, a, b, 3, 14, 0xf4d50d87u)
    MD5_G(b, c, d, a, 8, 20, 0x455a14edu)
    MD5_G(a, b, c, d, 13, 5, 0xa9e3e905u)
    MD5_G(d, a, b, c, 2, 9, 0xfcefa3f8u)
    MD5_G(c, d, a, b, 7, 14, 0x676f02d9u)
    MD5_G(b, c, d, a, 12, 20, 0x8d2a4c8au)

    MD5_H(a, b, c, d, 5, 4, 0xfffa3942u)
    MD5_H(d, a, b, c, 8, 11, 0x8771f681u)
    MD5_H(c, d, a, b, 11, 16, 0x6d9d6122u)
    MD5_H(b, c, d, a, 14, 23, 0xfde5380cu)
    MD5_H(a, b, c, d, 1, 4, 0xa4beea44u)
    MD5_H(d, a, b, c, 4, 11, 0x4bdecfa9u)
    MD5_H(c, d, a, b, 7, 16, 0xf6bb4b60u)
    MD5_H(b, c, d, a, 10, 23, 0xbebfbc70u)
    MD5_H(a, b, c, d, 13, 4, 0x289b7ec6u)
    MD5_H(d, a, b, c, 0, 11, 0xeaa127fau)
    MD5_H(c, d, a, b, 3, 16, 0xd4ef3085u)
    MD5_H(b, c, d, a, 6, 23, 0x04881d05u)
    MD5_H(a, b, c, d, 9, 4, 0xd9d4d039u)
    MD5_H(d, a, b, c, 12, 11, 0xe6db99e5u)
    MD5_H(c, d, a, b, 15, 16, 0x1fa27cf8u)
    MD5_H(b, c, d, a, 2, 23, 0xc4ac5665u)

    MD5_I(a, b, c, d, 0, 6, 0xf4292244u)
    MD5_I(d, a, b, c, 7, 10, 0x432aff97u)
    MD5_I(c, d, a, b, 14, 15, 0xab9423a7u)
    MD5_I(b, c, d, a, 5, 21, 0xfc93a039u)
    MD5_I(a, b, c, d, 12, 6, 0x655b59c3u)
    MD5_I(d, a, b, c, 3, 10, 0x8f0ccc92u)
    MD5_I(c, d, a, b, 10, 15, 0xffeff47du)
    MD5_I(b, c, d, a, 1, 21, 0x85845dd1u)
    MD5_I(a, b, c, d, 8, 6, 0x6fa87e4fu)
    MD5_I(d, a, b, c, 15, 10, 0xfe2ce6e0u)
    MD5_I(c, d, a, b, 6, 15, 0xa3014314u)
    MD5_I(b, c, d, a, 13, 21, 0x4e0811a1u)
    MD5_I(a, b, c, d, 4, 6, 0xf7537e82u)
    MD5_I(d, a, b, c, 11, 10, 0xbd3af235u)
    MD5_I(c, d, a, b, 2, 15, 0x2ad7d2bbu)
    MD5_I(b, c, d, a, 9, 21, 0xeb86d391u)

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

void EncodeLittleEndian(unsigned char* out, const uint32_t* in, size_t words) {
  for (size_t i = 0; i < words; ++i) {
    out[4 * i] = static_cast<unsigned char>(in[i]);
    out[4 * i + 1] = static_cast<unsigned char>(in[i] >> 8);
    out[4 * i + 2] = static_cast<unsigned char>(in[i] >> 16);
    out[4 * i + 3] = static_cast<unsigned char>(in[i] >> 24);
  }
}

// Reads the stream to its end in large pieces into the digest; false on a
// read error. Does not close the stream.
bool ReadInto(MD5& md5, FILE* file) {
  std::vector<unsigned char> piece(kReadSize);
  for (;;) {
    size_t n = fread(piece.data(), 1, piece.size(), file);
    if (n > 0) md5.update(piece.data(), n);
    if (n < piece.size()) return !ferror(file);
  }
}

}  // namespace

MD5::MD5()
    : m_state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, m_count{0, 0},
      m_buffer{}, m_digest{} {}

MD5::MD5(FILE* file) : MD5() {
  update(file);
  finalize();
}

void MD5::update(const unsigned char* input, size_t length) {
  if (m_finalized) {
    fprintf(stderr, "MD5::update:  Can't update a finalized digest!\n");
    return;
  }
  size_t index = (m_count[0] >> 3) & 0x3f;
  uint64_t bits = (static_cast<uint64_t>(m_count[1]) << 32 | m_count[0]) +
                  (static_cast<uint64_t>(length) << 3);
  m_count[0] = static_cast<uint32_t>(bits);
  m_count[1] = static_cast<uint32_t>(bits >> 32);

  size_t i = 0;
  const size_t space = 64 - index;
  if (length >= space) {
    std::memcpy(m_buffer + index, input, space);
    Transform(m_state, m_buffer, 1);
    i = space;
    size_t blocks = (length - i) / 64;
    Transform(m_state, input + i, blocks);
    i += blocks * 64;
    index = 0;
  }
  std::memcpy(m_buffer + index, input + i, length - i);
}

bool MD5::update(FILE* file) {
  bool ok = true;
  if (m_finalized) {
    fprintf(stderr, "MD5::update:  Can't update a finalized digest!\n");
  } else {
    ok = ReadInto(*this, file);
  }
  fclose(file);
  return ok;
}

void MD5::finalize() {
  if (m_finalized) {
    fprintf(stderr, "MD5::finalize:  Already finalized this digest!\n");
    return;
  }
  unsigned char bits[8];
  EncodeLittleEndian(bits, m_count, 2);
  static const unsigned char kPadding[64] = {0x80};
  size_t index = (m_count[0] >> 3) & 0x3f;
  size_t pad = index < 56 ? 56 - index : 120 - index;
  update(kPadding, pad);
  update(bits, 8);
  EncodeLittleEndian(m_digest, m_state, 4);
  std::memset(m_buffer, 0, sizeof m_buffer);
  m_finalized = true;
}

std::unique_ptr<char[]> MD5::hex_digest() const {
  if (!m_finalized) {
    fprintf(stderr,
            "MD5::hex_digest:  Can't get digest if you haven't "
            "finalized the digest!\n");
    auto empty = std::make_unique<char[]>(1);
    empty[0] = '\0';
    return empty;
  }
  static const char kHex[] = "0123456789abcdef";
  auto text = std::make_unique<char[]>(33);
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHex[m_digest[i] >> 4];
    text[2 * i + 1] = kHex[m_digest[i] & 0xf];
  }
  text[32] = '\0';
  return text;
}

bool ComputeFileMD5(const std::wstring& path, std::wstring& digest) {
  // Opened without blocking (a pipe would wait for a writer), then only a
  // regular file is read: a folder opens for reading on Linux, and a pipe or
  // device would never end.
  int fd = open(TarvUtil::FsPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  FILE* file = nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      (file = fdopen(fd, "rb")) == nullptr) {
    close(fd);
    return false;
  }
  MD5 md5;
  if (!md5.update(file)) return false;  // update closed the stream
  md5.finalize();
  std::unique_ptr<char[]> hex = md5.hex_digest();
  std::wstring text(hex.get(), hex.get() + std::strlen(hex.get()));
  if (text.empty()) return false;
  digest = text;
  return true;
}
