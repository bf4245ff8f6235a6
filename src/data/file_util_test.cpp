#include "data/file_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "support/test_support.h"

namespace {

using TarvUtil::FsPath;

std::wstring W(const std::string& s) { return TarvUtil::FromFsPath(s); }

TEST(FileUtil, JoinPath) {
  struct Case {
    std::wstring base, rel, joined;
  } cases[] = {
      {L"C:\\Game", L"\\Data\\x.txt", L"C:\\Game/Data\\x.txt"},
      {L"C:\\Game\\", L"x", L"C:\\Game\\x"},
      {L"", L"\\x", L"\\x"},
      {L"/srv/", L"//a/b", L"/srv/a/b"},
      {L"base", L"", L"base/"},
      {L"base", L"\\/\\", L"base/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TarvUtil::JoinPath(c.base, c.rel), c.joined);
  }
}

TEST(FileUtil, NarrowTable) {
  struct Case {
    std::wstring wide;
    std::string narrow;
  } cases[] = {
      {L"C:\\Games\\Tarv ~\x7f", "C:\\Games\\Tarv ~\x7f"},
      {L"\t\r\n", "\t\r\n"},
      {L"M\u00fcnchen", "M?nchen"},  // an umlaut is not in the table
      {std::wstring(L"a\0b", 3), "a?b"},
      {L"\u00ab\u00b0\u00bb", "\xab\xb0\xbb"},
      {L"\u2013\u2018\u2019\u201c\u201d\u2026", "\x96\x91\x92\x93\x94\x85"},
      {L"\u00a0\u20ac\x1f", "???"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TarvUtil::ToNarrow(c.wide), c.narrow);
  }
  // Back from disk: table bytes return, others do not become another name.
  EXPECT_EQ(TarvUtil::ToWide("\x96\x91\x92\x93\x94\x85\xab\xb0\xbb"
                             "a"),
            L"\u2013\u2018\u2019\u201c\u201d\u2026\u00ab\u00b0\u00bb"
            L"a");
  EXPECT_EQ(TarvUtil::ToNarrow(TarvUtil::ToWide("\xe4\x80")), "??");
}

TEST(FileUtil, FsPathUsesSlashesAndUtf8) {
  EXPECT_EQ(FsPath(L"C:\\Game/Data\\\u00e4.txt"), "C:/Game/Data/\xc3\xa4.txt");
  EXPECT_EQ(TarvUtil::FromFsPath("/x/\xc3\xa4"), L"/x/\u00e4");
}

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

TEST(FileUtil, TempNamesCountUpByOne) {
  std::wstring a = TarvUtil::MakeTempFilePath(L"/tmp/x");
  std::wstring b = TarvUtil::MakeTempFilePath(L"/tmp/x/");
  ASSERT_EQ(a.rfind(L"/tmp/x/file", 0), 0u);
  ASSERT_EQ(b.rfind(L"/tmp/x/file", 0), 0u);
  unsigned long na = std::stoul(a.substr(11)), nb = std::stoul(b.substr(11));
  EXPECT_EQ(static_cast<uint32_t>(nb - na), 1u);
}

TEST(FileUtil, SingleFileOperations) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("a"), "12345");
  tarvtest::WriteFile(dir.Sub("b"), "b");
  uint64_t size = 99;
  EXPECT_EQ(TarvUtil::QueryFileSize(W(dir.Sub("a")), size), DB_OK);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(TarvUtil::QueryFileSize(W(dir.Sub("missing")), size), DB_IO_ERROR);
  EXPECT_EQ(size, 0u);
  // An existing target makes a rename fail and leaves both files.
  EXPECT_FALSE(TarvUtil::RenameFile(W(dir.Sub("a")), W(dir.Sub("b"))));
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("b")), "b");
  tarvtest::MakeDirs(dir.Sub("sub"));
  EXPECT_TRUE(TarvUtil::RenameFile(W(dir.Sub("a")), W(dir.Sub("sub\\\xc3\xa4"
                                                              "c"))));
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("a")));
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("sub/\xc3\xa4"
                                       "c")),
            "12345");
  EXPECT_TRUE(TarvUtil::RemoveFile(W(dir.Sub("b"))));
  EXPECT_FALSE(TarvUtil::RemoveFile(W(dir.Sub("b"))));
}

}  // namespace
