#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "diag/crash_dump.h"
#include "diag/text_encoding.h"
#include "support/test_support.h"

namespace {

TEST(CrashDumpName, FormatsBaseVersionAndStartTime) {
  struct Case {
    const wchar_t* base;
    int year, month, day, hour, minute, second;
    const wchar_t* name;
  } cases[] = {
      {L"patcher", 2026, 12, 7, 22, 1, 10, L"patcher-v30323-2026.12.07-22.01.10.dmp"},
      {L"patcher", 1999, 1, 31, 0, 0, 0, L"patcher-v30323-1999.01.31-00.00.00.dmp"},
      {L"", 2030, 6, 15, 9, 59, 59, L"-v30323-2030.06.15-09.59.59.dmp"},
  };
  for (const auto& c : cases) {
    std::tm t = {};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month - 1;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    EXPECT_EQ(TarvDiag::CrashDumpFileName(c.base, t), c.name);
  }
  // The name's buffer holds 255 characters and the terminator.
  std::tm t = {};
  EXPECT_TRUE(TarvDiag::CrashDumpFileName(std::wstring(300, L'p'), t).empty());
}

size_t CountFiles(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
  if (d) closedir(d);
  return n;
}

TEST(CrashDumpDeathTest, WrittenOncePerProcessAndOnlyAfterSetUp) {
  tarvtest::ScopedTempDir dir;
  const std::string& folder = dir.path();
  EXPECT_EXIT(
      {
        if (chdir(folder.c_str()) != 0) _exit(10);
        WriteCrashDump();  // not set up: nothing
        if (CountFiles(".") != 0) _exit(11);
        if (!SetUpCrashDump(L"patcher")) _exit(12);
        WriteCrashDump();
        if (CountFiles(".") != 1 || !TarvDiag::CrashDumpWritten()) _exit(13);
        std::string name = TarvText::ToUtf8(TarvDiag::CrashDumpName());
        if (rename(name.c_str(), "first.dmp") != 0) _exit(14);
        WriteCrashDump();  // a second fault writes no second file
        _exit(CountFiles(".") == 1 ? 0 : 15);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(CountFiles(folder), 1u);
  std::string dump = tarvtest::ReadFile(dir.Sub("first.dmp"));
  EXPECT_EQ(dump.rfind("TARV CRASH DUMP 1\nversion 30323\npid ", 0), 0u) << dump;
  EXPECT_NE(dump.find("\nsignal 0\n"), std::string::npos);
  EXPECT_NE(dump.find("\nframe "), std::string::npos);
  EXPECT_NE(dump.find("\nmaps\n"), std::string::npos);
}

TEST(CrashDumpDeathTest, RefusingFolderFallsBackToTheTemporaryFolder) {
  tarvtest::ScopedTempDir dir;
  const std::string& temp = dir.path();
  EXPECT_EXIT(
      {
        setenv("TEMP", temp.c_str(), 1);
        // Nobody, root included, may create files in /proc.
        if (chdir("/proc") != 0) _exit(10);
        if (!SetUpCrashDump(L"patcher")) _exit(11);
        // A file of that name planted in the shared folder is not reused.
        std::string planted = temp + "/" + TarvText::ToUtf8(TarvDiag::CrashDumpName());
        if (symlink((temp + "/target").c_str(), planted.c_str()) != 0) _exit(12);
        WriteCrashDump();
        if (unlink(planted.c_str()) != 0) _exit(13);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(CountFiles(temp), 0u);
  EXPECT_EXIT(
      {
        setenv("TEMP", temp.c_str(), 1);
        if (chdir("/proc") != 0) _exit(10);
        if (!SetUpCrashDump(L"patcher")) _exit(11);
        WriteCrashDump();
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(CountFiles(temp), 1u);
}

}  // namespace
