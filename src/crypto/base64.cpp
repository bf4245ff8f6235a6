#include "crypto/base64.h"

#include <sodium.h>

namespace TarvCrypto {

std::string EncodeBase64(const uint8_t* bytes, size_t size) {
  if (sodium_init() < 0) return std::string();
  const size_t room = sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL);
  std::string out(room, '\0');
  sodium_bin2base64(out.data(), room, bytes, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(room - 1);  // the terminating zero
  return out;
}

bool DecodeBase64(std::string_view text, std::vector<uint8_t>* bytes) {
  if (sodium_init() < 0) return false;
  std::vector<uint8_t> out(text.size() / 4 * 3 + 3);
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size()) {
    return false;
  }
  out.resize(length);
  *bytes = std::move(out);
  return true;
}

}  // namespace TarvCrypto
