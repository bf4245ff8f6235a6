// Base64 with the standard alphabet and padding, as the key and signature
// files of the publisher use it (libsodium underneath). Plain functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TarvCrypto {

std::string EncodeBase64(const uint8_t* bytes, size_t size);

// The bytes that `text` encodes. Strict: no blanks, line breaks or missing
// padding. False for anything else.
bool DecodeBase64(std::string_view text, std::vector<uint8_t>* bytes);

}  // namespace TarvCrypto
