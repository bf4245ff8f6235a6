#include "session/patch_session.h"

#include <gtest/gtest.h>

#include "session/session_test_fixture.h"

namespace TarvPatch::session_test {
namespace {

TEST(PatchSession, ChainsAndFinalVersions) {
  struct Case {
    const char* name;
    std::wstring current, final_version;
    std::vector<std::string> calls;
    std::wstring end_current, end_target;
    int applied;
  };
  const Case cases[] = {
      {"chain 1 -> 2 -> 3", L"1", L"",
       Join({kOpening,
             Step("1", "2"),
             Step("2", "3"),
             {"L0 No (more) patches at server for version: 3", "physx", "L0 Patching completed.",
              "unlock"}}),
       L"3", L"<none>", 2},
      {"final version 2", L"1", L"2",
       Join(
           {kOpening,
            Step("1", "2"),
            {"L0 Client is at the final version: 2", "physx", "L0 Patching completed.", "unlock"}}),
       L"2", L"<none>", 1},
      {"final equals installed", L"1", L"1",
       Join(
           {kOpening,
            {"L0 Client is at the final version: 1", "physx", "L0 Patching completed.", "unlock"}}),
       L"1", L"", 0},
      {"no patch for the installed version", L"7", L"",
       Join({kOpening,
             {"L0 No (more) patches at server for version: 7", "physx", "L0 Patching completed.",
              "unlock"}}),
       L"7", L"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.settings.SetCurrentVersion(c.current);
    s.settings.SetFinalVersion(c.final_version);
    EXPECT_EQ(s.Run(), SessionEnd::kCompleted);
    EXPECT_EQ(InReportOrder(s.ports.calls), c.calls);
    EXPECT_EQ(s.settings.GetCurrentVersion(), c.end_current);
    EXPECT_EQ(s.settings.GetTargetVersion(), c.end_target);
    // Archives of applied steps stay; work folders go.
    for (const auto& a : s.ports.archives) EXPECT_TRUE(tarvtest::FileExists(TarvUtil::FsPath(a)));
    for (const auto& w : s.ports.work_folders)
      EXPECT_FALSE(tarvtest::FileExists(TarvUtil::FsPath(w)));
    const unins::Log log = unins::Parse(tarvtest::ReadFile(s.install + "/unins000.dat"));
    ASSERT_EQ(log.error, "");
    EXPECT_EQ(log.count, 2 + c.applied);
  }
}

TEST(PatchSession, ArchiveNamesFollowTheVersions) {
  Session s;
  s.Run();
  ASSERT_EQ(s.ports.archives.size(), 2u);
  EXPECT_EQ(s.ports.archives[0], s.ports.temp + L"/1_to_2.zip");
  EXPECT_EQ(s.ports.archives[1], s.ports.temp + L"/2_to_3.zip");
}

// A failed step: the lines after the step's own, what stays on disk, and
// that the chain stops with the versions of the failed step.
TEST(PatchSession, FailuresOfOneStep) {
  struct Case {
    const char* name;
    std::function<void(Session&)> arrange;
    std::vector<std::string> tail;  // calls after "L0 Searching for patches..."
    bool archive_kept, work_kept;
  };
  const std::string dl = "download http://127.0.0.1:1/1_to_2.zip";
  const Case cases[] = {
      {"download failed",
       [](Session& s) { s.ports.download = false; },
       {dl, "L0 Downloading patch file...", "L2 Patch download failed.", "L0 Patching aborted.",
        "unlock"},
       false,
       true},
      {"one byte short",
       [](Session& s) { s.ports.delivered_delta = -1; },
       {dl, "L0 Downloading patch file...", "L2 Patch download failed.", "L0 Patching aborted.",
        "unlock"},
       false,
       true},
      {"unpacker exits 1",
       [](Session& s) { s.ports.unpack = UnpackOutcome::kFailed; },
       {dl, "L0 Downloading patch file...", "L0 Unpacking patch file...", "state 2",
        "L2 Failed to unpack the patch file", "L2 Failed to extract the patch archive.",
        "L0 Patching aborted.", "unlock"},
       false,
       false},
      {"unpacker missing",
       [](Session& s) { s.ports.unpack = UnpackOutcome::kNotStarted; },
       {dl, "L0 Downloading patch file...", "L0 Unpacking patch file...", "state 2",
        "L2 Could not start the unpacker", "L2 Failed to extract the patch archive.",
        "L0 Patching aborted.", "unlock"},
       false,
       false},
      {"applier failed",
       [](Session& s) { s.ports.apply = false; },
       {dl, "L0 Downloading patch file...", "L0 Unpacking patch file...", "state 2",
        "L0 Patching...\n", "marker set", "state 3", "folder field",
        "apply, deferring TarvLauncher.exe", "undo", "marker set",
        "L2 \nFailed to apply the patch: 1_to_2", "L1 The installation was returned to version 1.",
        "L0 Patching aborted.", "unlock"},
       true,
       false},
      {"refused by the check: nothing to undo, no return line",
       [](Session& s) {
         s.ports.apply = false;
         s.ports.undo = UndoResult::kNothingOpen;
       },
       {dl, "L0 Downloading patch file...", "L0 Unpacking patch file...", "state 2",
        "L0 Patching...\n", "marker set", "state 3", "folder field",
        "apply, deferring TarvLauncher.exe", "undo", "marker set",
        "L2 \nFailed to apply the patch: 1_to_2", "L0 Patching aborted.", "unlock"},
       true,
       false},
      {"commit fails: undone",
       [](Session& s) { s.ports.commit = false; },
       {dl, "L0 Downloading patch file...", "L0 Unpacking patch file...", "state 2",
        "L0 Patching...\n", "marker set", "state 3", "folder field",
        "apply, deferring TarvLauncher.exe", "commit", "undo", "marker set",
        "L2 \nFailed to apply the patch: 1_to_2", "L1 The installation was returned to version 1.",
        "L0 Patching aborted.", "unlock"},
       true,
       false},
      {"uninstaller log broken",
       [](Session& s) {
         tarvtest::WriteFile(s.install + "/unins000.dat", s.log_before.substr(0, 500));
       },
       {dl, "L0 Downloading patch file...", "L0 Unpacking patch file...", "state 2",
        "L0 Patching...\n", "marker set", "state 3", "folder field",
        "apply, deferring TarvLauncher.exe", "undo", "marker set",
        "L2 \nFailed to update unins000.dat after the patch: 1_to_2",
        "L1 The installation was returned to version 1.", "L0 Patching aborted.", "unlock"},
       true,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    c.arrange(s);
    EXPECT_EQ(s.Run(), SessionEnd::kAborted);
    EXPECT_EQ(InReportOrder(s.ports.calls), Join({kOpening, c.tail}));
    EXPECT_EQ(s.settings.GetCurrentVersion(), L"1");
    EXPECT_EQ(s.settings.GetTargetVersion(), L"2");
    ASSERT_EQ(s.ports.archives.size(), 1u);
    EXPECT_EQ(tarvtest::FileExists(TarvUtil::FsPath(s.ports.archives[0])), c.archive_kept);
    ASSERT_EQ(s.ports.work_folders.size(),
              c.name == std::string("download failed") || c.name == std::string("one byte short")
                  ? 0u
                  : 1u);
    if (!s.ports.work_folders.empty()) {
      EXPECT_EQ(tarvtest::FileExists(TarvUtil::FsPath(s.ports.work_folders[0])), c.work_kept);
    }
  }
}

TEST(PatchSession, SizeQueryFailureIsANoteAndAnySizePasses) {
  Session s;
  s.ports.size_known = false;
  s.ports.delivered_delta = -900;
  s.settings.SetFinalVersion(L"2");
  EXPECT_EQ(s.Run(), SessionEnd::kCompleted);
  const std::string note =
      "L1 Unable to determine the size of the patch file. Possible problem with local proxy or "
      "firewall "
      "software.";
  // Right after the opening, before the download.
  ASSERT_GT(s.ports.calls.size(), kOpening.size());
  EXPECT_EQ(s.ports.calls[kOpening.size()], note);
  EXPECT_EQ(s.settings.GetCurrentVersion(), L"2");
}

TEST(PatchSession, ChecksBeforeTheChain) {
  struct Case {
    const char* name;
    std::function<void(Session&)> arrange;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"access refused",
       [](Session& s) {
         s.ports.access = {AccessProblem::kNoWriteAccess, L"/g"};
       },
       {"language", "L2 Patching requires Administrator privileges.",
        "box Requires Administrator Privileges: The current system u", "L0 Patching aborted.",
        "unlock"}},
      // What no administrator can mend is named, not blamed on privileges.
      {"folder missing",
       [](Session& s) {
         s.ports.access = {AccessProblem::kFolderMissing, L"/gone"};
       },
       {"language", "L2 The installation folder does not exist: /gone",
        "box Cannot Patch This Installation: The installation fol", "L0 Patching aborted.",
        "unlock"}},
      {"not a folder",
       [](Session& s) {
         s.ports.access = {AccessProblem::kNotAFolder, L"/f"};
       },
       {"language", "L2 The installation folder is not a folder: /f",
        "box Cannot Patch This Installation: The installation fol", "L0 Patching aborted.",
        "unlock"}},
      {"no Binaries",
       [](Session& s) {
         s.ports.access = {AccessProblem::kNoBinaries, L"/g"};
       },
       {"language", "L2 The installation folder has no Binaries folder: /g",
        "box Cannot Patch This Installation: The installation fol", "L0 Patching aborted.",
        "unlock"}},
      {"hive unreadable",
       [](Session& s) {
         s.ports.access = {AccessProblem::kRegistryUnreadable, L"/etc/h"};
       },
       {"language", "L2 The registry file cannot be read completely and is left as it is: /etc/h",
        "box Cannot Patch This Installation: The registry file ca", "L0 Patching aborted.",
        "unlock"}},
      {"files in use",
       [](Session& s) { s.ports.lock_free_at = -1; },
       {"language", "lock /Binaries", "sleep 2000", "lock /Binaries", "sleep 2000",
        "lock /Binaries", "sleep 2000", "L2 Unable to patch - files in use.",
        "box Files In Use: The Tarv files are c", "enable apply", "L0 Patching aborted.",
        "unlock"}},
      {"lock free at the third try",
       [](Session& s) {
         s.ports.lock_free_at = 2;
         s.ports.find = false;
       },
       {"language", "lock /Binaries", "sleep 2000", "lock /Binaries", "sleep 2000",
        "lock /Binaries", "L0 Searching for patches...", "L0 Patching aborted.", "unlock"}},
      {"patch folder without catalogue or archive",
       [](Session& s) {
         s.settings.SetLocalFile(true);
         s.settings.SetManualPatchPath(L"/nowhere/1_to_2.zip");
         s.ports.local_catalogue = false;
       },
       {"language", "lock /Binaries", "L0 Searching for patches...",
        "L2 No patch catalogue or patch archive named <installed>_to_<target>.zip at: "
        "/nowhere/1_to_2.zip",
        "L0 Patching aborted.", "unlock"}},
      {"no server",
       [](Session& s) { s.settings.SetDownload(false); },
       {"language", "lock /Binaries", "L0 Neither local file nor patch server. Nothing to do.",
        "L0 Patching aborted.", "unlock"}},
      {"repair from a folder without manifests",
       [](Session& s) {
         tarvtest::WriteFile(s.dir.Sub("srv/patches.txt"),
                             "source-version: 1\ntarget-version: 2\n"
                             "patch-exe-url: a\npatch-data-url: b\n");
         s.settings.SetLocalFile(true);
         s.settings.SetManualPatchPath(TarvUtil::FromFsPath(s.dir.Sub("srv")));
         s.settings.SetRepair(true);
       },
       {"language", "lock /Binaries", "L2 This server offers no repair for version 1.",
        "L0 Patching aborted.", "unlock"}},
      {"no temporary folder",
       [](Session& s) { s.ports.temp.clear(); },
       {"language", "lock /Binaries", "L0 Searching for patches...",
        "L2 Unable to create temporary file.", "L0 Patching aborted.", "unlock"}},
      {"temporary folder is a file",
       [](Session& s) {
         tarvtest::WriteFile(s.dir.Sub("tempfile"), "");
         s.ports.temp = TarvUtil::FromFsPath(s.dir.Sub("tempfile"));
       },
       {"language", "lock /Binaries", "L0 Searching for patches...",
        "L2 Unable to create temporary file.", "L0 Patching aborted.", "unlock"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    c.arrange(s);
    EXPECT_EQ(s.Run(), SessionEnd::kAborted);
    EXPECT_EQ(s.ports.calls, c.calls);
  }
}

TEST(PatchSession, StopDuringOrRightAfterUnpackingEndsQuietly) {
  for (bool during : {true, false}) {
    SCOPED_TRACE(during ? "during" : "right after");
    Session s;
    if (during) {
      s.ports.unpack = UnpackOutcome::kCancelled;
    } else {
      s.ports.stop_after_unpack = true;
    }
    EXPECT_EQ(s.Run(), SessionEnd::kCancelled);
    const std::vector<std::string> tail = {"L0 Unpacking patch file...", "state 2", "unlock"};
    ASSERT_GE(s.ports.calls.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(s.ports.calls.end() - 3, s.ports.calls.end()), tail);
    // Nothing was applied; the temporary files stay.
    EXPECT_TRUE(tarvtest::FileExists(TarvUtil::FsPath(s.ports.archives[0])));
    EXPECT_TRUE(tarvtest::FileExists(TarvUtil::FsPath(s.ports.work_folders[0])));
    EXPECT_TRUE(tarvtest::ReadFile(s.install + "/unins000.dat") == s.log_before);
  }
}

}  // namespace
}  // namespace TarvPatch::session_test
