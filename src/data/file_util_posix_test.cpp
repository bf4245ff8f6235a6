#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "data/file_util.h"
#include "support/test_support.h"

namespace {

using TarvUtil::FsPath;

std::wstring W(const std::string& s) { return TarvUtil::FromFsPath(s); }

TEST(FileUtil, MakeDirectory) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("file"), "x");
  struct Case {
    std::string path;
    bool ok;
    int err;  // errno expected after a failure
  } cases[] = {
      {"", false, 0},
      {dir.Sub("a/b/c"), true, 0},      // every level from the outermost
      {dir.Sub("a\\b\\c\\"), true, 0},  // existing, one trailing separator
      {dir.Sub("\xc3\xbc/n\xc3\xa9u"), true, 0},
      {dir.Sub("file"), false, EEXIST},      // a file is in the way
      {dir.Sub("file/sub"), false, EEXIST},  // the parent is a file
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(TarvUtil::MakeDirectory(W(c.path)), c.ok) << c.path;
    if (!c.ok && c.err) {
      EXPECT_EQ(errno, c.err) << c.path;
    }
    if (c.ok) {
      struct stat st;
      EXPECT_EQ(stat(FsPath(W(c.path)).c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
  }
}

TEST(FileUtil, DeleteDirectoryTreeRemovesLinksWithoutFollowing) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("outside/keep.txt"), "keep");
  tarvtest::WriteFile(dir.Sub("tree/a/b/f.txt"), "f");
  tarvtest::WriteFile(dir.Sub("tree/\xc3\xa4\xe4.bin"), "non-ASCII and not UTF-8");
  tarvtest::WriteFile(dir.Sub("tree/empty"), "");
  ASSERT_EQ(symlink(dir.Sub("outside").c_str(), dir.Sub("tree/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink(dir.Sub("outside/keep.txt").c_str(), dir.Sub("tree/filelink").c_str()), 0);
  EXPECT_TRUE(TarvUtil::DeleteDirectoryTree(W(dir.Sub("tree"))));
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("tree")));
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("outside/keep.txt")), "keep");
  EXPECT_FALSE(TarvUtil::DeleteDirectoryTree(W(dir.Sub("missing"))));
  // A link at the tree's own name: the folder it points to keeps its files.
  ASSERT_EQ(symlink(dir.Sub("outside").c_str(), dir.Sub("toplink").c_str()), 0);
  EXPECT_FALSE(TarvUtil::DeleteDirectoryTree(W(dir.Sub("toplink"))));
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("outside/keep.txt")), "keep");
}

// Makes a file that nobody, root included, can delete; false where the file
// system has no immutable attribute.
bool MakeUndeletable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return ok;
}

TEST(FileUtil, DeleteDirectoryTreeKeepsGoingPastAFileItCannotDelete) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("t/sub/stuck.txt"), "s");
  tarvtest::WriteFile(dir.Sub("t/sub/a.txt"), "a");
  tarvtest::WriteFile(dir.Sub("t/sub/z.txt"), "z");
  if (!MakeUndeletable(dir.Sub("t/sub/stuck.txt"), true)) {
    GTEST_SKIP() << "no immutable attribute on this file system";
  }
  EXPECT_FALSE(TarvUtil::DeleteDirectoryTree(W(dir.Sub("t"))));
  EXPECT_TRUE(tarvtest::FileExists(dir.Sub("t/sub/stuck.txt")));
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("t/sub/a.txt")));
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("t/sub/z.txt")));
  EXPECT_TRUE(tarvtest::FileExists(dir.Sub("t/sub")));
  MakeUndeletable(dir.Sub("t/sub/stuck.txt"), false);
}

}  // namespace
