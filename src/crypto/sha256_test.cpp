#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

// The streaming form gives the one-shot digest however the bytes are cut,
// including empty pieces and pieces across the 64-byte block.
TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
  const std::string million(1000000, 'a');
  struct {
    std::vector<size_t> pieces;
  } cases[] = {{{1}}, {{0, 63, 1, 64, 65}}, {{4096, 0, 7}}, {{1000000}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pieces.size());
    Sha256 sha;
    size_t done = 0, k = 0;
    while (done < million.size()) {
      const size_t n = std::min(c.pieces[k++ % c.pieces.size()], million.size() - done);
      sha.Update(million.data() + done, n);
      done += n;
    }
    Sha256Digest digest;
    ASSERT_TRUE(sha.Finish(&digest));
    EXPECT_EQ(ToHex(digest), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
  Sha256 spent;
  Sha256Digest digest;
  ASSERT_TRUE(spent.Finish(&digest));
  EXPECT_FALSE(spent.Finish(&digest)) << "a finished digest is spent";
}

}  // namespace
}  // namespace TarvCrypto
