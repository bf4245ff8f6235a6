#include "apply/patch_applier.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "apply/file_patcher.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using tarvtest::FileExists;
using tarvtest::Md5Hex;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

std::wstring W(const std::string& s) { return TarvUtil::FromFsPath(s); }
std::string N(const std::wstring& s) { return TarvText::ToUtf8(s); }

struct Message {
  int level;
  std::string text;
  bool operator==(const Message& o) const { return level == o.level && text == o.text; }
};
std::ostream& operator<<(std::ostream& os, const Message& m) {
  return os << "[" << m.level << "] " << m.text;
}

// A parent folder holding an installation (with the real difference tool in
// its Binaries folder), a patch project and a file outside both, with the
// applier's callbacks recording into the fixture.
class ApplierTest : public testing::Test {
 protected:
  void SetUp() override {
    install_ = dir_.Sub("game dir");
    project_ = dir_.Sub("project");
    tarvtest::MakeDirs(install_ + "/Binaries");
    tarvtest::MakeDirs(project_ + "/data");
    InstallTool(ReadFile(tarvtest::BinDir() + "/jpatch"));
    WriteFile(dir_.Sub("victim.txt"), "outside");
    SetPatchCallbacks([this](uint32_t n) { totals_.push_back(n); },
                      [this] { return ++steps_ <= allowed_steps_; },
                      [this](int level, const std::wstring& text) {
                        messages_.push_back({level, N(text)});
                      });
  }
  void TearDown() override { SetPatchCallbacks(nullptr, nullptr, nullptr); }

  void InstallTool(const std::string& bytes) {
    std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
    WriteFile(tool, bytes);
    chmod(tool.c_str(), 0755);
  }
  void InstallScriptTool(const std::string& body) { InstallTool("#!/bin/sh\n" + body + "\n"); }

  void Lists(const std::string& added, const std::string& deleted, const std::string& patched) {
    WriteFile(project_ + "/addedFiles.txt", added);
    WriteFile(project_ + "/deletedFiles.txt", deleted);
    WriteFile(project_ + "/patchedFiles.txt", patched);
  }

  // A patched-files entry for `rel`, with its installed old content and a
  // difference made by the real zstd command.
  std::string PatchEntry(const std::string& rel, const std::string& old_content,
                         const std::string& new_content) {
    std::string fs_rel = rel;
    for (char& c : fs_rel) c = c == '\\' ? '/' : c;
    WriteFile(install_ + "/" + fs_rel, old_content);
    WriteFile(dir_.Sub("tmp.old"), old_content);
    WriteFile(dir_.Sub("tmp.new"), new_content);
    std::string diff = project_ + "/data/" + fs_rel + ".diff";
    tarvtest::MakeDirs(diff.substr(0, diff.rfind('/')));
    auto r =
        tarvtest::Run({"/usr/bin/zstd", "-q", "-f", "-3", "--long=31",
                       "--patch-from=" + dir_.Sub("tmp.old"), dir_.Sub("tmp.new"), "-o", diff});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return rel + "\n" + Md5Hex(new_content) + "\n" + Md5Hex(old_content) + "\n";
  }

  // One whole step, as the session runs it: committed when every entry
  // went through, undone otherwise.
  bool Apply(const std::wstring& deferred = L"TarvLauncher.exe") {
    if (ApplyPatchProject(W(install_), W(project_), deferred) && CommitPatchStep()) return true;
    last_undo_ = UndoPatchStep();
    return false;
  }

  std::vector<std::pair<std::string, std::string>> Outside() {
    auto all = tarvtest::SnapshotTree(dir_.path());
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& e : all) {
      if (e.first.rfind("game dir", 0) != 0 && e.first.rfind("project", 0) != 0) out.push_back(e);
    }
    return out;
  }

  tarvtest::ScopedTempDir dir_;
  std::string install_, project_;
  std::vector<uint32_t> totals_;
  int steps_ = 0;
  int allowed_steps_ = 1 << 30;
  std::vector<Message> messages_;
  UndoResult last_undo_ = UndoResult::kNothingOpen;
};

TEST_F(ApplierTest, EmptyListsAnnounceZeroAndSucceedQuietly) {
  Lists("", "", "");
  EXPECT_TRUE(Apply());
  EXPECT_EQ(totals_, std::vector<uint32_t>{0});
  EXPECT_EQ(steps_, 0);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ApplierTest, UnusableListEndsBeforeAnyChange) {
  struct Case {
    const char* name;
    std::function<void()> setup;
    std::string message;
  };
  std::string p = project_ + "/";
  const Case kCases[] = {
      {"deleted list missing",
       [&] { WriteFile(p + "patchedFiles.txt", ""), unlink((p + "deletedFiles.txt").c_str()); },
       "Could not open: " + p + "deletedFiles.txt for reading. the file might not be present"},
      {"patched list broken", [&] { WriteFile(p + "patchedFiles.txt", "a\nb\n"); },
       "The list file is broken: " + p +
           "patchedFiles.txt (the number of lines is not a multiple of three)"},
      {"deleted list not UTF-8", [&] { WriteFile(p + "deletedFiles.txt", "\xff\n\n\n"); },
       "The list file is broken: " + p + "deletedFiles.txt (not valid UTF-8)"},
  };
  WriteFile(project_ + "/data/new.txt", "new");
  for (const auto& c : kCases) {
    Lists("new.txt\n\n\n", "", "");
    c.setup();
    messages_.clear();
    totals_.clear();
    EXPECT_FALSE(Apply()) << c.name;
    EXPECT_EQ(messages_, (std::vector<Message>{{2, c.message}})) << c.name;
    EXPECT_TRUE(totals_.empty()) << c.name;
    EXPECT_FALSE(FileExists(install_ + "/new.txt")) << c.name;
  }
}

TEST_F(ApplierTest, AddedFilesAreCopiedWithTheirFolders) {
  WriteFile(project_ + "/data/Deep/Er/Größe ü.txt", "one");
  WriteFile(project_ + "/data/top.txt", "two");
  WriteFile(install_ + "/top.txt", "old two");
  // (A link at a target's name is refused: step_links_test.cpp.)
  Lists("Deep\\Er\\Größe ü.txt\n" + Md5Hex("one") + "\ny\ntop.txt\n\n\n", "", "");
  EXPECT_TRUE(Apply());
  EXPECT_EQ(ReadFile(install_ + "/Deep/Er/Größe ü.txt"), "one");
  EXPECT_EQ(ReadFile(install_ + "/top.txt"), "two");
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(steps_, 2);
}

TEST_F(ApplierTest, EachFailedAdditionIsReportedOnce) {
  WriteFile(project_ + "/data/a.txt", "a");
  WriteFile(project_ + "/data/c.txt", "c");
  WriteFile(install_ + "/blocker", "a file where a folder is needed");
  WriteFile(project_ + "/data/blocker/d.txt", "d");
  Lists("a.txt\n\n\nmissing.txt\n\n\nc.txt\n\n\nblocker\\d.txt\n\n\n", "", "");
  EXPECT_FALSE(Apply());
  std::string data = project_ + "/data/";
  EXPECT_EQ(messages_, (std::vector<Message>{
                           {2, "Could not copy the file: " + data + "missing.txt"},
                           {0, "Failed adding: missing.txt..."},
                           {2, "Could not create the directory: " + install_ + "/blocker"},
                           {0, "Failed adding: blocker\\d.txt..."},
                       }));
  // Found by the check: nothing was added.
  EXPECT_EQ(last_undo_, UndoResult::kNothingOpen);
  EXPECT_FALSE(FileExists(install_ + "/a.txt"));
  EXPECT_FALSE(FileExists(install_ + "/c.txt"));
}

// A copy that fails or carries the wrong data never costs the installed
// file: it keeps its bytes, and no temporary copy is left beside it.
TEST_F(ApplierTest, FailedOrWrongCopyKeepsTheInstalledFile) {
  struct Case {
    const char* name;
    std::string source;  // empty: missing from data/
    std::string digest;  // the list's second line
    std::vector<Message> messages;
  };
  const std::string data = project_ + "/data/";
  const Case cases[] = {
      {"source missing from data/",
       "",
       "",
       {{2, "Could not copy the file: " + data + "keep.bin"}, {0, "Failed adding: keep.bin..."}}},
      {"digest does not match",
       "forged",
       Md5Hex("genuine"),
       {{2, "The new file does not have the expected checksum: " + data + "keep.bin"},
        {0, "Failed adding: keep.bin..."}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    messages_.clear();
    unlink((data + "keep.bin").c_str());
    if (!c.source.empty()) WriteFile(data + "keep.bin", c.source);
    WriteFile(install_ + "/keep.bin", "installed");
    Lists("keep.bin\n" + c.digest + "\n\n", "", "");
    EXPECT_FALSE(Apply());
    EXPECT_EQ(messages_, c.messages);
    EXPECT_EQ(ReadFile(install_ + "/keep.bin"), "installed");
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(install_)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Binaries", "keep.bin"}));
  }
  // The right digest installs the file.
  messages_.clear();
  WriteFile(data + "keep.bin", "genuine");
  Lists("keep.bin\n" + Md5Hex("genuine") + "\n\n", "", "");
  EXPECT_TRUE(Apply());
  EXPECT_EQ(ReadFile(install_ + "/keep.bin"), "genuine");
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ApplierTest, DeletionReportsGoneFilesAsMinor) {
  WriteFile(install_ + "/old.txt", "x");
  tarvtest::MakeDirs(install_ + "/folder.txt");
  WriteFile(install_ + "/Sub/keep.txt", "k");
  WriteFile(install_ + "/Sub/gone.txt", "g");
  Lists("", "old.txt\n\n\ngone-already.txt\n\n\nSub\\gone.txt\n\n\n", "");
  EXPECT_TRUE(Apply());
  EXPECT_EQ(messages_, (std::vector<Message>{{1, "File seems to have been removed already: " +
                                                     install_ + "/gone-already.txt"}}));
  EXPECT_FALSE(FileExists(install_ + "/old.txt"));
  EXPECT_FALSE(FileExists(install_ + "/Sub/gone.txt"));
  EXPECT_TRUE(FileExists(install_ + "/Sub/keep.txt"));

  messages_.clear();
  Lists("", "folder.txt\n\n\ngone-already.txt\n\n\n", "");
  EXPECT_FALSE(Apply());  // refused by the check, before any change
  EXPECT_EQ(messages_,
            (std::vector<Message>{{2, "Could not delete: " + install_ + "/folder.txt"}}));
  Lists("", "Sub\\keep.txt\n\n\n", "");
  EXPECT_TRUE(Apply());
  EXPECT_TRUE(FileExists(install_ + "/Sub"));  // folders are never removed
}

TEST_F(ApplierTest, DeferredEntryIsPatchedLast) {
  std::string a = "already new a", b = "already new b", c = "already new c";
  WriteFile(install_ + "/Bin/TarvLauncher.exe", a);
  WriteFile(install_ + "/b.dat", b);
  WriteFile(install_ + "/Other/TarvLauncher.exe.cfg", c);
  auto entry = [](const std::string& rel, const std::string& content) {
    return rel + "\n" + Md5Hex(content) + "\n" + Md5Hex("old") + "\n";
  };
  Lists("", "",
        entry("Bin\\TarvLauncher.exe", a) + entry("b.dat", b) +
            entry("Other\\TarvLauncher.exe.cfg", c));
  EXPECT_TRUE(Apply());
  std::string prefix = "Existing file appears to have been patched already: " + install_;
  EXPECT_EQ(messages_, (std::vector<Message>{{1, prefix + "/b.dat"},
                                             {1, prefix + "/Other/TarvLauncher.exe.cfg"},
                                             {1, prefix + "/Bin/TarvLauncher.exe"}}));
  messages_.clear();
  EXPECT_TRUE(Apply(L""));  // no deferred name: file order
  EXPECT_EQ(messages_.front().text, prefix + "/Bin/TarvLauncher.exe");
}

TEST_F(ApplierTest, CancelEndsTheStepAndUndoesIt) {
  WriteFile(project_ + "/data/a.txt", "a");
  WriteFile(project_ + "/data/b.txt", "b");
  WriteFile(install_ + "/del.txt", "d");
  Lists("a.txt\n\n\nb.txt\n\n\n", "del.txt\n\n\n", PatchEntry("p.dat", "old", "new"));
  allowed_steps_ = 1;
  EXPECT_FALSE(Apply());
  EXPECT_EQ(totals_, std::vector<uint32_t>{4});
  EXPECT_EQ(steps_, 2);  // one granted, then the refusal ends the step
  EXPECT_EQ(last_undo_, UndoResult::kUndone);
  EXPECT_FALSE(FileExists(install_ + "/a.txt"));  // added, then undone
  EXPECT_FALSE(FileExists(install_ + "/b.txt"));
  EXPECT_TRUE(FileExists(install_ + "/del.txt"));
  EXPECT_EQ(ReadFile(install_ + "/p.dat"), "old");
  EXPECT_TRUE(messages_.empty());
}

// Every way the per-file procedure can end, with the real difference tool
// where it can show the case and small stand-in tools for the rest. In every
// failed case the installed file keeps its old content and no backup stays.
TEST_F(ApplierTest, PatchedFileOutcomes) {
  const std::string kOld = tarvtest::RandomBytes(5000, 1) + "old tail";
  const std::string kNew = tarvtest::RandomBytes(5000, 1) + "the new tail";
  const std::string rel = "Sub\\File.dat";
  const std::string target = install_ + "/Sub/File.dat";
  const std::string backup = target + ".bak";
  const std::string diff = project_ + "/data/Sub/File.dat.diff";
  const std::string real_tool = ReadFile(tarvtest::BinDir() + "/jpatch");
  // The check finds a missing tool and names the file as the backup it
  // would have been.
  const std::string cmd =
      install_ + "/Binaries/jpatchl-w32.exe \"" + backup + "\" \"" + diff + "\" \"" + target + "\"";
  WriteFile(dir_.Sub("expected.new"), kNew);
  struct Case {
    const char* name;
    std::function<void()> setup;  // after the entry, target and difference exist
    bool result;
    std::string content;  // of the target afterwards
    std::vector<Message> messages;
  };
  const Case kCases[] = {
      {"rebuilt by the real tool", [] {}, true, kNew, {}},
      {"target missing",
       [&] { unlink(target.c_str()); },
       false,
       "",
       {{2, "Failed to compute the checksum for existing file: " + target}}},
      {"already new",
       [&] { WriteFile(target, kNew); },
       true,
       kNew,
       {{1, "Existing file appears to have been patched already: " + target}}},
      {"damaged",
       [&] { WriteFile(target, "something else"); },
       false,
       "something else",
       {{2, "Existing file is damaged and cannot be patched: " + target}}},
      {"tool missing",
       [&] { unlink((install_ + "/Binaries/jpatchl-w32.exe").c_str()); },
       false,
       kOld,
       {{0, "Failed patch Command: " + cmd + " (No such file or directory)"}, {2, rel}}},
      {"difference missing",
       [&] { unlink(diff.c_str()); },
       false,
       kOld,
       {{2, rel + "Could not open patch file %s for reading."}}},
      {"difference damaged",
       [&] {
         std::string d = ReadFile(diff);
         d[d.size() / 2] ^= 0x55;
         WriteFile(diff, d);
       },
       false,
       kOld,
       {{2, rel + "Could not open patch file %s for reading."}}},
      {"difference made for another old file",
       [&] {
         // The same content shifted: the difference's copies land elsewhere.
         WriteFile(dir_.Sub("other.old"), "shift" + tarvtest::RandomBytes(5000, 1));
         tarvtest::Run({"/usr/bin/zstd", "-q", "-f", "--patch-from=" + dir_.Sub("other.old"),
                        dir_.Sub("expected.new"), "-o", diff});
       },
       false,
       kOld,
       {{2, rel + "Could not open patch file %s for reading."}}},
      {"difference is a link",
       [&] {
         rename(diff.c_str(), dir_.Sub("real.diff").c_str());
         symlink(dir_.Sub("real.diff").c_str(), diff.c_str());
       },
       false,
       kOld,
       {{2, "Refused a difference file that is not a regular file: " + diff}}},
      {"tool exits 1",
       [&] { InstallScriptTool("exit 1"); },
       false,
       kOld,
       {{2, rel + "Not enough Argument Specified to patch the file"}}},
      {"tool exits 2",
       [&] { InstallScriptTool("exit 2"); },
       false,
       kOld,
       {{2, rel + "Could not open data file %s for reading."}}},
      {"tool exits 4 after writing half",
       [&] { InstallScriptTool("echo half > \"$3\"; exit 4"); },
       false,
       kOld,
       {{2, rel + "Could not open output file for writing."}}},
      {"tool killed by a signal",
       [&] { InstallScriptTool("echo part > \"$3\"; kill -9 $$"); },
       false,
       kOld,
       {{2, rel + ": the patch tool ended abnormally (code 137)"}}},
      {"tool exits 0 with garbage",
       [&] { InstallScriptTool("echo garbage > \"$3\""); },
       false,
       kOld,
       {{2, "The patched file does not have the expected checksum: " + target}}},
      {"tool exits 0 without output",
       [&] { InstallScriptTool("exit 0"); },
       false,
       kOld,
       {{2, "The patched file does not have the expected checksum: " + target}}},
      // The digest our tool reports is taken only for the file it wrote:
      // a file changed since is read again, and a wrong digest that names
      // the right file fails even though the file would have passed.
      {"real tool, file changed after its digest",
       [&] { InstallScriptTool(tarvtest::BinDir() + "/jpatch \"$@\" && printf x >> \"$3\""); },
       false,
       kOld,
       {{2, "The patched file does not have the expected checksum: " + target}}},
      {"right file, wrong digest reported for it",
       [&] {
         InstallScriptTool("cp \"" + dir_.Sub("expected.new") + "\" \"$3\" && echo " +
                           std::string(32, '0') +
                           " $(stat -c '%s %d %i' \"$3\") $(stat -c %.9Y \"$3\" | tr -d .) >&3");
       },
       false,
       kOld,
       {{2, "The patched file does not have the expected checksum: " + target}}},
      {"real tool that reports nothing",
       [&] { InstallScriptTool("exec " + tarvtest::BinDir() + "/jpatch \"$@\" 3>&-"); },
       true,
       kNew,
       {}},
      {"tool exits 5 with the right content",
       [&] { InstallScriptTool("cp \"" + dir_.Sub("expected.new") + "\" \"$3\"; exit 5"); },
       true,
       kNew,
       {}},
      {"tool exits 200 with the right content",
       [&] { InstallScriptTool("cp \"" + dir_.Sub("expected.new") + "\" \"$3\"; exit 200"); },
       true,
       kNew,
       {}},
      {"tool exits 137 with the right content",
       [&] { InstallScriptTool("cp \"" + dir_.Sub("expected.new") + "\" \"$3\"; exit 137"); },
       true,
       kNew,
       {}},
  };
  for (const auto& c : kCases) {
    InstallTool(real_tool);
    std::string patched = PatchEntry(rel, kOld, kNew);
    Lists("", "", patched);
    c.setup();
    messages_.clear();
    EXPECT_EQ(Apply(), c.result) << c.name;
    EXPECT_EQ(messages_, c.messages) << c.name;
    if (c.content.empty()) {
      EXPECT_FALSE(FileExists(target)) << c.name;
    } else {
      EXPECT_TRUE(ReadFile(target) == c.content) << c.name << ": " << ReadFile(target).size();
    }
    EXPECT_FALSE(FileExists(backup)) << c.name;
    EXPECT_FALSE(FileExists(target + ".part")) << c.name;
    EXPECT_FALSE(FileExists(install_ + "/.tarv-step")) << c.name;
    unlink(target.c_str());
  }
  EXPECT_EQ(Outside(), (std::vector<std::pair<std::string, std::string>>{
                           {"expected.new", kNew},
                           {"other.old", "shift" + tarvtest::RandomBytes(5000, 1)},
                           {"real.diff", ReadFile(dir_.Sub("real.diff"))},
                           {"tmp.new", kNew},
                           {"tmp.old", kOld},
                           {"victim.txt", "outside"}}));
}

TEST_F(ApplierTest, AlreadyNewFileNeverStartsTheTool) {
  // Old and new digests equal: the new-digest test comes first.
  InstallScriptTool("touch \"" + dir_.Sub("tool-started") + "\"; exit 3");
  WriteFile(install_ + "/same.dat", "content");
  Lists("", "", "same.dat\n" + Md5Hex("content") + "\n" + Md5Hex("content") + "\n");
  EXPECT_TRUE(Apply());
  EXPECT_EQ(messages_, (std::vector<Message>{{1,
                                              "Existing file appears to have been patched "
                                              "already: " +
                                                  install_ + "/same.dat"}}));
  EXPECT_FALSE(FileExists(dir_.Sub("tool-started")));
  EXPECT_EQ(ReadFile(install_ + "/same.dat"), "content");
}

TEST_F(ApplierTest, DigestsCompareExactly) {
  std::string entry = PatchEntry("f.dat", "old", "new");
  std::string upper = entry;
  for (char& ch : upper) ch = (ch >= 'a' && ch <= 'f') ? ch - 32 : ch;
  upper.replace(0, 5, "f.dat");
  const std::string kCases[] = {upper, "f.dat\n" + Md5Hex("new") + " \n" + Md5Hex("old") + " \n"};
  for (const auto& list : kCases) {
    Lists("", "", list);
    messages_.clear();
    EXPECT_FALSE(Apply());
    EXPECT_EQ(messages_,
              (std::vector<Message>{
                  {2, "Existing file is damaged and cannot be patched: " + install_ + "/f.dat"}}));
    EXPECT_EQ(ReadFile(install_ + "/f.dat"), "old");
  }
}

// Entries that try to leave the installation, and a link planted in data/:
// nothing outside the installation folder changes.
TEST_F(ApplierTest, HostileListsChangeNothingOutside) {
  WriteFile(dir_.Sub("secret.txt"), "secret");
  WriteFile(project_ + "/data/evil.txt", "evil");
  symlink(dir_.Sub("secret.txt").c_str(), (project_ + "/data/linked.txt").c_str());
  auto before = Outside();
  std::string hostile_add =
      "..\\victim.txt\n\n\n"
      "Sub\\..\\..\\victim.txt\n\n\n"
      "C:\\..\\victim.txt\n\n\n"
      "../project/data/evil.txt\n\n\n"
      "linked.txt\n\n\n"
      "/abs.txt\n\n\n";
  WriteFile(project_ + "/data/abs.txt", "inside");
  std::string hostile_delete = "..\\victim.txt\n\n\nC:/../secret.txt\n\n\n..\n\n\n";
  std::string hostile_patch = "..\\victim.txt\n" + Md5Hex("x") + "\n" + Md5Hex("outside") + "\n";
  Lists(hostile_add, hostile_delete, hostile_patch);
  EXPECT_FALSE(Apply());
  EXPECT_EQ(Outside(), before);
  EXPECT_EQ(ReadFile(dir_.Sub("secret.txt")), "secret");
  // Refused as a whole: even the entry whose root part is dropped waits.
  EXPECT_FALSE(FileExists(install_ + "/abs.txt"));
  EXPECT_FALSE(FileExists(install_ + "/linked.txt"));
  int refused = 0;
  for (const auto& m : messages_) {
    if (m.text.rfind("Refused", 0) == 0) {
      ++refused;
      EXPECT_EQ(m.level, 2);
    }
  }
  EXPECT_EQ(refused, 9) << testing::PrintToString(messages_);
}

// A "<file>.bak" that an older patcher left beside a patched file is not
// the game's and not this step's: the step neither reads nor removes it,
// whether it commits or is undone (the journal, not a backup beside the
// file, carries the old file now).
TEST_F(ApplierTest, StaleBackupsOfOlderPatchersAreLeftAsTheyAre) {
  struct Case {
    const char* name;
    bool damage_other;  // a second entry that fails, so the step is undone
    const char* content;
  };
  const Case cases[] = {{"committed", false, "new"}, {"undone", true, "old"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string patched = PatchEntry("Sub\\p.dat", "old", "new");
    if (c.damage_other) patched += PatchEntry("q.dat", "old q", "new q") + "";
    WriteFile(install_ + "/Sub/p.dat.bak", "a backup from an older patcher");
    if (c.damage_other) WriteFile(install_ + "/q.dat", "damaged");
    Lists("", "", patched);
    EXPECT_EQ(Apply(), !c.damage_other);
    EXPECT_EQ(ReadFile(install_ + "/Sub/p.dat"), c.content);
    EXPECT_EQ(ReadFile(install_ + "/Sub/p.dat.bak"), "a backup from an older patcher");
  }
}

TEST_F(ApplierTest, InstallationPathWithBlanksKeepsTheToolUnquoted) {
  std::string entry = PatchEntry("a b\\c d.dat", "old", "new");
  Lists("", "", entry);
  unlink((install_ + "/Binaries/jpatchl-w32.exe").c_str());
  EXPECT_FALSE(Apply());
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_[0].text,
            "Failed patch Command: " + install_ + "/Binaries/jpatchl-w32.exe \"" + install_ +
                "/a b/c d.dat.bak\" \"" + project_ + "/data/a b/c d.dat.diff\" \"" + install_ +
                "/a b/c d.dat\" (No such file or directory)");
  EXPECT_EQ(ReadFile(install_ + "/a b/c d.dat"), "old");
}

TEST_F(ApplierTest, WithoutMessageCallbackLinesGoToTheStandardStreams) {
  SetPatchCallbacks(nullptr, nullptr, nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ReportPatchMessage(0, L"plain ü");
  ReportPatchMessage(1, L"minor");
  ReportPatchMessage(2, L"error");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain ü\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "minor\nerror\n");
}

TEST_F(ApplierTest, AddedFileListForTheUninstaller) {
  WriteFile(project_ + "/addedFiles.txt",
            "Sub\\a.txt\nanything\n\n..\\outside.txt\n\n\nb.txt\n\n\n");
  PatchFileList list = ReadAddedFileList(W(project_));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].m_path, L"Sub\\a.txt");
  EXPECT_EQ(list[0].m_newDigest, L"");
  EXPECT_EQ(list[1].m_path, L"b.txt");
  EXPECT_TRUE(messages_.empty());

  unlink((project_ + "/addedFiles.txt").c_str());
  EXPECT_TRUE(ReadAddedFileList(W(project_)).empty());
  EXPECT_EQ(messages_, (std::vector<Message>{{2, "Could not open: " + project_ +
                                                     "/addedFiles.txt for reading. the file "
                                                     "might not be present"}}));
}

}  // namespace
}  // namespace TarvPatch
