// The applier on a disk that fails: each file call of the three passes is
// made to fail in turn, and afterwards every installed file is whole (old or
// new content, never a mixture), no temporary file is left, and the failure
// is reported.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "apply/step_applier.h"
#include "crypto/md5.h"
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
const char* const kPatchedNames[] = {"patched.bin", "Sub/second.bin", "third.bin"};

std::string Digest(const std::string& dir, const std::string& bytes) {
  WriteFile(dir + "/digest.tmp", bytes);
  std::wstring digest;
  EXPECT_TRUE(TarvCrypto::ComputeFileMD5(TarvUtil::FromFsPath(dir + "/digest.tmp"), digest));
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
    // Three patched files, so that a fault can hit the third one.
    std::string patched;
    for (const char* name : kPatchedNames) {
      std::string diff = project_ + "/data/" + name + ".diff";
      tarvtest::MakeDirs(diff.substr(0, diff.rfind('/')));
      if (diff != project_ + "/data/patched.bin.diff") {
        WriteFile(diff, ReadFile(project_ + "/data/patched.bin.diff"));
      }
      std::string win = name;
      std::replace(win.begin(), win.end(), '/', '\\');
      patched += win + "\n" + Digest(dir_.path(), kNewPatched) + "\n" +
                 Digest(dir_.path(), kOldPatched) + "\n";
    }
    WriteFile(project_ + "/patchedFiles.txt", patched);
  }
  void TearDown() override { TarvFile::ResetFaults(); }

  void MakeInstallation() {
    tarvtest::RemoveTree(install_);
    tarvtest::MakeDirs(install_ + "/Binaries");
    std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
    WriteFile(tool, ReadFile(tarvtest::BinDir() + "/jpatch"));
    chmod(tool.c_str(), 0755);
    for (const char* name : kPatchedNames) WriteFile(install_ + "/" + name, kOldPatched);
    WriteFile(install_ + "/deleted.txt", kDeleted);
  }

  bool Apply() {
    lines_.clear();
    step_ = std::make_unique<StepApplier>(TarvUtil::FromFsPath(install_),
                                          TarvUtil::FromFsPath(project_), StepOptions{}, observer_);
    return step_->Apply(L"");
  }

  // Ends the step as the session does, once the disk works again:
  // committed when every entry was handled, undone otherwise.
  void Finish(bool applied) {
    if (applied) {
      EXPECT_TRUE(step_->Commit());
    } else {
      EXPECT_NE(step_->Undo(), UndoResult::kFailed);
    }
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

  // The line with "%I" standing for the installation and "%P" for the
  // project folder.
  std::string Expanded(std::string line) const {
    for (auto [mark, value] : {std::pair{"%I", install_}, std::pair{"%P", project_}}) {
      for (size_t at; (at = line.find(mark)) != std::string::npos;) line.replace(at, 2, value);
    }
    return line;
  }
  bool HasLine(const std::string& line) const {
    return std::find(lines_.begin(), lines_.end(), Expanded(line)) != lines_.end();
  }

  tarvtest::ScopedTempDir dir_;
  std::string install_, project_;
  std::vector<std::string> lines_;
  // Asked while the difference tool runs; empty: never cancelled.
  std::function<bool()> cancel_;
  FunctionStepObserver observer_{[this](int level, const std::wstring& text) {
                                   if (level > 0) lines_.push_back(TarvText::ToUtf8(text));
                                 },
                                 {},
                                 {},
                                 [this] { return cancel_ && cancel_(); }};
  std::unique_ptr<StepApplier> step_;
};

// Chosen faults with the report line each must give, before the first
// change and in each pass (the added file's copy, the deleted file's move,
// the third patched file's move). A full disk stays full (every later write
// fails too); other faults hit the calls given. Whatever failed, the step
// is undone and the installation is as it was.
TEST_F(ApplyFaultsTest, EachFaultIsReportedAndUndone) {
  struct Case {
    const char* name;
    Call call;
    uint64_t nth;
    int err;
    uint64_t times;
    const char* line;
  } cases[] = {
      {"the added list cannot be opened", Call::kOpen, 1, EACCES, 1,
       "Could not open: %P/addedFiles.txt for reading. the file might not be present"},
      {"disk full before the journal", Call::kWrite, 1, ENOSPC, TarvFile::kEveryCall,
       "Could not keep the journal of the patch step in: %I"},
      {"journal cannot be flushed", Call::kFsync, 1, EIO, TarvFile::kEveryCall,
       "Could not keep the journal of the patch step in: %I"},
      {"the plan's leftover cannot be removed", Call::kUnlink, 1, EACCES, 1,
       "Could not keep the journal of the patch step in: %I"},
      {"every rename refused", Call::kRename, 1, EACCES, TarvFile::kEveryCall,
       "Could not keep the journal of the patch step in: %I"},
      {"both copies of the added file fail", Call::kWrite, 2, EIO, 2,
       "Could not copy the file: %P/data/added.bin"},
      {"the deleted file cannot be moved", Call::kRename, 3, EACCES, 1,
       "Could not delete: %I/deleted.txt"},
      {"the third patched file cannot be moved", Call::kRename, 6, EIO, 1,
       "Could not move the file aside as a backup: %I/third.bin"},
  };
  const std::map<std::string, std::string> before = {{"Sub/", "0 other bytes"},
                                                     {"Sub/second.bin", "old"},
                                                     {"deleted.txt", "deleted"},
                                                     {"patched.bin", "old"},
                                                     {"third.bin", "old"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeInstallation();
    bool ok;
    {
      TarvFile::ScopedFault fault(c.call, c.nth, c.err, c.times);
      ok = Apply();
    }
    Finish(ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(Installed(), before);
    EXPECT_TRUE(HasLine(c.line)) << testing::PrintToString(lines_);
  }
}

// A cancel while the difference tool runs ends the tool within 2 s, and the
// undone step leaves the installation as it was.
TEST_F(ApplyFaultsTest, CancelWhileTheToolRunsKillsItAndUndoesTheStep) {
  const std::string started = dir_.Sub("tool-started");
  std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
  WriteFile(tool, "#!/bin/sh\necho half > \"$3\"\ntouch '" + started + "'\nexec sleep 60\n");
  chmod(tool.c_str(), 0755);
  using Clock = std::chrono::steady_clock;
  Clock::time_point cancelled_at{};
  cancel_ = [&] {
    if (cancelled_at == Clock::time_point{} && tarvtest::FileExists(started)) {
      cancelled_at = Clock::now();
    }
    return cancelled_at != Clock::time_point{};
  };
  const bool ok = Apply();
  const auto ended_at = Clock::now();
  Finish(ok);
  EXPECT_FALSE(ok);
  ASSERT_NE(cancelled_at, Clock::time_point{}) << "the tool never started";
  EXPECT_LT(ended_at - cancelled_at, std::chrono::seconds(2));
  std::map<std::string, std::string> expected = {{"Sub/", "0 other bytes"},
                                                 {"Sub/second.bin", "old"},
                                                 {"deleted.txt", "deleted"},
                                                 {"patched.bin", "old"},
                                                 {"third.bin", "old"}};
  EXPECT_EQ(Installed(), expected);
}

}  // namespace
}  // namespace TarvPatch
