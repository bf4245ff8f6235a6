#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvCrypto {
namespace {

std::string ReferenceMD5(const std::string& data) { return tarvtest::Md5Hex(data); }

// Digest of `data` fed to update in pieces of the given sizes (cycled).
std::string OurMD5(const std::string& data, const std::vector<size_t>& pieces = {}) {
  MD5 md5;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  size_t done = 0, k = 0;
  while (done < data.size()) {
    size_t n =
        pieces.empty() ? data.size() : std::min(pieces[k++ % pieces.size()], data.size() - done);
    md5.update(p + done, n);
    done += n;
  }
  md5.finalize();
  return md5.hex_digest().get();
}

TEST(MD5Test, Rfc1321Suite) {
  const std::pair<std::string, std::string> kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, expected] : kCases) {
    EXPECT_EQ(OurMD5(input), expected) << "input \"" << input << "\"";
    EXPECT_EQ(ReferenceMD5(input), expected) << "reference for \"" << input << "\"";
  }
}

// Lengths around the padding limit (55/56), the block size and the old read
// size, fed at once and in awkward pieces, against the reference.
TEST(MD5Test, BlockAndPieceBoundariesMatchReference) {
  const size_t kLengths[] = {0,   1,   55,  56,  57,   63,   64,   65,
                             119, 120, 127, 128, 1023, 1024, 1025, 4096 + 17};
  const std::vector<std::vector<size_t>> kPieces = {{},   {1},     {3, 61},      {63},
                                                    {64}, {65, 7}, {1000, 24, 1}};
  for (size_t len : kLengths) {
    std::string data = tarvtest::RandomBytes(len, static_cast<unsigned>(len));
    std::string expected = ReferenceMD5(data);
    for (const auto& pieces : kPieces) {
      EXPECT_EQ(OurMD5(data, pieces), expected)
          << "length " << len << ", " << pieces.size() << " piece sizes";
    }
  }
}

TEST(MD5Test, MisuseWritesTheMessageAndChangesNothing) {
  MD5 md5;
  testing::internal::CaptureStderr();
  EXPECT_STREQ(md5.hex_digest().get(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "MD5::hex_digest:  Can't get digest if you haven't finalized the digest!\n");

  md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  md5.finalize();
  testing::internal::CaptureStderr();
  md5.update(reinterpret_cast<const unsigned char*>("x"), 1);
  md5.finalize();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "MD5::update:  Can't update a finalized digest!\n"
            "MD5::finalize:  Already finalized this digest!\n");
  EXPECT_STREQ(md5.hex_digest().get(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MD5Test, StreamConstructorReadsFromCurrentPositionAndCloses) {
  tarvtest::ScopedTempDir dir;
  std::string data = tarvtest::RandomBytes(3 * 1048576 + 5, 11);  // beyond one read piece
  tarvtest::WriteFile(dir.Sub("f"), data);
  FILE* f = fopen(dir.Sub("f").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fseek(f, 10, SEEK_SET), 0);
  MD5 md5(f);  // owns and closes f
  EXPECT_EQ(std::string(md5.hex_digest().get()), ReferenceMD5(data.substr(10)));
}

TEST(ComputeFileMD5Test, FilesOfBoundarySizesAndNames) {
  tarvtest::ScopedTempDir dir;
  struct Case {
    std::string name;
    size_t size;
  };
  const Case kCases[] = {{"empty", 0},
                         {"block", 64},
                         {"chunk+1", 1025},
                         {"mib", 1048576},
                         {"mib+1", 1048577},
                         {"größe ünd ßpace.bin", 300},
                         {"日本語", 2 * 1048576 - 1}};
  for (const auto& c : kCases) {
    std::string data = tarvtest::RandomBytes(c.size, static_cast<unsigned>(c.size) + 3);
    tarvtest::WriteFile(dir.Sub(c.name), data);
    std::wstring digest = L"unchanged";
    ASSERT_TRUE(ComputeFileMD5(TarvUtil::FromFsPath(dir.Sub(c.name)), digest)) << c.name;
    EXPECT_EQ(TarvUtil::FsPath(digest), ReferenceMD5(data)) << c.name;
  }
}

TEST(ComputeFileMD5Test, UnreadablePathsLeaveTheOutputAlone) {
  tarvtest::ScopedTempDir dir;
  tarvtest::MakeDirs(dir.Sub("folder"));
  const std::wstring kPaths[] = {
      TarvUtil::FromFsPath(dir.Sub("folder")),
      TarvUtil::FromFsPath(dir.Sub("missing")),
      TarvUtil::FromFsPath(dir.path()) + L"/\u4e2d\U0001F600.dat",
      L"",
  };
  for (const auto& path : kPaths) {
    std::wstring digest = L"earlier";
    EXPECT_FALSE(ComputeFileMD5(path, digest)) << TarvUtil::FsPath(path);
    EXPECT_EQ(digest, L"earlier");
  }
}

}  // namespace
}  // namespace TarvCrypto
