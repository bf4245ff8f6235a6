#include "session/patch_thread.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/init.h>

#include <cstdlib>
#include <mutex>

#include "diag/crash_dump.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

// A front end that records what the worker asks of the window.
class RecordingFrontEnd : public SessionFrontEnd {
 public:
  void ReportMessage(int level, const wxString& text) override {
    Add("L" + std::to_string(level) + " " + text.ToStdString());
  }
  void ReportTotal(uint32_t) override {}
  bool ReportStep() override { return true; }
  void ShowMessageBox(const wxString& text, const wxString& caption) override {
    Add("box " + caption.ToStdString() + ": " + text.ToStdString());
  }
  void EnableApplyButton() override {}
  void SetInstallFolderText(const wxString&) override {}
  void PostThreadFinished() override { Add("finished"); }

  std::string Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }

 private:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls += line + "\n";
  }
  std::mutex m_mutex;
  std::string m_calls;
};

// A worker whose session meets an exception in its second step.
class ThrowingThread : public PatchThread {
 public:
  using PatchThread::PatchThread;

 private:
  void SelectLanguage() override { throw std::runtime_error("broken on purpose"); }
};

size_t CountDumps(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    n += std::string(e->d_name).rfind("patcher-v30323-", 0) == 0;
  }
  if (d) closedir(d);
  return n;
}

// An exception escaping the session on the worker writes the crash dump,
// shows "Unhandled Exception" and ends the process with exit code -1.
TEST(PatchThreadDeathTest, ExceptionOnTheWorkerWritesTheDumpAndExits) {
  // Forked without exec, so that the child writes into this test's folder.
  GTEST_FLAG_SET(death_test_style, "fast");
  tarvtest::ScopedTempDir dir;
  auto crash = [&] {
    wxInitializer wx;
    if (chdir(dir.path().c_str()) != 0) std::_Exit(3);
    SetUpCrashDump(L"patcher");
    RecordingFrontEnd frontEnd;
    PatchSettings settings;
    settings.SetTargetDirectory(dir.Sub("Tarv"));
    ThrowingThread worker(&frontEnd, settings);
    worker.Create();
    worker.Run();
    worker.Wait();
    std::_Exit(0);  // not reached: the guard ends the process
  };
  EXPECT_EXIT(crash(), ::testing::ExitedWithCode(255), "");
  EXPECT_EQ(CountDumps(dir.path()), 1u);
}

// Without a server the session ends at once with its verdict and the finish
// notice, through the real ports of the worker.
TEST(PatchThread, NothingToDoEndsWithVerdictAndFinishNotice) {
  wxInitializer wx;
  tarvtest::ScopedTempDir dir;
  tarvtest::MakeDirs(dir.Sub("Tarv/Binaries/LauncherApp"));
  setenv("OBELK_MACHINE_REGISTRY", dir.Sub("machine.conf").c_str(), 1);
  setenv("OBELK_USER_REGISTRY", dir.Sub("user.conf").c_str(), 1);
  setenv("TEMP", dir.Sub("temp").c_str(), 1);
  RecordingFrontEnd frontEnd;
  PatchSettings settings;
  settings.SetTargetDirectory(dir.Sub("Tarv"));
  settings.SetCurrentVersion("1");
  {
    PatchThread worker(&frontEnd, settings);
    ASSERT_EQ(worker.Create(), wxTHREAD_NO_ERROR);
    ASSERT_EQ(worker.Run(), wxTHREAD_NO_ERROR);
    worker.Wait();
  }
  unsetenv("OBELK_MACHINE_REGISTRY");
  unsetenv("OBELK_USER_REGISTRY");
  unsetenv("TEMP");
  EXPECT_EQ(
      frontEnd.Calls(),
      "L0 Neither local file nor patch server. Nothing to do.\nL0 Patching aborted.\nfinished\n");
  // The access test made the launcher page.
  EXPECT_TRUE(tarvtest::FileExists(dir.Sub("Tarv/Binaries/LauncherApp/index.html")));
}

}  // namespace
}  // namespace TarvPatch
