#include "crypto/md5.h"

#include <bit>
#include <cstring>
#include <vector>

#include "data/file_io.h"
#include "data/file_util.h"

namespace TarvCrypto {

namespace {

// Large reads: the digest of a game file is taken twice per patched file,
// and reading in big pieces keeps the read calls out of the profile.
constexpr size_t kReadSize = 1 << 20;

inline uint32_t Word(const unsigned char* p, int i) {
  uint32_t v;
  std::memcpy(&v, p + 4 * static_cast<size_t>(i), 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// The four round steps. Each adds the message word and the constant first,
// which do not depend on the previous step, so only the boolean function, the
// rotation and the final addition lie on the serial chain. F and I are the
// usual forms with one operation fewer (d ^ (b & (c ^ d)) for the selection);
// G is split into two disjoint halves that can be added one after the other,
// so that only (b & d) waits for the newest word b. The rotation is a
// template argument so that it is always an immediate.
template <int S>
[[gnu::always_inline]] inline void StepF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d,
                                         uint32_t x, uint32_t k) {
  a += x + k;
  a += d ^ (b & (c ^ d));
  a = std::rotl(a, S) + b;
}
template <int S>
[[gnu::always_inline]] inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d,
                                         uint32_t x, uint32_t k) {
  a += x + k + (c & ~d);
  a += b & d;
  a = std::rotl(a, S) + b;
}
template <int S>
[[gnu::always_inline]] inline void StepH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d,
                                         uint32_t x, uint32_t k) {
  a += x + k;
  a += b ^ c ^ d;
  a = std::rotl(a, S) + b;
}
template <int S>
[[gnu::always_inline]] inline void StepI(uint32_t& a, uint32_t b, uint32_t c, uint32_t d,
                                         uint32_t x, uint32_t k) {
  a += x + k;
  a += c ^ (b | ~d);
  a = std::rotl(a, S) + b;
}

// Digests `blocks` consecutive 64-byte blocks straight from the input, with
// the chaining value kept in locals (registers) for the whole run.
void Transform(uint32_t* state, const unsigned char* p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, p += 64) {
    const uint32_t aa = a, bb = b, cc = c, dd = d;
    StepF<7>(a, b, c, d, Word(p, 0), 0xd76aa478u);
    StepF<12>(d, a, b, c, Word(p, 1), 0xe8c7b756u);
    StepF<17>(c, d, a, b, Word(p, 2), 0x242070dbu);
    StepF<22>(b, c, d, a, Word(p, 3), 0xc1bdceeeu);
    StepF<7>(a, b, c, d, Word(p, 4), 0xf57c0fafu);
    StepF<12>(d, a, b, c, Word(p, 5), 0x4787c62au);
    StepF<17>(c, d, a, b, Word(p, 6), 0xa8304613u);
    StepF<22>(b, c, d, a, Word(p, 7), 0xfd469501u);
    StepF<7>(a, b, c, d, Word(p, 8), 0x698098d8u);
    StepF<12>(d, a, b, c, Word(p, 9), 0x8b44f7afu);
    StepF<17>(c, d, a, b, Word(p, 10), 0xffff5bb1u);
    StepF<22>(b, c, d, a, Word(p, 11), 0x895cd7beu);
    StepF<7>(a, b, c, d, Word(p, 12), 0x6b901122u);
    StepF<12>(d, a, b, c, Word(p, 13), 0xfd987193u);
    StepF<17>(c, d, a, b, Word(p, 14), 0xa679438eu);
    StepF<22>(b, c, d, a, Word(p, 15), 0x49b40821u);

    StepG<5>(a, b, c, d, Word(p, 1), 0xf61e2562u);
    StepG<9>(d, a, b, c, Word(p, 6), 0xc040b340u);
    StepG<14>(c, d, a, b, Word(p, 11), 0x265e5a51u);
    StepG<20>(b, c, d, a, Word(p, 0), 0xe9b6c7aau);
    StepG<5>(a, b, c, d, Word(p, 5), 0xd62f105du);
    StepG<9>(d, a, b, c, Word(p, 10), 0x02441453u);
    StepG<14>(c, d, a, b, Word(p, 15), 0xd8a1e681u);
    StepG<20>(b, c, d, a, Word(p, 4), 0xe7d3fbc8u);
    StepG<5>(a, b, c, d, Word(p, 9), 0x21e1cde6u);
    StepG<9>(d, a, b, c, Word(p, 14), 0xc33707d6u);
    StepG<14>(c, d, a, b, Word(p, 3), 0xf4d50d87u);
    StepG<20>(b, c, d, a, Word(p, 8), 0x455a14edu);
    StepG<5>(a, b, c, d, Word(p, 13), 0xa9e3e905u);
    StepG<9>(d, a, b, c, Word(p, 2), 0xfcefa3f8u);
    StepG<14>(c, d, a, b, Word(p, 7), 0x676f02d9u);
    StepG<20>(b, c, d, a, Word(p, 12), 0x8d2a4c8au);

    StepH<4>(a, b, c, d, Word(p, 5), 0xfffa3942u);
    StepH<11>(d, a, b, c, Word(p, 8), 0x8771f681u);
    StepH<16>(c, d, a, b, Word(p, 11), 0x6d9d6122u);
    StepH<23>(b, c, d, a, Word(p, 14), 0xfde5380cu);
    StepH<4>(a, b, c, d, Word(p, 1), 0xa4beea44u);
    StepH<11>(d, a, b, c, Word(p, 4), 0x4bdecfa9u);
    StepH<16>(c, d, a, b, Word(p, 7), 0xf6bb4b60u);
    StepH<23>(b, c, d, a, Word(p, 10), 0xbebfbc70u);
    StepH<4>(a, b, c, d, Word(p, 13), 0x289b7ec6u);
    StepH<11>(d, a, b, c, Word(p, 0), 0xeaa127fau);
    StepH<16>(c, d, a, b, Word(p, 3), 0xd4ef3085u);
    StepH<23>(b, c, d, a, Word(p, 6), 0x04881d05u);
    StepH<4>(a, b, c, d, Word(p, 9), 0xd9d4d039u);
    StepH<11>(d, a, b, c, Word(p, 12), 0xe6db99e5u);
    StepH<16>(c, d, a, b, Word(p, 15), 0x1fa27cf8u);
    StepH<23>(b, c, d, a, Word(p, 2), 0xc4ac5665u);

    StepI<6>(a, b, c, d, Word(p, 0), 0xf4292244u);
    StepI<10>(d, a, b, c, Word(p, 7), 0x432aff97u);
    StepI<15>(c, d, a, b, Word(p, 14), 0xab9423a7u);
    StepI<21>(b, c, d, a, Word(p, 5), 0xfc93a039u);
    StepI<6>(a, b, c, d, Word(p, 12), 0x655b59c3u);
    StepI<10>(d, a, b, c, Word(p, 3), 0x8f0ccc92u);
    StepI<15>(c, d, a, b, Word(p, 10), 0xffeff47du);
    StepI<21>(b, c, d, a, Word(p, 1), 0x85845dd1u);
    StepI<6>(a, b, c, d, Word(p, 8), 0x6fa87e4fu);
    StepI<10>(d, a, b, c, Word(p, 15), 0xfe2ce6e0u);
    StepI<15>(c, d, a, b, Word(p, 6), 0xa3014314u);
    StepI<21>(b, c, d, a, Word(p, 13), 0x4e0811a1u);
    StepI<6>(a, b, c, d, Word(p, 4), 0xf7537e82u);
    StepI<10>(d, a, b, c, Word(p, 11), 0xbd3af235u);
    StepI<15>(c, d, a, b, Word(p, 2), 0x2ad7d2bbu);
    StepI<21>(b, c, d, a, Word(p, 9), 0xeb86d391u);

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
    : m_state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u},
      m_count{0, 0},
      m_buffer{},
      m_digest{} {}

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
  uint64_t bits =
      (static_cast<uint64_t>(m_count[1]) << 32 | m_count[0]) + (static_cast<uint64_t>(length) << 3);
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
  for (size_t i = 0; i < 16; ++i) {
    text[2 * i] = kHex[m_digest[i] >> 4];
    text[2 * i + 1] = kHex[m_digest[i] & 0xf];
  }
  text[32] = '\0';
  return text;
}

bool ComputeFileMD5(const std::wstring& path, std::wstring& digest) {
  FILE* file = TarvFile::OpenRegularForReading(TarvUtil::FsPath(path));
  if (file == nullptr) return false;
  MD5 md5;
  if (!md5.update(file)) return false;  // update closed the stream
  md5.finalize();
  std::unique_ptr<char[]> hex = md5.hex_digest();
  std::wstring text(hex.get(), hex.get() + std::strlen(hex.get()));
  if (text.empty()) return false;
  digest = text;
  return true;
}

}  // namespace TarvCrypto
