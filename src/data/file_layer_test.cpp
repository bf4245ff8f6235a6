// The file layer's promises that hold on every platform, as one table per
// kind of call: the Linux and the Windows build run the same rows, so a
// platform whose calls behave differently fails here.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "data/file_io.h"
#include "data/file_status.h"
#include "data/file_util.h"
#include "data/mapped_file.h"
#include "support/test_support.h"

namespace TarvFile {
namespace {

std::wstring W(const std::string& s) { return TarvUtil::FromFsPath(s); }

// Replacing a file: what is at the target before, and what the replacement
// leaves there.
TEST(FileLayer, ReplaceFileTable) {
  struct Case {
    const char* name;
    std::function<void(const tarvtest::ScopedTempDir&)> before;
    FileMode mode;
    bool ok;
    const char* after;  // the target's bytes
    bool writable;      // the owner may still write it
  };
  auto existing = [](const tarvtest::ScopedTempDir& d) {
    tarvtest::WriteFile(d.Sub("t"), "old bytes");
  };
  auto read_only = [](const tarvtest::ScopedTempDir& d) {
    ASSERT_TRUE(ReplaceFile(d.Sub("t"), "old", {.mode = 0444}));
  };
  const Case kCases[] = {
      {"new file", nullptr, ReplaceOptions::kKeepMode, true, "new", true},
      {"over a file", existing, ReplaceOptions::kKeepMode, true, "new", true},
      {"over a read-only file, mode kept", read_only, ReplaceOptions::kKeepMode, true, "new",
       false},
      {"read-only asked", existing, 0444, true, "new", false},
      {"into a missing folder", nullptr, ReplaceOptions::kKeepMode, false, nullptr, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    tarvtest::ScopedTempDir dir;
    if (c.before) c.before(dir);
    const std::string target = c.after == nullptr && !c.ok ? dir.Sub("no/such/t") : dir.Sub("t");
    std::string error;
    EXPECT_EQ(ReplaceFile(target, "new", {.mode = c.mode}, &error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(tarvtest::ReadFile(target), c.after);
    FileStatus status;
    ASSERT_TRUE(StatusOf(target, &status));
    EXPECT_EQ((status.mode & 0200) != 0, c.writable);
    // Nothing of the temporary file is left beside the target.
    EXPECT_EQ(tarvtest::SnapshotTree(dir.path()).size(), 1u);
  }
}

// An uncommitted replacement leaves the target as it was and no trace.
TEST(FileLayer, AbandonedReplacementLeavesTheTarget) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("t"), "kept");
  {
    AtomicFile file;
    ASSERT_TRUE(file.Create(dir.Sub("t")));
    ASSERT_TRUE(file.Write("lost"));
  }
  EXPECT_EQ(tarvtest::SnapshotTree(dir.path()),
            (std::vector<std::pair<std::string, std::string>>{{"t", "kept"}}));
}

TEST(FileLayer, ReadWholeFileTable) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("five"), "12345");
  tarvtest::MakeDirs(dir.Sub("folder"));
  struct Case {
    std::string path;
    uint64_t limit;
    ReadResult result;
    const char* bytes;
  };
  const Case kCases[] = {
      {dir.Sub("five"), 5, ReadResult::kOk, "12345"},
      {dir.Sub("five"), 4, ReadResult::kTooLarge, ""},
      {dir.Sub("missing"), 100, ReadResult::kMissing, ""},
      {dir.Sub("folder"), 100, ReadResult::kFailed, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path + " limit " + std::to_string(c.limit));
    std::string bytes = "earlier", error;
    EXPECT_EQ(ReadWholeFile(c.path, c.limit, &bytes, &error), c.result);
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_EQ(error.empty(), c.result == ReadResult::kOk);
  }
}

// Single calls on names: each row's call, whether it succeeds, and the
// errno of a failure.
TEST(FileLayer, SingleCallTable) {
  struct Case {
    const char* name;
    std::function<bool(const tarvtest::ScopedTempDir&)> call;
    bool ok;
    int err;
  };
  const Case kCases[] = {
      {"rename over a file replaces it",
       [](const auto& d) {
         return Rename(d.Sub("a"), d.Sub("b")) && tarvtest::ReadFile(d.Sub("b")) == "a";
       },
       true, 0},
      {"rename without replacing refuses an existing target",
       [](const auto& d) { return TarvUtil::RenameFile(W(d.Sub("a")), W(d.Sub("b"))); }, false,
       EEXIST},
      {"unlink of a read-only file", [](const auto& d) { return Unlink(d.Sub("ro")); }, true, 0},
      {"unlink of nothing", [](const auto& d) { return Unlink(d.Sub("missing")); }, false, ENOENT},
      {"unlink of a folder", [](const auto& d) { return Unlink(d.Sub("folder")); }, false, EISDIR},
      {"hard link shares the file",
       [](const auto& d) {
         FileStatus a, l;
         return Link(d.Sub("a"), d.Sub("l")) && StatusOf(d.Sub("a"), &a) &&
                StatusOf(d.Sub("l"), &l) && a.inode == l.inode && a.device == l.device;
       },
       true, 0},
      {"hard link onto an existing name",
       [](const auto& d) { return Link(d.Sub("a"), d.Sub("b")); }, false, EEXIST},
      {"new file where one is", [](const auto& d) { return CreateNew(d.Sub("a"), 0644) >= 0; },
       false, EEXIST},
      {"make folders below a file",
       [](const auto& d) { return TarvUtil::MakeDirectory(W(d.Sub("a"))); }, false, EEXIST},
      {"make nested folders",
       [](const auto& d) {
         FileStatus s;
         return TarvUtil::MakeDirectory(W(d.Sub("x/y/z"))) && StatusOf(d.Sub("x/y/z"), &s) &&
                s.type == FileType::kFolder;
       },
       true, 0},
      {"delete a tree",
       [](const auto& d) {
         tarvtest::WriteFile(d.Sub("folder/deep/f"), "f");
         return TarvUtil::DeleteDirectoryTree(W(d.Sub("folder"))) && !EntryExists(d.Sub("folder"));
       },
       true, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    tarvtest::ScopedTempDir dir;
    tarvtest::WriteFile(dir.Sub("a"), "a");
    tarvtest::WriteFile(dir.Sub("b"), "b");
    ASSERT_TRUE(ReplaceFile(dir.Sub("ro"), "ro", {.mode = 0444}));
    tarvtest::MakeDirs(dir.Sub("folder"));
    errno = 0;
    EXPECT_EQ(c.call(dir), c.ok);
    if (!c.ok) {
      EXPECT_EQ(errno, c.err);
    }
  }
}

// Kinds and sizes, the folder of a path, and a mapping's bytes.
TEST(FileLayer, StatusAndMapping) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("f"), "mapped bytes");
  tarvtest::MakeDirs(dir.Sub("d"));
  FileStatus status;
  ASSERT_TRUE(StatusOf(dir.Sub("f"), &status));
  EXPECT_EQ(status.type, FileType::kRegular);
  EXPECT_EQ(status.size, 12u);
  ASSERT_TRUE(StatusOf(dir.Sub("d"), &status));
  EXPECT_EQ(status.type, FileType::kFolder);
  EXPECT_FALSE(StatusOf(dir.Sub("none"), &status));
  EXPECT_EQ(errno, ENOENT);
  Mapping m;
  ASSERT_TRUE(MapForReading(dir.Sub("f"), &m));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data), m.size), "mapped bytes");
  EXPECT_TRUE(Unmap(&m));
  EXPECT_FALSE(MapForReading(dir.Sub("d"), &m));
  uint64_t free = 0;
  EXPECT_TRUE(FreeSpace(dir.path(), &free));
  EXPECT_GT(free, 0u);
}

}  // namespace
}  // namespace TarvFile
