#include <gtest/gtest.h>
#include <unistd.h>

#include "session/patch_session.h"
#include "session/session_test_fixture.h"

namespace TarvPatch::session_test {
namespace {

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
}  // namespace TarvPatch::session_test
