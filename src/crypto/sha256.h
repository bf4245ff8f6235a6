// SHA-256, the digest that names a patch archive in the catalogue, a repair
// object in the store and a rebuilt file in the second difference format.
// The system's library computes it: OpenSSL's EVP on Linux (with the
// processor's SHA instructions where there are some), CNG on Windows. A
// Sha256 digests one message and has one owner at a time; the plain
// functions are safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace TarvCrypto {

// The platform library's digest state.
struct Sha256State;

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds `size` bytes. Does nothing once the object has failed.
  void Update(const void* bytes, size_t size);
  // The digest of every byte added. False when the library could not set up
  // or run the digest (out of memory); the object is spent either way.
  bool Finish(Sha256Digest* digest);

 private:
  Sha256State* m_state;
  bool m_ok;
};

// 64 lower-case hexadecimal digits.
std::string ToHex(const Sha256Digest& digest);

// The digest of `size` bytes in hexadecimal; empty when the library failed.
std::string Sha256Hex(const void* bytes, size_t size);

// The digest of the file at `path`, read in pieces. False, with `digest`
// unchanged, when the file cannot be opened or read to its end.
bool ComputeFileSha256(const std::wstring& path, std::string* digest);

// True for exactly 64 hexadecimal digits of either case.
bool IsSha256Hex(const std::string& text);

}  // namespace TarvCrypto
