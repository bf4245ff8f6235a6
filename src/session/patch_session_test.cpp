#include "session/patch_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "crypto/publisher_key.h"
#include "crypto/secret_key.h"
#include "crypto/sha256.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "e2e/uninstall_log_reader.h"
#include "os/messages.h"
#include "patchserver/fetch.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

namespace unins = tarvtest::unins;

std::string Narrow(const std::wstring& s) { return TarvText::ToUtf8(s); }

// Records every call as one line and answers as scripted. Files are real:
// the download writes the archive, the unpacker fills the work folder.
class RecordingPorts : public SessionPorts {
 public:
  std::vector<std::string> calls;
  AccessCheck access;
  int lock_free_at = 0;  // attempt that succeeds; -1 never
  bool find = true;
  bool local_catalogue = true;
  std::map<std::wstring, PatchStep> catalogue;
  bool size_known = true;
  uint64_t announced = 1000;
  int64_t delivered_delta = 0;  // bytes delivered minus announced
  bool download = true;
  UnpackOutcome unpack = UnpackOutcome::kUnpacked;
  bool apply = true;
  bool commit = true;
  UndoResult undo = UndoResult::kUndone;
  std::vector<std::wstring> added = {L"Data\\new.pak"};
  bool stop_after_unpack = false;
  uint64_t stored_serial = 0, accepted_serial = 0;
  std::optional<std::string> content;  // what the download delivers
  std::wstring temp;
  std::vector<std::wstring> archives, work_folders, unpacked;
  std::vector<std::string> unpacked_content;  // each archive as the unpacker read it
  std::function<void()> before_unpack;        // runs between the check and the unpacker

  void Report(int level, const std::wstring& text) override {
    calls.push_back("L" + std::to_string(level) + " " + Narrow(text));
  }
  void ShowMessageBox(const std::wstring& text, const std::wstring& caption) override {
    calls.push_back("box " + Narrow(caption) + ": " + Narrow(text).substr(0, 20));
  }
  void EnableApplyButton() override { calls.push_back("enable apply"); }
  void SetInstallFolderText(const std::wstring&) override { calls.push_back("folder field"); }
  bool StopRequested() override { return stop_after_unpack; }
  void InstallApplierCallbacks() override { calls.push_back("callbacks"); }
  void SelectLanguage() override { calls.push_back("language"); }
  AccessCheck CheckInstallAccess(const std::wstring&) override { return access; }
  bool OpenApplicationLock(const std::wstring& folder) override {
    calls.push_back("lock " + Narrow(folder).substr(Narrow(folder).rfind('/')));
    return lock_free_at >= 0 && lock_attempts_++ >= lock_free_at;
  }
  void CloseApplicationLock() override { calls.push_back("unlock"); }
  void Sleep(int ms) override { calls.push_back("sleep " + std::to_string(ms)); }
  bool EnsureTempFolder(std::wstring* folder) override {
    if (temp.empty()) return false;
    *folder = temp;
    return TarvUtil::MakeDirectory(temp);
  }
  bool SetPatchingMarker() override { return calls.push_back("marker set"), true; }
  bool ClearPatchingMarker() override { return calls.push_back("marker cleared"), true; }
  void CheckPhysXRuntime() override { calls.push_back("physx"); }
  uint64_t StoredCatalogueSerial() override { return stored_serial; }
  void StoreCatalogueSerial(uint64_t serial) override {
    calls.push_back("store serial " + std::to_string(serial));
    stored_serial = serial;
  }
  bool FindPatches(const std::vector<std::wstring>&, const CataloguePolicy& policy) override {
    if (policy.SignatureRequired()) {
      calls.push_back("find signed, " + std::to_string(policy.keys.size()) +
                      " key(s), serial >= " + std::to_string(policy.lowest_serial));
    }
    return find;
  }
  uint64_t AcceptedCatalogueSerial() override { return accepted_serial; }
  bool FindLocalPatches(const std::wstring& folder, const CataloguePolicy&) override {
    calls.push_back("local catalogue " + Narrow(folder));
    return local_catalogue;
  }
  void GaugeTotal(uint32_t units) override { calls.push_back("gauge " + std::to_string(units)); }
  bool GaugeStep() override { return true; }
  bool FetchText(const std::wstring& address, FetchKind kind, std::string* text,
                 FetchOptions* options) override {
    return TarvPatch::FetchText(address, kind, text, options);
  }
  bool FetchFile(const std::wstring& address, FetchKind kind, const std::wstring& download,
                 std::wstring* where, FetchOptions* options) override {
    return TarvPatch::FetchFile(address, kind, download, where, options);
  }
  void TransferProgress(uint64_t, uint64_t) override {}
  std::optional<PatchStep> GetPatchInfo(const std::wstring& version) override {
    auto it = catalogue.find(version);
    if (it == catalogue.end()) return std::nullopt;
    return it->second;
  }
  bool QueryPatchSize(const std::wstring&) override { return size_known; }
  uint64_t ExpectedPatchSize() override { return size_known ? announced : 0; }
  void SetExpectedPatchSize(uint64_t size) override {
    calls.push_back("expect " + std::to_string(size));
  }
  bool DownloadPatch(const std::wstring& url, const std::wstring& archive,
                     uint64_t max_bytes) override {
    calls.push_back("download " + Narrow(url) +
                    (max_bytes == UINT64_MAX ? "" : " at most " + std::to_string(max_bytes)));
    archives.push_back(archive);
    tarvtest::WriteFile(TarvUtil::FsPath(archive),
                        content ? *content : std::string(announced + delivered_delta, 'z'));
    return download;
  }
  void SetDownloadState(DownloadState state) override {
    calls.push_back("state " + std::to_string(static_cast<uint32_t>(state)));
  }
  UnpackOutcome Unpack(const std::wstring& archive, const std::wstring& work) override {
    if (before_unpack) before_unpack();
    unpacked.push_back(archive);
    unpacked_content.push_back(tarvtest::ReadFile(TarvUtil::FsPath(archive)));
    work_folders.push_back(work);
    tarvtest::WriteFile(TarvUtil::FsPath(work) + "/addedFiles.txt", "x\n");
    return unpack;
  }
  bool ApplyPatchProject(const std::wstring&, const std::wstring&,
                         const std::wstring& deferred) override {
    calls.push_back("apply, deferring " + Narrow(deferred));
    return apply;
  }
  bool CommitPatchStep() override {
    calls.push_back("commit");
    return commit;
  }
  UndoResult UndoPatchStep() override {
    calls.push_back("undo");
    return undo;
  }
  std::vector<std::wstring> ReadAddedFiles(const std::wstring&) override { return added; }

 private:
  int lock_attempts_ = 0;
};

struct Session {
  tarvtest::ScopedTempDir dir;
  RecordingPorts ports;
  PatchSettings settings;
  std::string install = dir.Sub("Tarv");
  std::string log_before;

  Session() {
    TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
    ports.temp = TarvUtil::FromFsPath(dir.Sub("temp"));
    settings.SetTargetDirectory(TarvUtil::FromFsPath(install));
    settings.SetCurrentVersion(L"1");
    settings.AddServer(L"http://127.0.0.1:1/");
    settings.SetDownload(true);
    ports.catalogue[L"1"] = {L"2", L"http://127.0.0.1:1/1_to_2.zip"};
    ports.catalogue[L"2"] = {L"3", L"http://127.0.0.1:1/2_to_3.zip"};
    std::vector<unins::Record> records = {unins::Filler(0x20, 300), unins::Filler(0x81, 28, 'F')};
    log_before = unins::Build(records);
    tarvtest::WriteFile(install + "/unins000.dat", log_before);
  }
  SessionEnd Run() { return PatchSession(ports, settings).Run(); }
};

// The opening every session shares once the checks have passed.
const std::vector<std::string> kOpening = {"callbacks", "language", "lock /Binaries",
                                           "L0 Searching for patches..."};

std::vector<std::string> Step(const std::string& from, const std::string& to) {
  return {"download http://127.0.0.1:1/" + from + "_to_" + to + ".zip",
          "L0 Downloading patch file...",
          "L0 Unpacking patch file...",
          "state 2",
          "L0 Patching...\n",
          "marker set",
          "state 3",
          "folder field",
          "apply, deferring TarvLauncher.exe",
          "commit",
          "marker cleared"};
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// "download" is recorded when the download starts, before the session's
// own "Downloading" line; put it where the session reports it.
std::vector<std::string> InReportOrder(std::vector<std::string> calls) {
  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    if (calls[i + 1].rfind("download ", 0) == 0 && calls[i] == "L0 Downloading patch file...") {
      std::swap(calls[i], calls[i + 1]);
    }
  }
  return calls;
}

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
  EXPECT_EQ(s.ports.calls[4], note);
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
       {"callbacks", "language", "L2 Patching requires Administrator privileges.",
        "box Requires Administrator Privileges: The current system u", "L0 Patching aborted.",
        "unlock"}},
      // What no administrator can mend is named, not blamed on privileges.
      {"folder missing",
       [](Session& s) {
         s.ports.access = {AccessProblem::kFolderMissing, L"/gone"};
       },
       {"callbacks", "language", "L2 The installation folder does not exist: /gone",
        "box Cannot Patch This Installation: The installation fol", "L0 Patching aborted.",
        "unlock"}},
      {"not a folder",
       [](Session& s) {
         s.ports.access = {AccessProblem::kNotAFolder, L"/f"};
       },
       {"callbacks", "language", "L2 The installation folder is not a folder: /f",
        "box Cannot Patch This Installation: The installation fol", "L0 Patching aborted.",
        "unlock"}},
      {"no Binaries",
       [](Session& s) {
         s.ports.access = {AccessProblem::kNoBinaries, L"/g"};
       },
       {"callbacks", "language", "L2 The installation folder has no Binaries folder: /g",
        "box Cannot Patch This Installation: The installation fol", "L0 Patching aborted.",
        "unlock"}},
      {"hive unreadable",
       [](Session& s) {
         s.ports.access = {AccessProblem::kRegistryUnreadable, L"/etc/h"};
       },
       {"callbacks", "language",
        "L2 The registry file cannot be read completely and is left as it is: /etc/h",
        "box Cannot Patch This Installation: The registry file ca", "L0 Patching aborted.",
        "unlock"}},
      {"files in use",
       [](Session& s) { s.ports.lock_free_at = -1; },
       {"callbacks", "language", "lock /Binaries", "sleep 2000", "lock /Binaries", "sleep 2000",
        "lock /Binaries", "sleep 2000", "L2 Unable to patch - files in use.",
        "box Files In Use: The Tarv files are c", "enable apply", "L0 Patching aborted.",
        "unlock"}},
      {"lock free at the third try",
       [](Session& s) {
         s.ports.lock_free_at = 2;
         s.ports.find = false;
       },
       {"callbacks", "language", "lock /Binaries", "sleep 2000", "lock /Binaries", "sleep 2000",
        "lock /Binaries", "L0 Searching for patches...", "L0 Patching aborted.", "unlock"}},
      {"patch folder without catalogue or archive",
       [](Session& s) {
         s.settings.SetLocalFile(true);
         s.settings.SetManualPatchPath(L"/nowhere/1_to_2.zip");
         s.ports.local_catalogue = false;
       },
       {"callbacks", "language", "lock /Binaries", "L0 Searching for patches...",
        "L2 No patch catalogue or patch archive named <installed>_to_<target>.zip at: "
        "/nowhere/1_to_2.zip",
        "L0 Patching aborted.", "unlock"}},
      {"no server",
       [](Session& s) { s.settings.SetDownload(false); },
       {"callbacks", "language", "lock /Binaries",
        "L0 Neither local file nor patch server. Nothing to do.", "L0 Patching aborted.",
        "unlock"}},
      {"repair from a folder without manifests",
       [](Session& s) {
         tarvtest::WriteFile(s.dir.Sub("srv/patches.txt"),
                             "source-version: 1\ntarget-version: 2\n"
                             "patch-exe-url: a\npatch-data-url: b\n");
         s.settings.SetLocalFile(true);
         s.settings.SetManualPatchPath(TarvUtil::FromFsPath(s.dir.Sub("srv")));
         s.settings.SetRepair(true);
       },
       {"callbacks", "language", "lock /Binaries", "L2 This server offers no repair for version 1.",
        "L0 Patching aborted.", "unlock"}},
      {"no temporary folder",
       [](Session& s) { s.ports.temp.clear(); },
       {"callbacks", "language", "lock /Binaries", "L0 Searching for patches...",
        "L2 Unable to create temporary file.", "L0 Patching aborted.", "unlock"}},
      {"temporary folder is a file",
       [](Session& s) {
         tarvtest::WriteFile(s.dir.Sub("tempfile"), "");
         s.ports.temp = TarvUtil::FromFsPath(s.dir.Sub("tempfile"));
       },
       {"callbacks", "language", "lock /Binaries", "L0 Searching for patches...",
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

// With the publisher's key installed: catalogues are searched for with the
// key and the kept serial, every record must carry the archive's size and
// digest, the archive must match them, and the serial is kept once a step
// has been applied. Without the key, size and digest still hold when given.
TEST(PatchSession, SignedUpdates) {
  const std::string archive = "the archive of a step";
  const std::string digest = TarvCrypto::Sha256Hex(archive.data(), archive.size());
  const std::string size = std::to_string(archive.size());
  const std::string dl = "download http://127.0.0.1:1/1_to_2.zip at most " + size;
  const std::string mismatch = "L2 The downloaded patch file does not match the patch catalogue.";
  struct Case {
    const char* name;
    std::function<void(Session&)> arrange;
    SessionEnd end;
    std::vector<std::string> expected;  // in this order among the calls
    std::vector<std::string> absent;
    std::wstring end_version;
  };
  const Case cases[] = {
      {"chain, serial kept after the first applied step",
       [](Session&) {},
       SessionEnd::kCompleted,
       {"find signed, 1 key(s), serial >= 5", "expect " + size, dl,
        "apply, deferring TarvLauncher.exe", "store serial 9",
        "download http://127.0.0.1:1/2_to_3.zip at most " + size, "L0 Patching completed."},
       {"store serial 9"},  // once only
       L"3"},
      {"serial already kept",
       [](Session& s) { s.ports.stored_serial = 9; },
       SessionEnd::kCompleted,
       {"find signed, 1 key(s), serial >= 9", "L0 Patching completed."},
       {"store serial 9"},
       L"3"},
      {"record without digest",
       [](Session& s) { s.ports.catalogue[L"1"].data_sha256.clear(); },
       SessionEnd::kAborted,
       {"L2 The patch catalogue gives no size or SHA-256 digest for the patch file: 1_to_2",
        "L0 Patching aborted."},
       {dl, "store serial 9"},
       L"1"},
      {"record without size",
       [](Session& s) { s.ports.catalogue[L"1"].data_size.reset(); },
       SessionEnd::kAborted,
       {"L2 The patch catalogue gives no size or SHA-256 digest for the patch file: 1_to_2"},
       {"store serial 9"},
       L"1"},
      {"archive changed, same size",
       [&](Session& s) { s.ports.content = "THE archive of a step"; },
       SessionEnd::kAborted,
       {dl, mismatch, "L2 Patch download failed.", "L0 Patching aborted."},
       {"L0 Unpacking patch file...", "store serial 9"},
       L"1"},
      {"archive shorter",
       [&](Session& s) { s.ports.content = archive.substr(1); },
       SessionEnd::kAborted,
       {dl, mismatch, "L2 Patch download failed."},
       {"L0 Unpacking patch file...", "store serial 9"},
       L"1"},
      {"applier failed: serial not kept",
       [](Session& s) { s.ports.apply = false; },
       SessionEnd::kAborted,
       {"L2 \nFailed to apply the patch: 1_to_2"},
       {"store serial 9"},
       L"1"},
      {"key file broken",
       [](Session& s) {
         tarvtest::WriteFile(s.install + "/Binaries/tarv-publisher.pub", "untrusted comment: k\n");
       },
       SessionEnd::kAborted,
       {"L2 The publisher's key file cannot be used: " + std::string("KEYFILE"),
        "L0 Patching aborted."},
       {"L0 Searching for patches..."},
       L"1"},
      {"no key: digest still checked",
       [&](Session& s) {
         tarvtest::RemoveTree(s.install + "/Binaries");
         s.ports.content = "THE archive of a step";
       },
       SessionEnd::kAborted,
       {dl, mismatch},
       {"find signed, 1 key(s), serial >= 5"},
       L"1"},
      {"no key, no digest: unchecked as before",
       [&](Session& s) {
         tarvtest::RemoveTree(s.install + "/Binaries");
         for (auto& [v, step] : s.ports.catalogue) step = {step.target_version, step.data_url};
         s.ports.content.reset();
       },
       SessionEnd::kCompleted,
       {"download http://127.0.0.1:1/1_to_2.zip"},
       {"find signed, 1 key(s), serial >= 5", "store serial 9"},
       L"3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    tarvtest::WriteFile(
        s.install + "/Binaries/tarv-publisher.pub",
        TarvCrypto::FormatPublisherKey(TarvCrypto::GenerateSecretKey().PublicKey()));
    for (auto& [v, step] : s.ports.catalogue) {
      step.data_size = archive.size();
      step.data_sha256 = digest;
    }
    s.ports.content = archive;
    s.ports.stored_serial = 5;
    s.ports.accepted_serial = 9;
    c.arrange(s);
    EXPECT_EQ(s.Run(), c.end);
    std::vector<std::string> calls = InReportOrder(s.ports.calls);
    const std::string key_file = s.install + "/Binaries/tarv-publisher.pub";
    size_t at = 0;
    for (std::string line : c.expected) {
      if (line.find("KEYFILE") != std::string::npos)
        line.replace(line.find("KEYFILE"), 7, key_file);
      auto found = std::find(calls.begin() + static_cast<long>(at), calls.end(), line);
      EXPECT_NE(found, calls.end()) << "missing or out of order: " << line;
      if (found != calls.end()) at = static_cast<size_t>(found - calls.begin()) + 1;
    }
    for (const std::string& line : c.absent) {
      EXPECT_LE(std::count(calls.begin(), calls.end(), line),
                std::count(c.expected.begin(), c.expected.end(), line))
          << line;
    }
    EXPECT_EQ(s.settings.GetCurrentVersion(), c.end_version);
    // A refused archive is not kept for the unpacker or a later run.
    if (std::find(calls.begin(), calls.end(), mismatch) != calls.end()) {
      EXPECT_FALSE(tarvtest::FileExists(TarvUtil::FsPath(s.ports.archives.back())));
    }
  }
}

}  // namespace
}  // namespace TarvPatch

namespace TarvPatch {
namespace {

// Offline: archives are copied into the session's folder and unpacked from
// there; the player's archive is never changed or removed.
TEST(PatchSession, PatchFolderAndSingleArchive) {
  std::vector<std::string> local_step = {"L0 Unpacking patch file...",
                                         "state 2",
                                         "L0 Patching...\n",
                                         "marker set",
                                         "state 3",
                                         "folder field",
                                         "apply, deferring TarvLauncher.exe",
                                         "commit",
                                         "marker cleared"};
  struct Case {
    const char* name;
    bool catalogue;
    std::string archive;  // --patch names this archive when not empty
    UnpackOutcome unpack;
    SessionEnd end;
    std::vector<std::string> tail;  // after "Searching for patches..."
  };
  const Case cases[] = {
      {"folder", true, "", UnpackOutcome::kUnpacked, SessionEnd::kCompleted,
       Join({{"local catalogue DIR"},
             local_step,
             {"L0 No (more) patches at server for version: 2", "physx", "L0 Patching completed.",
              "unlock"}})},
      {"one archive", false, "1_to_2.zip", UnpackOutcome::kUnpacked, SessionEnd::kCompleted,
       Join({local_step,
             {"L0 No (more) patches at server for version: 2", "physx", "L0 Patching completed.",
              "unlock"}})},
      {"archive of another version",
       false,
       "3_to_4.zip",
       UnpackOutcome::kUnpacked,
       SessionEnd::kAborted,
       {"L2 The patch archive 3_to_4.zip does not start at the installed version 1.",
        "L0 Patching aborted.", "unlock"}},
      {"unpacking fails: the player's archive stays",
       true,
       "",
       UnpackOutcome::kFailed,
       SessionEnd::kAborted,
       {"local catalogue DIR", "L0 Unpacking patch file...", "state 2",
        "L2 Failed to unpack the patch file", "L2 Failed to extract the patch archive.",
        "L0 Patching aborted.", "unlock"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    const std::string dir = s.dir.Sub("disk");
    const std::string archive = dir + "/" + (c.archive.empty() ? "1_to_2.zip" : c.archive);
    tarvtest::WriteFile(archive, "PK");
    if (c.catalogue) tarvtest::WriteFile(dir + "/patches.txt", "records");
    s.ports.catalogue.clear();
    s.ports.catalogue[L"1"] = {L"2", TarvUtil::FromFsPath(dir + "/1_to_2.zip")};
    s.ports.local_catalogue = c.catalogue;
    s.ports.unpack = c.unpack;
    s.settings.SetManualPatchPath(TarvUtil::FromFsPath(c.archive.empty() ? dir : archive));
    s.settings.SetLocalFile(true);
    EXPECT_EQ(s.Run(), c.end);
    std::vector<std::string> calls = s.ports.calls;
    for (std::string& line : calls) {
      size_t at = line.find(dir);
      if (at != std::string::npos) line.replace(at, dir.size(), "DIR");
    }
    EXPECT_EQ(calls, Join({kOpening, c.tail}));
    EXPECT_EQ(tarvtest::ReadFile(archive), "PK");
    EXPECT_TRUE(s.ports.archives.empty());  // nothing downloaded
    if (c.end == SessionEnd::kCompleted || c.unpack != UnpackOutcome::kUnpacked) {
      ASSERT_EQ(s.ports.unpacked.size(), 1u);
      EXPECT_EQ(Narrow(s.ports.unpacked[0]).rfind(Narrow(s.ports.temp) + "/", 0), 0u);
      EXPECT_EQ(s.ports.unpacked_content, std::vector<std::string>{"PK"});
    }
  }
}

// The archive of a patch folder is checked against the catalogue and then
// unpacked; whoever can write the player's folder may swap the archive in
// between. The unpacker reads the copy that was checked, in every layout.
TEST(PatchSession, OfflineArchiveSwappedAfterTheCheckIsNotUnpacked) {
  const std::string good = "PK the checked archive", evil = "PK another archive!!!";
  struct Case {
    const char* name;
    bool catalogue;  // a folder laid out like a server, or one archive
    bool digest;     // the catalogue gives the size and SHA-256
  };
  const Case cases[] = {
      {"patch folder with digests", true, true},
      {"patch folder without digests", true, false},
      {"one archive named by its versions", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    const std::string archive = s.dir.Sub("disk") + "/1_to_2.zip";
    tarvtest::WriteFile(archive, good);
    if (c.catalogue) tarvtest::WriteFile(s.dir.Sub("disk") + "/patches.txt", "records");
    s.ports.catalogue.clear();
    PatchStep step{L"2", TarvUtil::FromFsPath(archive)};
    if (c.digest) {
      step.data_size = good.size();
      step.data_sha256 = TarvCrypto::Sha256Hex(good.data(), good.size());
    }
    s.ports.catalogue[L"1"] = step;
    s.ports.local_catalogue = c.catalogue;
    s.ports.before_unpack = [&] { tarvtest::WriteFile(archive, evil); };
    s.settings.SetManualPatchPath(TarvUtil::FromFsPath(c.catalogue ? s.dir.Sub("disk") : archive));
    s.settings.SetLocalFile(true);
    EXPECT_EQ(s.Run(), SessionEnd::kCompleted);
    EXPECT_EQ(s.ports.unpacked_content, std::vector<std::string>{good});
  }
}

// A patch folder's archive longer than the catalogue says is refused
// without being copied whole, and the player's file stays.
TEST(PatchSession, OfflineArchiveLongerThanItsRecordIsRefused) {
  Session s;
  const std::string archive = s.dir.Sub("disk") + "/1_to_2.zip";
  const std::string content(3u << 20, 'z');
  tarvtest::WriteFile(archive, content);
  tarvtest::WriteFile(s.dir.Sub("disk") + "/patches.txt", "records");
  s.ports.catalogue.clear();
  PatchStep step{L"2", TarvUtil::FromFsPath(archive)};
  step.data_size = 100;
  step.data_sha256 = std::string(64, 'a');
  s.ports.catalogue[L"1"] = step;
  s.settings.SetManualPatchPath(TarvUtil::FromFsPath(s.dir.Sub("disk")));
  s.settings.SetLocalFile(true);
  EXPECT_EQ(s.Run(), SessionEnd::kAborted);
  EXPECT_TRUE(s.ports.unpacked.empty());
  EXPECT_EQ(tarvtest::ReadFile(archive), content);
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(s.dir.Sub("temp"), ec)) {
    EXPECT_FALSE(e.is_regular_file()) << e.path();  // no copy is left behind
  }
}

// A catalogue whose records lead back to a version of this session ends the
// chain before the step's download, with the cycle named in red.
TEST(PatchSession, ChainReturningToAReachedVersionEnds) {
  struct Case {
    const char* name;
    std::map<std::wstring, PatchStep> catalogue;
    size_t downloads;
    std::vector<std::string> end;  // the last calls
  };
  const Case cases[] = {
      {"a record onto itself",
       {{L"1", {L"1", L"http://127.0.0.1:1/1_to_1.zip"}}},
       0,
       {"L0 Searching for patches...",
        "L2 The patch chain returns to a version already reached and ends here: 1 -> 1",
        "L0 Patching aborted.", "unlock"}},
      {"back to the installed version",
       {{L"1", {L"2", L"http://127.0.0.1:1/1_to_2.zip"}},
        {L"2", {L"1", L"http://127.0.0.1:1/2_to_1.zip"}}},
       1,
       {"marker cleared",
        "L2 The patch chain returns to a version already reached and ends here: 1 -> 2 -> 1",
        "L0 Patching aborted.", "unlock"}},
      {"back to a version reached on the way",
       {{L"1", {L"2", L"u/1_to_2.zip"}},
        {L"2", {L"3", L"u/2_to_3.zip"}},
        {L"3", {L"2", L"u/3_to_2.zip"}}},
       2,
       {"marker cleared",
        "L2 The patch chain returns to a version already reached and ends here: 1 -> 2 -> 3 -> 2",
        "L0 Patching aborted.", "unlock"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.ports.catalogue = c.catalogue;
    EXPECT_EQ(s.Run(), SessionEnd::kAborted);
    EXPECT_EQ(s.ports.archives.size(), c.downloads);
    ASSERT_GE(s.ports.calls.size(), c.end.size());
    EXPECT_EQ(std::vector<std::string>(s.ports.calls.end() - static_cast<long>(c.end.size()),
                                       s.ports.calls.end()),
              c.end);
  }
}

// An installation made without the uninstaller: the step succeeds with a
// grey note, and no log appears.
TEST(PatchSession, MissingUninstallerLogIsANote) {
  Session s;
  s.settings.SetFinalVersion(L"2");
  ASSERT_EQ(unlink((s.install + "/unins000.dat").c_str()), 0);
  EXPECT_EQ(s.Run(), SessionEnd::kCompleted);
  EXPECT_NE(std::find(s.ports.calls.begin(), s.ports.calls.end(),
                      "L1 No uninstaller log; nothing recorded."),
            s.ports.calls.end());
  EXPECT_EQ(s.settings.GetCurrentVersion(), L"2");
  EXPECT_FALSE(tarvtest::FileExists(s.install + "/unins000.dat"));
}

TEST(PatchSession, StopDuringTheSearchOrTheDownloadEndsQuietlyAndLeavesNothing) {
  for (bool searching : {true, false}) {
    SCOPED_TRACE(searching ? "searching" : "downloading");
    Session s;
    // A stopped transfer fails; the session then sees the stop request.
    s.ports.stop_after_unpack = true;
    if (searching) {
      s.ports.find = false;
    } else {
      s.ports.download = false;
    }
    EXPECT_EQ(s.Run(), SessionEnd::kCancelled);
    const std::vector<std::string> tail = {
        searching ? "L0 Searching for patches..." : "download http://127.0.0.1:1/1_to_2.zip",
        "unlock"};
    ASSERT_GE(s.ports.calls.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(s.ports.calls.end() - 2, s.ports.calls.end()), tail);
    const std::string temp = TarvUtil::FsPath(s.ports.temp);
    if (!searching) {
      // Neither the archive nor the work folder stays.
      ASSERT_TRUE(tarvtest::FileExists(temp));
      EXPECT_TRUE(std::filesystem::is_empty(temp));
    }
    EXPECT_TRUE(tarvtest::ReadFile(s.install + "/unins000.dat") == s.log_before);
  }
}

}  // namespace
}  // namespace TarvPatch
