// The fixture of the applier's tests: a parent folder with an installation
// (carrying the real difference tool), a patch project and a file outside
// both, and an observer that records the step's totals, steps and lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "apply/step_applier.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "support/test_support.h"

namespace TarvPatch::applier_test {

using tarvtest::FileExists;
using tarvtest::Md5Hex;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

inline std::wstring W(const std::string& s) { return TarvUtil::FromFsPath(s); }
inline std::string N(const std::wstring& s) { return TarvText::ToUtf8(s); }

struct Message {
  int level;
  std::string text;
  bool operator==(const Message& o) const { return level == o.level && text == o.text; }
};
inline std::ostream& operator<<(std::ostream& os, const Message& m) {
  return os << "[" << m.level << "] " << m.text;
}

// A parent folder holding an installation (with the real difference tool in
// its Binaries folder), a patch project and a file outside both, with the
// applier's observer recording into the fixture.
class ApplierTest : public testing::Test {
 protected:
  void SetUp() override {
    install_ = dir_.Sub("game dir");
    project_ = dir_.Sub("project");
    tarvtest::MakeDirs(install_ + "/Binaries");
    tarvtest::MakeDirs(project_ + "/data");
    InstallTool(ReadFile(tarvtest::BinDir() + "/jpatch"));
    WriteFile(dir_.Sub("victim.txt"), "outside");
  }

  void InstallTool(const std::string& bytes) {
    std::string tool = install_ + "/Binaries/jpatchl-w32.exe";
    WriteFile(tool, bytes);
    std::filesystem::permissions(tool, std::filesystem::perms(0755));
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
    StepApplier step(W(install_), W(project_), {}, observer_);
    if (step.Apply(deferred) && step.Commit()) return true;
    last_undo_ = step.Undo();
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
  FunctionStepObserver observer_{[this](int level, const std::wstring& text) {
                                   messages_.push_back({level, N(text)});
                                 },
                                 [this](uint32_t n) { totals_.push_back(n); },
                                 [this] { return ++steps_ <= allowed_steps_; }};
};

}  // namespace TarvPatch::applier_test
