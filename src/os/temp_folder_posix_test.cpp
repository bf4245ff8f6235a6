#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "data/file_util.h"
#include "os/temp_folder.h"
#include "support/test_support.h"

namespace {

using tarvtest::ScopedEnv;

std::string Mode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "missing";
  char text[16];
  snprintf(text, sizeof text, "%s%o",
           S_ISDIR(st.st_mode)   ? "d"
           : S_ISLNK(st.st_mode) ? "l"
                                 : "f",
           st.st_mode & 07777);
  return text;
}

TEST(TempFolder, TempVariableWinsAndIsCreatedWithParents) {
  tarvtest::ScopedTempDir dir;
  ScopedEnv temp("TEMP", dir.Sub("a/b/c").c_str());
  std::wstring folder;
  ASSERT_TRUE(TarvUtil::EnsureTempFolder(&folder));
  EXPECT_EQ(TarvUtil::FsPath(folder), dir.Sub("a/b/c"));
  EXPECT_EQ(Mode(dir.Sub("a/b/c"))[0], 'd');

  tarvtest::WriteFile(dir.Sub("file"), "x");
  ScopedEnv file("TEMP", dir.Sub("file").c_str());
  folder.clear();
  EXPECT_FALSE(TarvUtil::EnsureTempFolder(&folder));
  EXPECT_TRUE(folder.empty());
}

TEST(TempFolder, PrivateFolderIsOnlyTheUsersOwn) {
  tarvtest::ScopedTempDir dir;
  ScopedEnv temp("TEMP", nullptr);
  ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
  std::string expected = dir.Sub("tarv-patcher-" + std::to_string(geteuid()));
  EXPECT_EQ(TarvUtil::FsPath(TarvUtil::TempFolderPath()), expected);

  struct Case {
    const char* what;
    void (*prepare)(const std::string& path, const std::string& dir);
    bool accepted;
    const char* mode_after;
  } cases[] = {
      {"missing", [](const std::string&, const std::string&) {}, true, "d700"},
      {"too open",
       [](const std::string& p, const std::string&) {
         mkdir(p.c_str(), 0777);
         chmod(p.c_str(), 0777);
       },
       true, "d700"},
      {"a link to a folder",
       [](const std::string& p, const std::string& d) {
         mkdir((d + "/elsewhere").c_str(), 0700);
         symlink((d + "/elsewhere").c_str(), p.c_str());
       },
       false, "l777"},
      {"a file", [](const std::string& p, const std::string&) { tarvtest::WriteFile(p, ""); },
       false, "f"},
  };
  for (const auto& c : cases) {
    tarvtest::RemoveTree(expected);
    c.prepare(expected, dir.path());
    std::wstring folder;
    EXPECT_EQ(TarvUtil::EnsureTempFolder(&folder), c.accepted) << c.what;
    EXPECT_EQ(Mode(expected).rfind(c.mode_after, 0), 0u) << c.what << ": " << Mode(expected);
  }
  tarvtest::RemoveTree(expected);
}

TEST(TempFolder, PrivateFolderOfAnotherOwnerIsRefused) {
  if (geteuid() != 0) {
    // Without root no folder of another owner can be made; the check is the
    // same one the root run exercises.
    ScopedEnv temp("TEMP", nullptr);
    ScopedEnv tmpdir("TMPDIR", "/proc");
    EXPECT_FALSE(TarvUtil::EnsureTempFolder(nullptr));
    return;
  }
  tarvtest::ScopedTempDir dir;
  ScopedEnv temp("TEMP", nullptr);
  ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
  std::string path = TarvUtil::FsPath(TarvUtil::TempFolderPath());
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(TarvUtil::EnsureTempFolder(nullptr));
}

}  // namespace
