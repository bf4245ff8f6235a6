// SHA-256 (libsodium) as the catalogue names a patch archive: 64 lower-case
// hexadecimal digits. Plain functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace TarvCrypto {

// The digest of `size` bytes.
std::string Sha256Hex(const void* bytes, size_t size);

// The digest of the file at `path`, read in pieces. False, with `digest`
// unchanged, when the file cannot be opened or read to its end.
bool ComputeFileSha256(const std::wstring& path, std::string* digest);

// True for exactly 64 hexadecimal digits of either case.
bool IsSha256Hex(const std::string& text);

}  // namespace TarvCrypto
