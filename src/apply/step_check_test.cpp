#include "apply/step_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using tarvtest::Md5Hex;
using tarvtest::WriteFile;

// A file unchanged since its digest was taken (device, inode, size, time)
// is not read again; any of those changing makes it read again.
TEST(DigestCacheTest, ReadsAFileAgainOnlyWhenItChanged) {
  tarvtest::ScopedTempDir dir;
  const std::string path = dir.Sub("f.dat");
  WriteFile(path, "first");
  DigestCache cache;
  std::wstring digest;
  ASSERT_TRUE(cache.Digest(TarvUtil::FromFsPath(path), &digest));
  EXPECT_EQ(TarvUtil::FsPath(digest), Md5Hex("first"));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  // Same size and time: the cached digest stands even though the bytes
  // differ, which shows the file was not read.
  WriteFile(path, "fir5t");
  timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(cache.Digest(TarvUtil::FromFsPath(path), &digest));
  EXPECT_EQ(TarvUtil::FsPath(digest), Md5Hex("first"));
  times[1].tv_sec += 1;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(cache.Digest(TarvUtil::FromFsPath(path), &digest));
  EXPECT_EQ(TarvUtil::FsPath(digest), Md5Hex("fir5t"));
  unlink(path.c_str());
  EXPECT_FALSE(cache.Digest(TarvUtil::FromFsPath(path), &digest));
}

// The digests taken ahead on several threads are the ones Digest answers
// with afterwards; what could not be read is left for Digest to report.
TEST(DigestCacheTest, PrefetchedDigestsAreTheOnesAnswered) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: nothing is taken ahead";
  tarvtest::ScopedTempDir dir;
  std::vector<std::wstring> paths;
  std::vector<std::string> contents;
  for (int i = 0; i < 9; ++i) {
    contents.push_back(tarvtest::RandomBytes(100000 + 7 * i, i));
    WriteFile(dir.Sub("f" + std::to_string(i)), contents.back());
    paths.push_back(TarvUtil::FromFsPath(dir.Sub("f" + std::to_string(i))));
  }
  mkdir(dir.Sub("folder").c_str(), 0755);
  paths.push_back(TarvUtil::FromFsPath(dir.Sub("folder")));
  paths.push_back(TarvUtil::FromFsPath(dir.Sub("missing")));
  DigestCache cache;
  cache.Prefetch(paths);
  for (int i = 0; i < 9; ++i) {
    // Same size and time, other bytes: only a digest taken ahead survives.
    const std::string path = dir.Sub("f" + std::to_string(i));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    std::string changed = contents[i];
    changed[0] ^= 1;
    WriteFile(path, changed);
    timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    std::wstring digest;
    ASSERT_TRUE(cache.Digest(paths[i], &digest)) << i;
    EXPECT_EQ(TarvUtil::FsPath(digest), Md5Hex(contents[i])) << i;
  }
  std::wstring digest;
  EXPECT_FALSE(cache.Digest(paths[9], &digest));
  EXPECT_FALSE(cache.Digest(paths[10], &digest));
}

}  // namespace
}  // namespace TarvPatch
