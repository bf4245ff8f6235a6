#include "data/file_util.h"

#include <gtest/gtest.h>

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
