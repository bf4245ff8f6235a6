// The applier on a disk that fails: each file call of the three passes is
// made to fail in turn, and afterwards every installed file is whole (old or
// new content, never a mixture), no temporary file is left, and the failure
// is reported.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "apply/file_patcher.h"
#include "apply/md5.h"
#include "apply/patch_applier.h"
#include "data/file_faults.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using TarvFile::Call;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

const std::string kOldPatched(40000, 'p');
const std::string kNewPatched = kOldPatched + std::string(5000, 'q');
const std::string kAdded(70000, 'a');
const std::string kDeleted = "to be deleted";

std::string Digest(const std::string& dir, const std::string& bytes) {
  WriteFile(dir + "/digest.tmp", bytes);
  std::wstring digest;
  EXPECT_TRUE(ComputeFileMD5(TarvUtil::FromFsPath(dir + "/digest.tmp"), digest));
  tarvtest::RemoveTree(dir + "/digest.tmp");
  return TarvText::ToUtf8(digest);
}

// An installation with one file to patch and one to delete, and a project
// that adds one file, deletes one and patches one; the difference is made
// by the real zstd command and applied by the real difference tool.
class ApplyFaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    install_ = dir_.Sub("game");
    project_ = dir_.Sub("project");
    MakeInstallation();
    tarvtest::MakeDirs(project_ + "/data");
    WriteFile(project_ + "/data/added.bin", kAdded);
    WriteFile(dir_.Sub("old"), kOldPatched);
    WriteFile(dir_.Sub("new"), kNewPatched);
    auto r =
        tarvtest::Run({"/usr/bin/zstd", "-q", "-f", "--long=31", "--patch-from=" + dir_.Sub("old"),
                       dir_.Sub("new"), "-o", project_ + "/data/patched.bin.diff"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    WriteFile(project_ + "/addedFiles.txt", "added.bin\n" + Digest(dir_.path(), kAdded) + "\n\n");
    WriteFile(project_ + "/deletedFiles.txt", "deleted.txt\n\n\n");
    WriteFile(project_ + "/patchedFiles.txt", "patched.bin\n" + Digest(dir_.path(), kNewPatched) +
                                                  "\n" + Digest(dir_.path(), kOldPatched) + "\n");
    SetPatchCallbacks(nullptr, nullptr, [this](int level, const std::wstring& text) {
      if (level > 0) lines_.push_back(TarvText::ToUtf8(text));
    });
  }
  void TearDown() override {
    SetPatchCallbacks(nullptr, nullptr, nullptr);
    TarvFile::ResetFaults();
  }

  void MakeInstallation() {
    tarvtest::RemoveTree(install_);
    tarvtest::MakeDirs(install_ + "/Binaries");
    std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
    WriteFile(tool, ReadFile(tarvtest::BinDir() + "/jpatch"));
    chmod(tool.c_str(), 0755);
    WriteFile(install_ + "/patched.bin", kOldPatched);
    WriteFile(install_ + "/deleted.txt", kDeleted);
  }

  bool Apply() {
    lines_.clear();
    return ApplyPatchProject(TarvUtil::FromFsPath(install_), TarvUtil::FromFsPath(project_), L"");
  }

  // The installation's files other than the tool, by name, with their
  // content named: "old", "new", "added", "deleted", or its size.
  std::map<std::string, std::string> Installed() {
    std::map<std::string, std::string> files;
    for (auto& [name, bytes] : tarvtest::SnapshotTree(install_)) {
      if (name.rfind("Binaries", 0) == 0) continue;
      files[name] = bytes == kOldPatched   ? "old"
                    : bytes == kNewPatched ? "new"
                    : bytes == kAdded      ? "added"
                    : bytes == kDeleted    ? "deleted"
                                           : std::to_string(bytes.size()) + " other bytes";
    }
    return files;
  }

  // Every file is absent or whole, old or new; nothing else is there.
  void ExpectWholeFiles() {
    for (const auto& [name, content] : Installed()) {
      if (name == "patched.bin") {
        EXPECT_TRUE(content == "old" || content == "new") << name << " is half-written";
      } else if (name == "patched.bin.bak") {
        EXPECT_EQ(content, "old");
      } else if (name == "added.bin") {
        EXPECT_EQ(content, "added");
      } else if (name == "deleted.txt") {
        EXPECT_EQ(content, "deleted");
      } else {
        ADD_FAILURE() << "left behind: " << name;
      }
    }
  }

  bool HasLine(const std::string& text) const {
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  tarvtest::ScopedTempDir dir_;
  std::string install_, project_;
  std::vector<std::string> lines_;
};

// Chosen faults with the state and report line each must give. A full disk
// stays full (every later write fails too); other faults hit one call.
TEST_F(ApplyFaultsTest, EachFaultGivesItsStateAndLine) {
  struct Case {
    const char* name;
    Call call;
    uint64_t nth;
    int err;
    uint64_t times;
    std::map<std::string, std::string> installed;
    const char* line;
  } cases[] = {
      {"the added list cannot be opened",
       Call::kOpen,
       1,
       EACCES,
       1,
       {{"patched.bin", "old"}, {"deleted.txt", "deleted"}},
       nullptr},
      {"disk full while adding",
       Call::kWrite,
       1,
       ENOSPC,
       TarvFile::kEveryCall,
       {{"patched.bin", "new"}},
       "Could not copy the file: "},
      {"added file cannot be flushed",
       Call::kFsync,
       1,
       EIO,
       2,
       {{"patched.bin", "new"}},
       "Could not copy the file: "},
      {"added file cannot be renamed into place",
       Call::kRename,
       1,
       EACCES,
       2,
       {{"patched.bin", "new"}},
       "Could not copy the file: "},
      {"deletion refused",
       Call::kUnlink,
       1,
       EACCES,
       1,
       {{"added.bin", "added"}, {"deleted.txt", "deleted"}, {"patched.bin", "new"}},
       "Could not delete: "},
      {"backup cannot be made",
       Call::kRename,
       2,
       EIO,
       1,
       {{"added.bin", "added"}, {"patched.bin", "old"}},
       "Could not move the file aside as a backup: "},
      {"old digest cannot be read",
       Call::kOpen,
       7,
       EIO,
       1,
       {{"added.bin", "added"}, {"patched.bin", "old"}},
       "Failed to compute the checksum for existing file: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeInstallation();
    bool ok;
    {
      TarvFile::ScopedFault fault(c.call, c.nth, c.err, c.times);
      ok = Apply();
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(Installed(), c.installed);
    if (c.line != nullptr) {
      EXPECT_TRUE(HasLine(c.line)) << testing::PrintToString(lines_);
    }
  }
}

// A rebuild that fails and a backup that cannot be put back at first: the
// file is missing with its backup beside it, and the next run puts the
// backup back and finishes the patch.
TEST_F(ApplyFaultsTest, BackupThatCannotBeRestoredIsRestoredByTheNextRun) {
  std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
  WriteFile(tool, "#!/bin/sh\nexit 3\n");
  chmod(tool.c_str(), 0755);
  {
    TarvFile::ScopedFault fault(Call::kRename, 3, EIO);  // copy, backup, then the restore
    EXPECT_FALSE(Apply());
  }
  EXPECT_TRUE(HasLine("Could not restore the backup: ")) << testing::PrintToString(lines_);
  std::map<std::string, std::string> expected = {{"added.bin", "added"},
                                                 {"patched.bin.bak", "old"}};
  EXPECT_EQ(Installed(), expected);

  WriteFile(tool, ReadFile(tarvtest::BinDir() + "/jpatch"));
  chmod(tool.c_str(), 0755);
  WriteFile(install_ + "/deleted.txt", kDeleted);
  EXPECT_TRUE(Apply()) << testing::PrintToString(lines_);
  expected = {{"added.bin", "added"}, {"patched.bin", "new"}};
  EXPECT_EQ(Installed(), expected);
}

// A cancel while the difference tool runs ends the tool within 2 s; the
// half-written target is replaced by its backup again.
TEST_F(ApplyFaultsTest, CancelWhileTheToolRunsKillsItAndRestoresTheBackup) {
  const std::string started = dir_.Sub("tool-started");
  std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
  WriteFile(tool, "#!/bin/sh\necho half > \"$3\"\ntouch '" + started + "'\nexec sleep 60\n");
  chmod(tool.c_str(), 0755);
  using Clock = std::chrono::steady_clock;
  Clock::time_point cancelled_at{};
  SetPatchCancelQuery([&] {
    if (cancelled_at == Clock::time_point{} && tarvtest::FileExists(started)) {
      cancelled_at = Clock::now();
    }
    return cancelled_at != Clock::time_point{};
  });
  EXPECT_FALSE(Apply());
  const auto ended_at = Clock::now();
  SetPatchCancelQuery(nullptr);
  ASSERT_NE(cancelled_at, Clock::time_point{}) << "the tool never started";
  EXPECT_LT(ended_at - cancelled_at, std::chrono::seconds(2));
  std::map<std::string, std::string> expected = {{"added.bin", "added"}, {"patched.bin", "old"}};
  EXPECT_EQ(Installed(), expected);
}

// Every counted call of a whole run, failed in turn with each errno: the
// run reports failure or succeeds, and every file is whole.
TEST_F(ApplyFaultsTest, EveryCallFailedInTurnLeavesWholeFiles) {
  uint64_t counts[TarvFile::kCallKinds];
  {
    // Armed but never reached: an armed seam makes copies write through the
    // counted calls, as they will in the runs below.
    TarvFile::ScopedFault counting(Call::kUnlink, 1000, EIO);
    ASSERT_TRUE(Apply()) << testing::PrintToString(lines_);
    for (int k = 0; k < TarvFile::kCallKinds; ++k) counts[k] = TarvFile::CallCount(Call(k));
  }
  ASSERT_GT(counts[static_cast<int>(Call::kWrite)], 0u);
  const int errs[] = {ENOSPC, EIO, EACCES};
  int runs = 0;
  for (int k = 0; k < TarvFile::kCallKinds; ++k) {
    for (uint64_t n = 1; n <= counts[k]; ++n) {
      const int err = errs[(k + n) % 3];  // every errno meets every kind of call
      SCOPED_TRACE("call kind " + std::to_string(k) + " #" + std::to_string(n) + " errno " +
                   std::to_string(err));
      MakeInstallation();
      bool ok;
      {
        TarvFile::ScopedFault fault(Call(k), n, err);
        ok = Apply();
      }
      ExpectWholeFiles();
      if (!ok) {
        EXPECT_FALSE(lines_.empty()) << "a failure without a line";
      }
      ++runs;
    }
  }
  EXPECT_GE(runs, 10);
}

}  // namespace
}  // namespace TarvPatch
