// Links planted inside an installation never lead a step outside it: a link
// as a top folder, as a nested folder or as the entry's own file, for an
// added, deleted or patched entry and for the file the caller keeps (the
// uninstaller's log). Each is refused with a level-2 line naming the entry,
// nothing outside changes, and the installation stays byte for byte as it
// was. Plain symbolic links: no root needed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "apply/step_applier.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using tarvtest::Md5Hex;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

const std::string kOld(30000, 'o');
const std::string kNew = kOld + "changed";

class StepLinksTest : public testing::Test {
 public:
  void SetUp() override {
    install_ = dir_.Sub("game");
    outside_ = dir_.Sub("outside");
    project_ = dir_.Sub("project");
    tarvtest::MakeDirs(install_ + "/Binaries");
    std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
    WriteFile(tool, ReadFile(tarvtest::BinDir() + "/jpatch"));
    chmod(tool.c_str(), 0755);
    WriteFile(install_ + "/Real/kept.txt", "kept");
    // What a link may point at: files a step would add, delete or patch.
    WriteFile(outside_ + "/victim.txt", "outside");
    WriteFile(outside_ + "/patched.bin", kOld);
    WriteFile(outside_ + "/Sub/patched.bin", kOld);
    WriteFile(project_ + "/data/new.txt", "new");
    WriteFile(project_ + "/data/Data/new.txt", "new");
    WriteFile(project_ + "/data/Real/Sub/Deeper/new.txt", "new");
    WriteFile(dir_.Sub("old"), kOld);
    WriteFile(dir_.Sub("new"), kNew);
    for (const char* rel : {"patched.bin", "Data/patched.bin", "Real/Sub/patched.bin"}) {
      std::string diff = project_ + "/data/" + rel + ".diff";
      tarvtest::MakeDirs(diff.substr(0, diff.rfind('/')));
      auto r = tarvtest::Run({"/usr/bin/zstd", "-q", "-f", "--patch-from=" + dir_.Sub("old"),
                              dir_.Sub("new"), "-o", diff});
      ASSERT_EQ(r.exit_code, 0) << r.err;
    }
  }
  void TearDown() override {
    options_ = {};
    step_hook_ = nullptr;
  }

  // One step with the fixture's options, undone when it did not apply.
  bool ApplyStep(UndoResult* undo) {
    StepApplier step(TarvUtil::FromFsPath(install_), TarvUtil::FromFsPath(project_), options_,
                     observer_);
    if (step.Apply(L"")) return true;
    *undo = step.Undo();
    return false;
  }

  void Lists(const std::string& added, const std::string& deleted, const std::string& patched) {
    auto entries = [](const std::string& path, const std::string& second,
                      const std::string& third) {
      return path.empty() ? std::string() : path + "\n" + second + "\n" + third + "\n";
    };
    WriteFile(project_ + "/addedFiles.txt", entries(added, "", ""));
    WriteFile(project_ + "/deletedFiles.txt", entries(deleted, "", ""));
    WriteFile(project_ + "/patchedFiles.txt", entries(patched, Md5Hex(kNew), Md5Hex(kOld)));
  }

  void Link(const std::string& target, const std::string& rel) {
    tarvtest::MakeDirs(FolderOf(install_ + "/" + rel));
    ASSERT_EQ(symlink(target.c_str(), (install_ + "/" + rel).c_str()), 0) << rel;
  }
  static std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

  tarvtest::ScopedTempDir dir_;
  std::string install_, outside_, project_;
  std::vector<std::string> errors_;
  StepOptions options_;
  // Run before each entry of the step; empty: nothing happens.
  std::function<void()> step_hook_;
  FunctionStepObserver observer_{[this](int level, const std::wstring& text) {
                                   if (level == 2) errors_.push_back(TarvText::ToUtf8(text));
                                 },
                                 {},
                                 [this] {
                                   if (step_hook_) step_hook_();
                                   return true;
                                 }};
};

TEST_F(StepLinksTest, APlantedLinkIsRefusedAndNothingChanges) {
  struct Case {
    const char* name;
    const char* added;
    const char* deleted;
    const char* patched;
    std::function<void(StepLinksTest&)> plant;
    const char* entry;  // as the line must name it
  };
  const Case cases[] = {
      {"added file below a top folder link", "Data\\new.txt", "", "",
       [](StepLinksTest& t) { t.Link(t.outside_, "Data"); }, "Data\\new.txt"},
      {"added file and its folders below a nested link", "Real\\Sub\\Deeper\\new.txt", "", "",
       [](StepLinksTest& t) { t.Link(t.outside_, "Real/Sub"); }, "Real\\Sub\\Deeper\\new.txt"},
      {"added file over a link", "new.txt", "", "",
       [](StepLinksTest& t) { t.Link(t.outside_ + "/victim.txt", "new.txt"); }, "new.txt"},
      {"deleted file below a top folder link", "", "Data\\victim.txt", "",
       [](StepLinksTest& t) { t.Link(t.outside_, "Data"); }, "Data\\victim.txt"},
      {"deleted file below a nested link", "", "Real\\Sub\\victim.txt", "",
       [](StepLinksTest& t) { t.Link(t.outside_, "Real/Sub"); }, "Real\\Sub\\victim.txt"},
      {"deleted link", "", "victim.txt", "",
       [](StepLinksTest& t) { t.Link(t.outside_ + "/victim.txt", "victim.txt"); }, "victim.txt"},
      {"patched file below a top folder link", "", "", "Data\\patched.bin",
       [](StepLinksTest& t) { t.Link(t.outside_, "Data"); }, "Data\\patched.bin"},
      {"patched file below a nested link", "", "", "Real\\Sub\\patched.bin",
       [](StepLinksTest& t) { t.Link(t.outside_ + "/Sub", "Real/Sub"); }, "Real\\Sub\\patched.bin"},
      {"patched link", "", "", "patched.bin",
       [](StepLinksTest& t) { t.Link(t.outside_ + "/patched.bin", "patched.bin"); }, "patched.bin"},
      {"kept uninstaller log is a link", "new.txt", "", "",
       [](StepLinksTest& t) {
         t.Link(t.outside_ + "/victim.txt", "unins000.dat");
         t.options_.keep = {L"unins000.dat"};
       },
       "unins000.dat"},
  };
  const std::string refused =
      TarvText::ToUtf8(TarvMessages::LoadMessage(TarvMessages::Id::kStepLinkRefused));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Lists(c.added, c.deleted, c.patched);
    c.plant(*this);
    const auto install_before = tarvtest::SnapshotTree(install_);
    const auto outside_before = tarvtest::SnapshotTree(outside_);
    errors_.clear();
    UndoResult undo = UndoResult::kNothingOpen;
    EXPECT_FALSE(ApplyStep(&undo));
    EXPECT_EQ(tarvtest::SnapshotTree(outside_), outside_before);
    EXPECT_EQ(tarvtest::SnapshotTree(install_), install_before);
    EXPECT_NE(std::find(errors_.begin(), errors_.end(), refused + c.entry), errors_.end())
        << testing::PrintToString(errors_);
    TearDown();
    tarvtest::RemoveTree(dir_.path() + "/game");
    tarvtest::RemoveTree(dir_.path() + "/outside");
    tarvtest::RemoveTree(dir_.path() + "/project");
  }
}

// A link planted after the check, while the step runs (here before its
// second entry): the entry that meets it fails with the same line, the step
// is undone, and nothing outside changes.
TEST_F(StepLinksTest, ALinkPlantedDuringTheStepStopsIt) {
  WriteFile(install_ + "/Data/victim.txt", "inside");
  WriteFile(project_ + "/addedFiles.txt", "new.txt\n\n\n");
  WriteFile(project_ + "/deletedFiles.txt", "Data\\victim.txt\n\n\n");
  WriteFile(project_ + "/patchedFiles.txt", "");
  const auto install_before = tarvtest::SnapshotTree(install_);
  const auto outside_before = tarvtest::SnapshotTree(outside_);
  int steps = 0;
  auto swap = [&](bool plant) {
    const std::string data = install_ + "/Data", hidden = install_ + "/Data.real";
    if (plant) {
      ASSERT_EQ(rename(data.c_str(), hidden.c_str()), 0);
      ASSERT_EQ(symlink(outside_.c_str(), data.c_str()), 0);
    } else {
      ASSERT_EQ(unlink(data.c_str()), 0);
      ASSERT_EQ(rename(hidden.c_str(), data.c_str()), 0);
    }
  };
  step_hook_ = [&] {
    if (++steps == 2) swap(true);
  };
  UndoResult undo = UndoResult::kNothingOpen;
  EXPECT_FALSE(ApplyStep(&undo));
  EXPECT_EQ(undo, UndoResult::kUndone);
  ASSERT_EQ(steps, 2);
  EXPECT_EQ(tarvtest::SnapshotTree(outside_), outside_before);
  swap(false);
  EXPECT_EQ(tarvtest::SnapshotTree(install_), install_before);
  const std::string refused =
      TarvText::ToUtf8(TarvMessages::LoadMessage(TarvMessages::Id::kStepLinkRefused));
  EXPECT_EQ(errors_, std::vector<std::string>{refused + "Data\\victim.txt"});
}

}  // namespace
}  // namespace TarvPatch
