#include "os/session_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "diag/text_encoding.h"
#include "support/test_support.h"

namespace TarvUtil {
namespace {

namespace fs = std::filesystem;

// A fresh parent per test, inside the system's temporary folder.
class SessionFolderEverywhere : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_ = fs::temp_directory_path() /
              ("tarv-session-parent-" + std::to_string(tarvtest::UniqueNumber()));
    fs::create_directories(parent_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(parent_, ignored);
  }
  std::wstring Parent() const { return TarvText::FromUtf8(parent_.string()); }
  static fs::path PathOf(const std::wstring& path) { return fs::path(TarvText::ToUtf8(path)); }

  fs::path parent_;
};

TEST_F(SessionFolderEverywhere, FreshFoldersAreMadeAndRemovedWhole) {
  SessionFolder first, second;
  ASSERT_TRUE(first.Create(Parent()));
  ASSERT_TRUE(second.Create(Parent()));
  EXPECT_NE(first.Path(), second.Path());
  const fs::path inside = PathOf(first.Path());
  EXPECT_TRUE(fs::is_directory(inside));
  EXPECT_EQ(inside.filename().string().rfind("tarv-", 0), 0u) << inside;
  EXPECT_EQ(inside.filename().string().size(), 11u) << inside;

  // What the session puts there is this user's to write and goes with it.
  const std::wstring file = first.Path() + L"/archive.zip";
  ASSERT_TRUE(CreateExclusiveFile(file));
  EXPECT_FALSE(CreateExclusiveFile(file));  // never over an existing name
  ASSERT_TRUE(CreateExclusiveFolder(first.Path() + L"/work"));
  EXPECT_FALSE(CreateExclusiveFolder(first.Path() + L"/work"));
  EXPECT_FALSE(CreateExclusiveFolder(L""));
  first.Remove();
  EXPECT_FALSE(fs::exists(inside));
  EXPECT_FALSE(first.IsCreated());

  RemoveSessionFoldersNow();
  EXPECT_FALSE(fs::exists(PathOf(second.Path())));
}

TEST_F(SessionFolderEverywhere, AParentThatIsNoFolderIsRefused) {
  SessionFolder folder;
  EXPECT_FALSE(folder.Create(L""));
  EXPECT_FALSE(folder.Create(Parent() + L"/missing"));
  ASSERT_TRUE(CreateExclusiveFile(Parent() + L"/plain"));
  EXPECT_FALSE(folder.Create(Parent() + L"/plain"));
  EXPECT_FALSE(folder.IsCreated());
}

}  // namespace
}  // namespace TarvUtil
