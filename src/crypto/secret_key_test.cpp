#include "crypto/secret_key.h"

#include <gtest/gtest.h>

#include "crypto/base64.h"

namespace TarvCrypto {
namespace {

// The decoded key line of a formatted key, changed by `edit`, formatted back.
template <typename Edit>
std::string Edited(const SecretKey& key, Edit edit) {
  const std::string text = FormatSecretKey(key);
  const size_t lf = text.find('\n');
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(DecodeBase64(text.substr(lf + 1, text.size() - lf - 2), &bytes));
  edit(bytes);
  return text.substr(0, lf + 1) + EncodeBase64(bytes.data(), bytes.size()) + "\n";
}

TEST(SecretKey, RoundTripsAndRefusesWhatItCannotSignWith) {
  const SecretKey key = GenerateSecretKey();
  SecretKey parsed;
  std::string error;
  ASSERT_TRUE(ParseSecretKey(FormatSecretKey(key), &parsed, &error)) << error;
  EXPECT_EQ(parsed.id, key.id);
  EXPECT_EQ(parsed.key, key.key);
  // The minisign program leaves the checksum of an unencrypted key zero.
  ASSERT_TRUE(ParseSecretKey(Edited(key, [](auto& b) { std::fill(b.begin() + 126, b.end(), 0); }),
                             &parsed, &error))
      << error;

  struct {
    const char* name;
    std::string text;
    std::string error;
  } cases[] = {
      {"encrypted", Edited(key, [](auto& b) { b[2] = 'S', b[3] = 'c'; }),
       "the secret key is encrypted with a password; sign with \"minisign -S\" instead"},
      {"unknown derivation", Edited(key, [](auto& b) { b[2] = 'X'; }),
       "line 2: unknown key-derivation algorithm"},
      {"unknown checksum", Edited(key, [](auto& b) { b[4] = 'C'; }),
       "line 2: unknown checksum algorithm (not \"B2\")"},
      {"not Ed25519", Edited(key, [](auto& b) { b[1] = 'D'; }),
       "line 2: not an Ed25519 key (algorithm bytes are not \"Ed\")"},
      {"wrong checksum", Edited(key, [](auto& b) { b[140] ^= 1; }),
       "the secret key is damaged (its checksum or public half does not match)"},
      {"public half of another key", Edited(key, [](auto& b) { b[100] ^= 1; }),
       "the secret key is damaged (its checksum or public half does not match)"},
      {"short", Edited(key, [](auto& b) { b.pop_back(); }),
       "line 2: the key holds 157 bytes instead of 158"},
      {"one line", FormatSecretKey(key).substr(FormatSecretKey(key).find('\n') + 1),
       "expected two lines: \"untrusted comment: ...\" and the key"},
      {"not base64", "untrusted comment: k\n!!!!\n", "line 2: the key is not base64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    error.clear();
    EXPECT_FALSE(ParseSecretKey(c.text, &parsed, &error));
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
}  // namespace TarvCrypto
