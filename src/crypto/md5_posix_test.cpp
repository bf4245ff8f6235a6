#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "crypto/md5.h"
#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvCrypto {
namespace {

// Paths that open but cannot be read as a regular file to its end.
TEST(ComputeFileMD5PosixTest, SpecialFilesLeaveTheOutputAlone) {
  tarvtest::ScopedTempDir dir;
  ASSERT_EQ(mkfifo(dir.Sub("fifo").c_str(), 0600), 0);
  const std::wstring kPaths[] = {
      TarvUtil::FromFsPath(dir.Sub("fifo")),  // would block a reader forever
      L"/proc/self/mem",                      // a regular file whose reads fail
  };
  for (const auto& path : kPaths) {
    std::wstring digest = L"earlier";
    EXPECT_FALSE(ComputeFileMD5(path, digest)) << TarvUtil::FsPath(path);
    EXPECT_EQ(digest, L"earlier");
  }
}

}  // namespace
}  // namespace TarvCrypto
