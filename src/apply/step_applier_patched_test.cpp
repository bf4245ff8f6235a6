#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "apply/applier_test_fixture.h"
#include "apply/step_applier.h"

namespace TarvPatch::applier_test {
namespace {

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

}  // namespace
}  // namespace TarvPatch::applier_test
