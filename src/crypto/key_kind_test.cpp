#include "crypto/key_kind.h"

#include <gtest/gtest.h>

#include "crypto/publisher_key.h"
#include "crypto/secret_key.h"

namespace TarvCrypto {
namespace {

TEST(KeyKind, EachKindIsToldFromItsKeyLine) {
  const SecretKey secret = GenerateSecretKey();
  const std::string secret_text = FormatSecretKey(secret);
  const std::string public_text = FormatPublisherKey(secret.PublicKey());
  const std::string signature = FormatMinisignSignature(
      SignMessage(secret, "catalogue", "serial:1 expires:2100-01-01T00:00:00Z"), "signature");
  // An encrypted secret key keeps the layout; its algorithm bytes say "Sc".
  std::string encrypted = secret_text;
  encrypted.replace(encrypted.find('\n') + 1, 6, "RWRTYw");
  struct {
    const char* name;
    std::string text;
    MinisignKeyKind kind;
  } cases[] = {
      {"public key", public_text, MinisignKeyKind::kPublic},
      {"public key after empty lines", "\n\n" + public_text, MinisignKeyKind::kPublic},
      {"secret key", secret_text, MinisignKeyKind::kSecret},
      {"encrypted secret key", encrypted, MinisignKeyKind::kSecret},
      {"signature file", signature, MinisignKeyKind::kNone},
      {"key line cut short", secret_text.substr(0, secret_text.size() - 9) + "\n",
       MinisignKeyKind::kNone},
      {"CR LF line ends", "untrusted comment: k\r\n" + secret_text.substr(secret_text.find('\n')),
       MinisignKeyKind::kNone},
      {"no comment line", secret_text.substr(secret_text.find('\n') + 1), MinisignKeyKind::kNone},
      {"plain text", "untrusted comment: x\nnot base64 at all\n", MinisignKeyKind::kNone},
      {"empty", "", MinisignKeyKind::kNone},
      {"larger than a key file", secret_text + std::string(size_t{64} << 10, '\n'),
       MinisignKeyKind::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SniffMinisignKey(c.text), c.kind);
  }
}

TEST(KeyKind, AKeyOfTheOtherKindIsNamedInWords) {
  const SecretKey secret = GenerateSecretKey();
  const std::string secret_text = FormatSecretKey(secret);
  const std::string public_text = FormatPublisherKey(secret.PublicKey());
  std::string error;
  std::vector<PublisherKey> keys;
  EXPECT_FALSE(ParsePublisherKeys(secret_text, &keys, &error));
  EXPECT_EQ(error, kSecretKeyGivenText);
  // A secret key pasted after a good public key in a rotation file.
  EXPECT_FALSE(ParsePublisherKeys(public_text + "\n" + secret_text, &keys, &error));
  EXPECT_EQ(error, kSecretKeyGivenText);
  SecretKey parsed;
  EXPECT_FALSE(ParseSecretKey(public_text, &parsed, &error));
  EXPECT_EQ(error, kPublicKeyGivenText);
  // Each kind is still read as itself.
  EXPECT_TRUE(ParsePublisherKeys(public_text, &keys, &error)) << error;
  EXPECT_TRUE(ParseSecretKey(secret_text, &parsed, &error)) << error;
}

}  // namespace
}  // namespace TarvCrypto
