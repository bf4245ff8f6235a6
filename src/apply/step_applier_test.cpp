#include "apply/step_applier.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "apply/applier_test_fixture.h"

namespace TarvPatch::applier_test {
namespace {

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

// Two steps open side by side on two installations: each reports to its
// own observer and ends as its own caller decides, one committed and one
// undone, neither touching the other.
TEST_F(ApplierTest, StepsSideBySideStayApart) {
  WriteFile(project_ + "/data/new.txt", "new");
  Lists("new.txt\n\n\n", "gone.txt\n\n\n", "");
  WriteFile(install_ + "/gone.txt", "old");
  const std::string other = dir_.Sub("other game");
  tarvtest::MakeDirs(other);
  std::vector<Message> other_lines;
  FunctionStepObserver other_observer([&](int level, const std::wstring& text) {
    other_lines.push_back({level, N(text)});
  });
  StepApplier first(W(install_), W(project_), {}, observer_);
  StepApplier second(W(other), W(project_), {}, other_observer);
  ASSERT_TRUE(first.Apply(L""));
  ASSERT_TRUE(second.Apply(L""));
  EXPECT_TRUE(first.Commit());
  EXPECT_EQ(second.Undo(), UndoResult::kUndone);
  EXPECT_EQ(ReadFile(install_ + "/new.txt"), "new");
  EXPECT_FALSE(FileExists(install_ + "/gone.txt"));
  EXPECT_FALSE(FileExists(other + "/new.txt"));
  EXPECT_FALSE(FileExists(install_ + "/.tarv-step"));
  EXPECT_FALSE(FileExists(other + "/.tarv-step"));
  EXPECT_EQ(totals_, std::vector<uint32_t>{2});
  EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
  EXPECT_EQ(other_lines, (std::vector<Message>{{1, "File seems to have been removed already: " +
                                                       other + "/gone.txt"}}));
}

TEST_F(ApplierTest, AddedFileListForTheUninstaller) {
  WriteFile(project_ + "/addedFiles.txt",
            "Sub\\a.txt\nanything\n\n..\\outside.txt\n\n\nb.txt\n\n\n");
  PatchFileList list = ReadAddedFileList(W(project_), observer_);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].m_path, L"Sub\\a.txt");
  EXPECT_EQ(list[0].m_newDigest, L"");
  EXPECT_EQ(list[1].m_path, L"b.txt");
  EXPECT_TRUE(messages_.empty());

  unlink((project_ + "/addedFiles.txt").c_str());
  EXPECT_TRUE(ReadAddedFileList(W(project_), observer_).empty());
  EXPECT_EQ(messages_, (std::vector<Message>{{2, "Could not open: " + project_ +
                                                     "/addedFiles.txt for reading. the file "
                                                     "might not be present"}}));
}

}  // namespace
}  // namespace TarvPatch::applier_test
