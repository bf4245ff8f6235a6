#include "crypto/publisher_key.h"

#include <gtest/gtest.h>

#include "crypto/base64.h"
#include "crypto/secret_key.h"
#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvCrypto {
namespace {

std::string B64(const std::string& bytes) {
  return EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(PublisherKey, AFileHoldsOneOrMoreKeysForRotation) {
  const PublisherKey a = GenerateSecretKey().PublicKey(), b = GenerateSecretKey().PublicKey();
  struct {
    const char* name;
    std::string text;
    size_t count;
  } cases[] = {
      {"one", FormatPublisherKey(a), 1},
      {"two", FormatPublisherKey(a) + FormatPublisherKey(b), 2},
      {"empty lines between and around",
       "\n" + FormatPublisherKey(a) + "\n\n" + FormatPublisherKey(b) + "\n", 2},
      {"no final line end", FormatPublisherKey(a).substr(0, FormatPublisherKey(a).size() - 1), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<PublisherKey> keys;
    std::string error;
    ASSERT_TRUE(ParsePublisherKeys(c.text, &keys, &error)) << error;
    ASSERT_EQ(keys.size(), c.count);
    EXPECT_EQ(keys[0].id, a.id);
    EXPECT_EQ(keys[0].key, a.key);
    if (c.count == 2) {
      EXPECT_EQ(keys[1].key, b.key);
    }
  }
}

TEST(PublisherKey, MalformedFilesAreRefusedWithTheirReason) {
  const std::string key = B64("Ed" + std::string(40, 'k'));
  struct {
    const char* name;
    std::string text;
    std::string error;
  } cases[] = {
      {"empty", "", "holds no key"},
      {"only empty lines", "\n\n", "holds no key"},
      {"key without comment", key + "\n", "line 1: expected \"untrusted comment: \" before a key"},
      {"comment without key", "untrusted comment: k\n",
       "line 1: the comment is not followed by a key line"},
      {"comment then empty line", "untrusted comment: k\n\n" + key + "\n",
       "line 1: the comment is not followed by a key line"},
      {"CRLF", "untrusted comment: k\r\n" + key + "\r\n",
       "has CR LF line ends (only LF is accepted)"},
      {"wrong base64", "untrusted comment: k\n" + key.substr(2) + "\n",
       "line 2: the key line is not base64"},
      {"short key", "untrusted comment: k\n" + B64("Ed" + std::string(39, 'k')) + "\n",
       "line 2: the key line holds 41 bytes instead of 42"},
      {"wrong algorithm", "untrusted comment: k\n" + B64("EE" + std::string(40, 'k')) + "\n",
       "line 2: the key is not an Ed25519 key (algorithm bytes are not \"Ed\")"},
      {"second pair broken", "untrusted comment: k\n" + key + "\nuntrusted comment: k\nxx\n",
       "line 4: the key line is not base64"},
      {"too large", std::string(64 * 1024 + 1, '\n'), "is larger than 64 KiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<PublisherKey> keys;
    std::string error;
    EXPECT_FALSE(ParsePublisherKeys(c.text, &keys, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(keys.empty());
  }
}

TEST(PublisherKey, LoadingTellsAbsentFromBroken) {
  tarvtest::ScopedTempDir dir;
  const std::wstring path = TarvUtil::FromFsPath(dir.Sub("tarv-publisher.pub"));
  std::vector<PublisherKey> keys;
  std::string error;
  EXPECT_EQ(LoadPublisherKeys(path, &keys, &error), KeyFileState::kAbsent);
  tarvtest::WriteFile(dir.Sub("tarv-publisher.pub"), "untrusted comment: k\n");
  EXPECT_EQ(LoadPublisherKeys(path, &keys, &error), KeyFileState::kBroken);
  EXPECT_EQ(error, "line 1: the comment is not followed by a key line");
  tarvtest::WriteFile(dir.Sub("tarv-publisher.pub"),
                      FormatPublisherKey(GenerateSecretKey().PublicKey()));
  EXPECT_EQ(LoadPublisherKeys(path, &keys, &error), KeyFileState::kLoaded);
  EXPECT_EQ(keys.size(), 1u);
  // A folder in the key file's place is no key file either.
  tarvtest::MakeDirs(dir.Sub("folder"));
  EXPECT_EQ(LoadPublisherKeys(TarvUtil::FromFsPath(dir.Sub("folder")), &keys, &error),
            KeyFileState::kBroken);
}

}  // namespace
}  // namespace TarvCrypto
