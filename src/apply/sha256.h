// SHA-256 with which repair identifies a file's content, written as 64
// lower-case hexadecimal digits. The digest itself is OpenSSL's; this only
// streams files through it. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace TarvPatch {

// The digest of `size` bytes at `data`.
std::string Sha256Hex(const void* data, size_t size);

// The digest and the size of the regular file at `path` (a narrow, UTF-8
// path). False when it cannot be opened or read to its end; the outputs are
// then unchanged.
bool Sha256File(const std::string& path, std::string* hex, uint64_t* size);

// True when `text` is 64 lower-case hexadecimal digits.
bool IsSha256Hex(const std::string& text);

}  // namespace TarvPatch
