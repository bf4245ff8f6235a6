#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "data/file_faults.h"
#include "data/file_io.h"
#include "support/test_support.h"

namespace {

using TarvFile::Call;
using tarvtest::ReadFile;
using tarvtest::ScopedTempDir;
using tarvtest::SnapshotTree;
using tarvtest::WriteFile;

const char* CallName(Call call) {
  static const char* const kNames[] = {"open", "write", "fsync", "rename", "unlink", "link"};
  return kNames[static_cast<int>(call)];
}

TEST(FileIo, FolderOf) {
  EXPECT_EQ(TarvFile::FolderOf("/a/b/c"), "/a/b");
  EXPECT_EQ(TarvFile::FolderOf("/c"), "/");
  EXPECT_EQ(TarvFile::FolderOf("c"), ".");
  EXPECT_EQ(TarvFile::FolderOf("a/c"), "a");
}

TEST(FileIo, ReplaceFileKeepsModeAndLeavesNoTemporary) {
  ScopedTempDir dir;
  const std::string target = dir.Sub("hive.ini");
  WriteFile(target, "old");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  std::string error;
  ASSERT_TRUE(TarvFile::ReplaceFile(target, "new content", {}, &error)) << error;
  EXPECT_EQ(ReadFile(target), "new content");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(SnapshotTree(dir.path()).size(), 1u);
}

TEST(FileIo, FixedTemporaryNameReplacesAPlantedLinkWithoutFollowingIt) {
  ScopedTempDir dir;
  const std::string target = dir.Sub("out.bin");
  WriteFile(dir.Sub("victim"), "keep");
  ASSERT_EQ(symlink(dir.Sub("victim").c_str(), dir.Sub("out.bin.part").c_str()), 0);
  TarvFile::ReplaceOptions options;
  options.temp_path = target + ".part";
  options.mode = 0600;
  ASSERT_TRUE(TarvFile::ReplaceFile(target, "data", options));
  EXPECT_EQ(ReadFile(dir.Sub("victim")), "keep");
  EXPECT_EQ(ReadFile(target), "data");
  EXPECT_FALSE(tarvtest::FileExists(options.temp_path));
}

// Every counted call of a replacement, failed in turn with each errno the
// disk gives: the target keeps its old content, no temporary is left, and
// the error names the reason.
TEST(FileIo, ReplaceFileFailsWholeAtEveryFault) {
  struct Case {
    Call call;
    uint64_t nth;
    int err;
  } cases[] = {
      {Call::kOpen, 1, EACCES},   {Call::kWrite, 1, ENOSPC}, {Call::kWrite, 2, EIO},
      {Call::kFsync, 1, EIO},     {Call::kFsync, 1, ENOSPC}, {Call::kRename, 1, EACCES},
      {Call::kRename, 1, ENOSPC},
  };
  const std::string big(200000, 'x');
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(CallName(c.call)) + " #" + std::to_string(c.nth));
    ScopedTempDir dir;
    const std::string target = dir.Sub("file");
    WriteFile(target, "old");
    std::string error;
    bool ok;
    {
      TarvFile::ScopedFault fault(c.call, c.nth, c.err);
      // Written in two pieces so that the second write is reachable.
      TarvFile::AtomicFile file;
      ok = file.Create(target, {}, &error) && file.Write(big, &error) && file.Write(big, &error) &&
           file.Commit(&error);
      EXPECT_EQ(errno, c.err);
    }
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find(std::strerror(c.err)), std::string::npos) << error;
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(SnapshotTree(dir.path()).size(), 1u) << "a temporary was left";
  }
}

TEST(FileIo, ReadWholeFileResults) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("small"), "12345");
  tarvtest::MakeDirs(dir.Sub("folder"));
  struct Case {
    std::string name;
    uint64_t limit;
    TarvFile::ReadResult result;
    std::string bytes;
  } cases[] = {
      {"small", 5, TarvFile::ReadResult::kOk, "12345"},
      {"small", 4, TarvFile::ReadResult::kTooLarge, ""},
      {"missing", 5, TarvFile::ReadResult::kMissing, ""},
      {"folder", 5, TarvFile::ReadResult::kFailed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = "stale", error;
    EXPECT_EQ(TarvFile::ReadWholeFile(dir.Sub(c.name), c.limit, &bytes, &error), c.result);
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_EQ(error.empty(), c.result == TarvFile::ReadResult::kOk) << error;
  }
}

TEST(FileIo, CopyRegularFileRefusesLinksAndFailsWhole) {
  ScopedTempDir dir;
  const std::string source = dir.Sub("source");
  WriteFile(source, tarvtest::RandomBytes(3 << 20, 7));
  ASSERT_EQ(chmod(source.c_str(), 0750), 0);
  ASSERT_TRUE(TarvFile::CopyRegularFile(source, dir.Sub("copy")));
  EXPECT_EQ(ReadFile(dir.Sub("copy")), ReadFile(source));
  struct stat st;
  ASSERT_EQ(stat(dir.Sub("copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);

  ASSERT_EQ(symlink(source.c_str(), dir.Sub("link").c_str()), 0);
  EXPECT_FALSE(TarvFile::CopyRegularFile(dir.Sub("link"), dir.Sub("from-link")));
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("from-link")));

  WriteFile(dir.Sub("target"), "old");
  {
    TarvFile::ScopedFault fault(Call::kWrite, 2, ENOSPC);  // mid-copy
    std::string error;
    EXPECT_FALSE(TarvFile::CopyRegularFile(source, dir.Sub("target"), &error));
    EXPECT_NE(error.find(std::strerror(ENOSPC)), std::string::npos) << error;
  }
  EXPECT_EQ(ReadFile(dir.Sub("target")), "old");
  EXPECT_EQ(SnapshotTree(dir.path()).size(), 4u) << "a temporary was left";
}

TEST(FileIo, FaultsCountFromArmingAndFireOnce) {
  ScopedTempDir dir;
  TarvFile::ScopedFault fault(Call::kUnlink, 2, EIO);
  WriteFile(dir.Sub("a"), "");
  WriteFile(dir.Sub("b"), "");
  WriteFile(dir.Sub("c"), "");
  EXPECT_TRUE(TarvFile::Unlink(dir.Sub("a")));
  EXPECT_FALSE(TarvFile::Unlink(dir.Sub("b")));
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(tarvtest::FileExists(dir.Sub("b")));
  EXPECT_TRUE(TarvFile::Unlink(dir.Sub("c")));
  EXPECT_EQ(TarvFile::CallCount(Call::kUnlink), 3u);
  EXPECT_FALSE(TarvFile::FaultSeamArmed());
}

TEST(FileIo, AFullDiskStaysFull) {
  ScopedTempDir dir;
  TarvFile::ScopedFault fault(Call::kWrite, 2, ENOSPC, TarvFile::kEveryCall);
  EXPECT_TRUE(TarvFile::ReplaceFile(dir.Sub("first"), "fits"));
  for (const char* name : {"second", "third"}) {
    EXPECT_FALSE(TarvFile::ReplaceFile(dir.Sub(name), "x"));
    EXPECT_EQ(errno, ENOSPC);
  }
  EXPECT_TRUE(TarvFile::FaultSeamArmed());
  EXPECT_EQ(SnapshotTree(dir.path()).size(), 1u);
}

// A process killed at any counted call of a replacement leaves the target
// either old or new, never a mixture.
TEST(FileIo, KilledAtEveryCallLeavesOldOrNew) {
  ScopedTempDir dir;
  const std::string target = dir.Sub("file");
  const std::string old_bytes(100000, 'o'), new_bytes(150000, 'n');
  TarvFile::ResetFaults();
  WriteFile(target, old_bytes);
  ASSERT_TRUE(TarvFile::ReplaceFile(target, new_bytes));
  const uint64_t calls = TarvFile::MutatingCallCount();
  ASSERT_GE(calls, 4u);
  for (uint64_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("killed before call " + std::to_string(n));
    WriteFile(target, old_bytes);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TarvFile::ResetFaults();
      TarvFile::SetCrashPoint(n, SIGKILL);
      TarvFile::ReplaceFile(target, new_bytes);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    std::string now = ReadFile(target);
    EXPECT_TRUE(now == old_bytes || now == new_bytes);
    for (const auto& [name, bytes] : SnapshotTree(dir.path())) {
      if (name != "file") tarvtest::RemoveTree(dir.Sub(name));
    }
  }
  TarvFile::ResetFaults();
}

}  // namespace
