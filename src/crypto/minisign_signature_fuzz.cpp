// libFuzzer target: any bytes as a server's catalogue signature or an
// installation's key file. Parsing must refuse with a reason or give values
// that format back to a file that parses to the same values; a parsed
// signature is then checked against a fixed key without crashing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crypto/minisign_signature.h"
#include "crypto/publisher_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TarvCrypto::MinisignSignature signature;
  std::string error;
  if (TarvCrypto::ParseMinisignSignature(text, &signature, &error)) {
    if (!error.empty()) abort();
    TarvCrypto::MinisignSignature again;
    if (!TarvCrypto::ParseMinisignSignature(TarvCrypto::FormatMinisignSignature(signature, "u"),
                                            &again, &error) ||
        again.trusted_comment != signature.trusted_comment ||
        again.signature != signature.signature || again.key_id != signature.key_id) {
      abort();
    }
    TarvCrypto::PublisherKey key;
    key.id = signature.key_id;
    if (TarvCrypto::VerifyMinisignSignature(signature, text, {key}) ==
        TarvCrypto::SignatureCheck::kUnknownKey)
      abort();
  } else if (error.empty()) {
    abort();
  }
  std::vector<TarvCrypto::PublisherKey> keys;
  error.clear();
  if (TarvCrypto::ParsePublisherKeys(text, &keys, &error) == keys.empty()) abort();
  return 0;
}
