#include "apply/step_journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "apply/step_applier.h"
#include "apply/step_check.h"
#include "data/file_faults.h"
#include "data/file_io.h"
#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using tarvtest::FileExists;
using tarvtest::Md5Hex;
using tarvtest::ReadFile;
using tarvtest::WriteFile;
using Tree = std::vector<std::pair<std::string, std::string>>;

// The names where two trees differ (contents are never printed: they are
// megabytes of binary).
std::vector<std::string> Differences(const Tree& a, const Tree& b) {
  std::map<std::string, std::string> left(a.begin(), a.end()), right(b.begin(), b.end());
  std::vector<std::string> out;
  for (const auto& [name, content] : left) {
    auto it = right.find(name);
    if (it == right.end()) {
      out.push_back("only before: " + name);
    } else if (it->second != content) {
      out.push_back("differs: " + name);
    }
  }
  for (const auto& [name, content] : right) {
    if (!left.count(name)) out.push_back("only after: " + name);
  }
  return out;
}

// An installation at an old version and a patch project to a new one with
// every kind of change: a new file in a new folder, a replaced file, a
// deleted file, two rebuilt files (the real difference tool), and a file the
// caller rewrites inside the step (like the uninstaller's log). `old_tree`
// and `new_tree` are what the installation must be before and after.
class StepTest : public testing::Test {
 protected:
  void SetUp() override {
    install_ = dir_.Sub("game");
    project_ = dir_.Sub("project");
    // The game's configuration lives outside the installation; a committed
    // step deletes it as its finishing action.
    config_ = dir_.Sub("config.ini");
    WriteFile(config_, "[Settings]\n");
    tarvtest::MakeDirs(install_ + "/Binaries");
    std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
    WriteFile(tool, ReadFile(tarvtest::BinDir() + "/jpatch"));
    chmod(tool.c_str(), 0755);
    WriteFile(install_ + "/keep.txt", "same in both");
    WriteFile(install_ + "/replaced.txt", "old replaced");
    WriteFile(install_ + "/Gone/deleted.txt", "old only");
    WriteFile(install_ + "/log.dat", "log before");
    WriteFile(project_ + "/data/New Dir/Deeper/added.txt", "added");
    WriteFile(project_ + "/data/replaced.txt", "new replaced");
    std::string patched = Patched("Data/a.pak", 1) + Patched("Data/b.pak", 2);
    WriteFile(project_ + "/addedFiles.txt", "New Dir\\Deeper\\added.txt\n\n\nreplaced.txt\n\n\n");
    WriteFile(project_ + "/deletedFiles.txt", "Gone\\deleted.txt\n\n\n");
    WriteFile(project_ + "/patchedFiles.txt", patched);
    old_tree_ = tarvtest::SnapshotTree(install_);
  }

  std::string Patched(const std::string& rel, unsigned seed) {
    std::string old_content = tarvtest::RandomBytes(30000, seed);
    std::string new_content = old_content.substr(0, 20000) + "changed" + old_content.substr(20000);
    WriteFile(install_ + "/" + rel, old_content);
    WriteFile(dir_.Sub("tmp.old"), old_content);
    WriteFile(dir_.Sub("tmp.new"), new_content);
    std::string diff = project_ + "/data/" + rel + ".diff";
    tarvtest::MakeDirs(diff.substr(0, diff.rfind('/')));
    auto r =
        tarvtest::Run({"/usr/bin/zstd", "-q", "-f", "--long=31",
                       "--patch-from=" + dir_.Sub("tmp.old"), dir_.Sub("tmp.new"), "-o", diff});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    new_files_.push_back({rel, new_content});
    std::string win = rel;
    for (char& c : win) c = c == '/' ? '\\' : c;
    return win + "\n" + Md5Hex(new_content) + "\n" + Md5Hex(old_content) + "\n";
  }

  Tree NewTree() {
    Tree tree = old_tree_;
    auto set = [&](const std::string& name, const std::string& content) {
      for (auto& e : tree) {
        if (e.first == name) {
          e.second = content;
          return;
        }
      }
      tree.push_back({name, content});
    };
    for (const auto& [rel, content] : new_files_) set(rel, content);
    set("replaced.txt", "new replaced");
    set("New Dir/", "");
    set("New Dir/Deeper/", "");
    set("New Dir/Deeper/added.txt", "added");
    set("log.dat", "log after");
    std::erase_if(tree, [](const auto& e) { return e.first == "Gone/deleted.txt"; });
    std::sort(tree.begin(), tree.end());
    return tree;
  }

  // The whole step as a caller runs it: apply, rewrite the kept file by
  // rename, commit; undo on any failure.
  bool RunStep() {
    StepApplier step = Step();
    bool ok = step.Apply(L"") && RewriteLog() && step.Commit(ResetConfig());
    if (!ok) step.Undo();
    return ok;
  }
  // The step from version 1 to 2, keeping the log it rewrites.
  StepApplier Step() {
    StepOptions options;
    options.from_version = L"1";
    options.to_version = L"2";
    options.keep = {L"log.dat"};
    options.scratch = {L"log.new"};
    return StepApplier(TarvUtil::FromFsPath(install_), TarvUtil::FromFsPath(project_), options,
                       quiet_);
  }
  // Through the file layer, so that the seam's faults and kills reach it.
  StepJournal::Finish ResetConfig() {
    return [this] { TarvFile::Unlink(config_); };
  }
  // Through the file layer with a fixed temporary name, as the
  // uninstaller's log is rewritten: a kill can leave "log.new" behind.
  bool RewriteLog() {
    TarvFile::ReplaceOptions options;
    options.temp_path = install_ + "/log.new";
    return TarvFile::ReplaceFile(install_ + "/log.dat", "log after", options);
  }

  tarvtest::ScopedTempDir dir_;
  std::string install_, project_, config_;
  Tree old_tree_;
  std::vector<std::pair<std::string, std::string>> new_files_;
  FunctionStepObserver quiet_;
};

TEST_F(StepTest, CommittedStepLeavesTheNewVersionAndNoJournal) {
  EXPECT_TRUE(RunStep());
  EXPECT_EQ(Differences(tarvtest::SnapshotTree(install_), NewTree()), std::vector<std::string>{});
  EXPECT_FALSE(FileExists(config_));
}

// Each kind of counted call failing in turn, at each of its first calls:
// the step fails, and the installation is the old version byte for byte.
TEST_F(StepTest, AnyFailedCallUndoesTheWholeStep) {
  using TarvFile::Call;
  const std::pair<Call, int> kinds[] = {
      {Call::kOpen, EACCES}, {Call::kWrite, ENOSPC}, {Call::kRename, EIO}, {Call::kFsync, EIO}};
  const Tree new_tree = NewTree();
  int failed_steps = 0;
  for (const auto& [call, err] : kinds) {
    for (uint64_t nth = 1; nth <= 8; ++nth) {
      SCOPED_TRACE(testing::Message() << "call " << static_cast<int>(call) << " #" << nth);
      bool ok;
      {
        TarvFile::ScopedFault fault(call, nth, err);
        ok = RunStep();
      }
      Tree now = tarvtest::SnapshotTree(install_);
      if (ok) {
        EXPECT_EQ(Differences(now, new_tree), std::vector<std::string>{});
        // Back to the old version for the next case.
        tarvtest::Run({"/bin/rm", "-rf", install_});
        SetUp();
        continue;
      }
      ++failed_steps;
      EXPECT_EQ(Differences(now, old_tree_), std::vector<std::string>{});
      EXPECT_TRUE(FileExists(config_));
    }
  }
  EXPECT_GT(failed_steps, 8);
}

// The process is killed at each counted file call of the step in turn
// (forked child, the fault seam's crash point); the recovery at the next
// start then leaves the old or the new version, never a mix, and never a
// journal. Ends when a run gets through without being killed.
TEST_F(StepTest, KillAtEveryCallThenRecoveryGivesOneOfTheTwoVersions) {
  const Tree new_tree = NewTree();
  int killed = 0, undone = 0, completed = 0;
  for (uint64_t nth = 1; nth < 400; ++nth) {
    SCOPED_TRACE(testing::Message() << "killed at call " << nth);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TarvFile::ResetFaults();
      TarvFile::SetCrashPoint(nth, SIGKILL);
      _exit(RunStep() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(Differences(tarvtest::SnapshotTree(install_), new_tree),
                std::vector<std::string>{});
      break;
    }
    ASSERT_TRUE(WIFSIGNALED(status));
    ++killed;
    std::string version, error;
    RecoveryOutcome outcome = RecoverStep(install_, ResetConfig(), &version, &error);
    ASSERT_NE(outcome, RecoveryOutcome::kFailed) << error;
    ASSERT_NE(outcome, RecoveryOutcome::kBusy);
    Tree now = tarvtest::SnapshotTree(install_);
    if (now == new_tree) {
      ++completed;
      // Killed after the commit mark, before or while the configuration
      // was reset: the recovery finishes the reset.
      EXPECT_FALSE(FileExists(config_));
      if (outcome != RecoveryOutcome::kNothing) {
        EXPECT_EQ(version, "2");
      }
    } else {
      ASSERT_EQ(Differences(now, old_tree_), std::vector<std::string>{});
      EXPECT_TRUE(FileExists(config_));
      ++undone;
      if (outcome == RecoveryOutcome::kUndone) {
        EXPECT_EQ(version, "1");
      }
      continue;
    }
    tarvtest::Run({"/bin/rm", "-rf", install_});
    SetUp();
  }
  EXPECT_GT(killed, 10);
  EXPECT_GT(undone, 0);
  EXPECT_GT(completed, 0);
}

// Where the file system has no hard links (FAT, exFAT refuse link() with
// EPERM; others say EOPNOTSUPP, EXDEV or EMLINK) the journal keeps a copy
// of the rewritten file: the step commits, and an undo puts the old file
// back. Any other refusal still fails the step before its first change.
TEST_F(StepTest, WithoutHardLinksTheJournalKeepsACopy) {
  const int kNoLinks[] = {EPERM, EOPNOTSUPP, EXDEV, EMLINK};
  for (int err : kNoLinks) {
    SCOPED_TRACE(strerror(err));
    {
      TarvFile::ScopedFault fault(TarvFile::Call::kLink, 1, err, TarvFile::kEveryCall);
      EXPECT_TRUE(RunStep());
      EXPECT_EQ(TarvFile::CallCount(TarvFile::Call::kLink), 1u);
    }
    EXPECT_EQ(Differences(tarvtest::SnapshotTree(install_), NewTree()), std::vector<std::string>{});
    tarvtest::Run({"/bin/rm", "-rf", install_});
    SetUp();
    {
      TarvFile::ScopedFault fault(TarvFile::Call::kLink, 1, err, TarvFile::kEveryCall);
      StepApplier step = Step();
      ASSERT_TRUE(step.Apply(L""));
      ASSERT_TRUE(RewriteLog());
      EXPECT_EQ(step.Undo(), UndoResult::kUndone);
    }
    EXPECT_EQ(Differences(tarvtest::SnapshotTree(install_), old_tree_), std::vector<std::string>{});
  }
  TarvFile::ScopedFault fault(TarvFile::Call::kLink, 1, EIO);
  EXPECT_FALSE(RunStep());
  EXPECT_EQ(Differences(tarvtest::SnapshotTree(install_), old_tree_), std::vector<std::string>{});
}

// The same on a real FAT file system, where one can be mounted (root, the
// vfat driver, mkfs.vfat): a step over an installation there commits.
TEST(StepJournalFat, StepCommitsOnAFatFileSystem) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a FAT image needs root";
  if (!FileExists("/usr/sbin/mkfs.vfat") && !FileExists("/sbin/mkfs.vfat")) {
    GTEST_SKIP() << "mkfs.vfat (dosfstools) is not installed";
  }
  tarvtest::ScopedTempDir dir;
  const std::string image = dir.Sub("fat.img"), mount_point = dir.Sub("mnt");
  tarvtest::MakeDirs(mount_point);
  ASSERT_EQ(tarvtest::Run({"/usr/bin/truncate", "-s", "16M", image}).exit_code, 0);
  auto made = tarvtest::Run({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH mkfs.vfat " + image});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  auto mounted = tarvtest::Run({"/bin/mount", "-o", "loop", image, mount_point});
  if (mounted.exit_code != 0) GTEST_SKIP() << "cannot mount a FAT image here: " << mounted.err;
  struct Unmount {
    std::string at;
    ~Unmount() { tarvtest::Run({"/bin/umount", at}); }
  } unmount{mount_point};
  const std::string install = mount_point + "/game";
  WriteFile(install + "/log.dat", "log before");
  WriteFile(install + "/old.txt", "old");
  WriteFile(dir.Sub("project/data/new.txt"), "new");
  WriteFile(dir.Sub("project/addedFiles.txt"), "new.txt\n\n\n");
  WriteFile(dir.Sub("project/deletedFiles.txt"), "old.txt\n\n\n");
  WriteFile(dir.Sub("project/patchedFiles.txt"), "");
  StepOptions options;
  options.keep = {L"log.dat"};
  FunctionStepObserver quiet;
  StepApplier step(TarvUtil::FromFsPath(install), TarvUtil::FromFsPath(dir.Sub("project")), options,
                   quiet);
  ASSERT_TRUE(step.Apply(L""));
  ASSERT_TRUE(TarvFile::ReplaceFile(install + "/log.dat", "log after"));
  EXPECT_TRUE(step.Commit());
  EXPECT_EQ(ReadFile(install + "/new.txt"), "new");
  EXPECT_EQ(ReadFile(install + "/log.dat"), "log after");
  EXPECT_FALSE(FileExists(install + "/old.txt"));
  EXPECT_FALSE(FileExists(install + "/.tarv-step"));
}

TEST_F(StepTest, SecondPatcherIsRefusedWhileAStepIsOpen) {
  StepApplier step = Step();
  ASSERT_TRUE(step.Apply(L""));
  std::string version, error;
  EXPECT_EQ(RecoverStep(install_, {}, &version, &error), RecoveryOutcome::kBusy);
  StepJournal second;
  EXPECT_FALSE(second.Begin(install_, {}, "1", "2", &error));
  EXPECT_EQ(step.Undo(), UndoResult::kUndone);
  EXPECT_EQ(Differences(tarvtest::SnapshotTree(install_), old_tree_), std::vector<std::string>{});
  EXPECT_EQ(RecoverStep(install_, {}, &version, &error), RecoveryOutcome::kNothing);
}

// A journal left by another run: a step refuses to begin over its plan and
// leaves it exactly as it was, so the recovery does what its commit mark
// says; leftovers without a plan (a drop cut short) never lend their commit
// mark to the next step.
TEST(StepJournalLeftovers, BeginNeverChangesWhatTheRecoveryDecides) {
  struct Case {
    const char* name;
    bool plan, committed;
    bool begins;
    RecoveryOutcome after_kill;
    bool added_stays;
  };
  const Case cases[] = {
      {"committed step", true, true, false, RecoveryOutcome::kCompleted, true},
      {"step without its mark", true, false, false, RecoveryOutcome::kUndone, false},
      {"mark of a drop cut short", false, true, true, RecoveryOutcome::kUndone, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tarvtest::ScopedTempDir dir;
    const std::string install = dir.Sub("game"), journal = install + "/.tarv-step";
    tarvtest::MakeDirs(journal);
    WriteFile(install + "/added.txt", "new");
    if (c.plan) WriteFile(journal + "/plan", "tarv-step 1\nfrom\t1\nto\t2\nN\tadded.txt\n");
    if (c.committed) WriteFile(journal + "/committed", "");
    const Tree before = tarvtest::SnapshotTree(install);
    std::string error, version;
    {
      StepJournal step;
      const bool began =
          step.Begin(install, {{StepChange::Kind::kNew, "other.txt"}}, "2", "3", &error);
      EXPECT_EQ(began, c.begins) << error;
      if (!began) {
        EXPECT_EQ(Differences(tarvtest::SnapshotTree(install), before), std::vector<std::string>{});
      }
      // Leaving the scope without commit or undo is a run killed here.
    }
    EXPECT_EQ(RecoverStep(install, {}, &version, &error), c.after_kill) << error;
    EXPECT_EQ(FileExists(install + "/added.txt"), c.added_stays);
    EXPECT_FALSE(FileExists(journal));
  }
}

TEST_F(StepTest, UnreadablePlanIsNotGuessedAt) {
  tarvtest::MakeDirs(install_ + "/.tarv-step");
  WriteFile(install_ + "/.tarv-step/plan", "tarv-step 1\nfrom\t1\nto\t2\nA\t../outside\n");
  std::string version, error;
  EXPECT_EQ(RecoverStep(install_, {}, &version, &error), RecoveryOutcome::kFailed);
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  EXPECT_TRUE(FileExists(install_ + "/.tarv-step/plan"));
}

}  // namespace
}  // namespace TarvPatch
