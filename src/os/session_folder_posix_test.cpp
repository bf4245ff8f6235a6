#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "data/file_util.h"
#include "os/session_folder.h"
#include "support/test_support.h"

namespace TarvUtil {
namespace {

std::string Fs(const std::wstring& path) { return FsPath(path); }

TEST(SessionFolder, FreshPrivateFolderRemovedWithItsContent) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("outside/keep.txt"), "keep");
  std::wstring first_path;
  {
    SessionFolder first, second;
    ASSERT_TRUE(first.Create(FromFsPath(dir.path())));
    ASSERT_TRUE(second.Create(FromFsPath(dir.path())));
    EXPECT_NE(first.Path(), second.Path());
    struct stat st;
    ASSERT_EQ(lstat(Fs(first.Path()).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    tarvtest::WriteFile(Fs(first.Path()) + "/work/a.txt", "a");
    ASSERT_EQ(symlink(dir.Sub("outside").c_str(), (Fs(first.Path()) + "/link").c_str()), 0);
    first_path = first.Path();
    second.Remove();
    EXPECT_FALSE(tarvtest::FileExists(Fs(second.Path())));
    EXPECT_FALSE(second.IsCreated());
  }
  EXPECT_FALSE(tarvtest::FileExists(Fs(first_path)));
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("outside/keep.txt")), "keep");

  SessionFolder none;
  EXPECT_FALSE(none.Create(FromFsPath(dir.Sub("missing"))));
  EXPECT_FALSE(none.Create(FromFsPath(dir.Sub("outside/keep.txt"))));
  EXPECT_FALSE(none.IsCreated());
}

TEST(SessionFolder, RemovedAtAnAbruptEnd) {
  tarvtest::ScopedTempDir dir;
  SessionFolder held;
  ASSERT_TRUE(held.Create(FromFsPath(dir.path())));
  tarvtest::WriteFile(Fs(held.Path()) + "/1_to_2.zip", "zip");
  RemoveSessionFoldersNow();
  EXPECT_FALSE(tarvtest::FileExists(Fs(held.Path())));
}

TEST(SessionFolder, ExclusiveNamesRefuseWhatIsThere) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("victim"), "keep");
  ASSERT_EQ(symlink(dir.Sub("victim").c_str(), dir.Sub("link").c_str()), 0);
  ASSERT_EQ(symlink(dir.Sub("nowhere").c_str(), dir.Sub("dangling").c_str()), 0);
  EXPECT_TRUE(CreateExclusiveFile(FromFsPath(dir.Sub("new"))));
  EXPECT_FALSE(CreateExclusiveFile(FromFsPath(dir.Sub("new"))));
  EXPECT_FALSE(CreateExclusiveFile(FromFsPath(dir.Sub("link"))));
  EXPECT_FALSE(CreateExclusiveFile(FromFsPath(dir.Sub("dangling"))));
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("victim")), "keep");
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("nowhere")));
  EXPECT_TRUE(CreateExclusiveFolder(FromFsPath(dir.Sub("d"))));
  EXPECT_FALSE(CreateExclusiveFolder(FromFsPath(dir.Sub("d"))));
  EXPECT_FALSE(CreateExclusiveFolder(FromFsPath(dir.Sub("link"))));
}

}  // namespace
}  // namespace TarvUtil
