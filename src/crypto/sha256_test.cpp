#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvCrypto {
namespace {

TEST(Sha256, KnownDigestsOfBytesAndFiles) {
  struct {
    std::string bytes, digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // Crosses the file reader's 64 KiB pieces.
      {std::string(200000, 'a'),
       "2287d207f24a941ff3b56c04c8a25ad56b63e3023207b3bb5b4ac0c9869d74be"},
  };
  tarvtest::ScopedTempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    EXPECT_EQ(Sha256Hex(c.bytes.data(), c.bytes.size()), c.digest);
    tarvtest::WriteFile(dir.Sub("f"), c.bytes);
    std::string digest;
    ASSERT_TRUE(ComputeFileSha256(TarvUtil::FromFsPath(dir.Sub("f")), &digest));
    EXPECT_EQ(digest, c.digest);
  }
  std::string digest = "untouched";
  EXPECT_FALSE(ComputeFileSha256(TarvUtil::FromFsPath(dir.Sub("missing")), &digest));
  EXPECT_FALSE(ComputeFileSha256(TarvUtil::FromFsPath(dir.path()), &digest));
  EXPECT_EQ(digest, "untouched");
}

TEST(Sha256, HexFormIsSixtyFourDigits) {
  const std::string good(64, 'a');
  EXPECT_TRUE(IsSha256Hex(good));
  EXPECT_TRUE(IsSha256Hex(std::string(64, 'F')));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a')));
  EXPECT_FALSE(IsSha256Hex(std::string(65, 'a')));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a') + "g"));
  EXPECT_FALSE(IsSha256Hex(""));
}

}  // namespace
}  // namespace TarvCrypto
