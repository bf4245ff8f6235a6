#include "session/ap_thread.h"

#include <gtest/gtest.h>
#include <wx/init.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace TarvPatch {
namespace {

// Records every call; its message box blocks until the test releases it.
class RecordingFrontEnd : public SessionFrontEnd {
 public:
  void ReportMessage(int level, const wxString& text) override {
    Record(std::to_string(level) + ":" + text.utf8_string());
  }
  void ReportTotal(uint32_t units) override { Record("total:" + std::to_string(units)); }
  bool ReportStep() override {
    Record("step");
    return true;
  }
  void ShowMessageBox(const wxString& text, const wxString&) override {
    std::unique_lock<std::mutex> lock(mutex);
    calls.push_back("box:" + text.utf8_string());
    boxOpen = true;
    changed.notify_all();
    changed.wait(lock, [&] { return boxReleased; });
    boxOpen = false;
  }
  void EnableApplyButton() override { Record("apply-on"); }
  void SetInstallFolderText(const wxString& folder) override {
    Record("folder:" + folder.utf8_string());
  }
  void PostThreadFinished() override { Record("finished"); }

  void Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
    changed.notify_all();
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;
  bool boxOpen = false;
  bool boxReleased = false;
};

// A worker that runs a function as its session.
class FunctionWorker : public APThread {
 public:
  FunctionWorker(SessionFrontEnd* frontEnd, std::function<void(FunctionWorker&)> work)
      : APThread(frontEnd), m_work(std::move(work)) {}
  using APThread::ReportMessage;

 protected:
  void DoWork() override {
    m_work(*this);
    APThread::DoWork();
  }

 private:
  std::function<void(FunctionWorker&)> m_work;
};

class APThreadTest : public ::testing::Test {
 protected:
  wxInitializer wx_;
};

void RunToEnd(APThread& worker) {
  ASSERT_EQ(worker.Create(), wxTHREAD_NO_ERROR);
  ASSERT_EQ(worker.Run(), wxTHREAD_NO_ERROR);
  worker.Wait();
}

TEST_F(APThreadTest, SessionCallsReachItsWindowInOrderThenTheFinishNotice) {
  RecordingFrontEnd window;
  FunctionWorker worker(&window, [](FunctionWorker& w) {
    w.ReportMessage(0, "Searching for patches...");
    w.ReportTotal(2);
    EXPECT_TRUE(w.ReportStep());
    w.ReportMessage(2, "failed");
    w.SetInstallFolderText("/games/Tarv");
    w.EnableApplyButton();
  });
  EXPECT_EQ(APThread::Current(), &worker);
  RunToEnd(worker);
  EXPECT_EQ(window.Calls(),
            (std::vector<std::string>{"0:Searching for patches...", "total:2", "step", "2:failed",
                                      "folder:/games/Tarv", "apply-on", "finished"}));
  APThread::DetachFrontEnd(&window);
}

TEST_F(APThreadTest, DetachedWindowHearsNothingAndStepsAreRefused) {
  RecordingFrontEnd window;
  std::atomic<bool> stepAnswer{true};
  FunctionWorker worker(&window, [&](FunctionWorker& w) {
    w.ReportMessage(0, "after the window went");
    stepAnswer = w.ReportStep();
  });
  APThread::DetachFrontEnd(&window);
  RunToEnd(worker);
  EXPECT_TRUE(window.Calls().empty());
  EXPECT_FALSE(stepAnswer);
}

TEST_F(APThreadTest, DetachWaitsForACallInsideTheWindow) {
  RecordingFrontEnd window;
  FunctionWorker worker(&window, [](FunctionWorker& w) { w.ShowMessageBox("Files in use", "x"); });
  ASSERT_EQ(worker.Create(), wxTHREAD_NO_ERROR);
  ASSERT_EQ(worker.Run(), wxTHREAD_NO_ERROR);
  {
    std::unique_lock<std::mutex> lock(window.mutex);
    window.changed.wait(lock, [&] { return window.boxOpen; });
  }
  std::atomic<bool> detached{false};
  std::thread closing([&] {
    APThread::DetachFrontEnd(&window);
    detached = true;
  });
  // The window may not go while the worker is inside it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(detached);
  {
    std::lock_guard<std::mutex> lock(window.mutex);
    window.boxReleased = true;
    window.changed.notify_all();
  }
  closing.join();
  EXPECT_TRUE(detached);
  worker.Wait();
  // The finish notice came after the detach and was dropped.
  EXPECT_EQ(window.Calls(), (std::vector<std::string>{"box:Files in use"}));
}

TEST_F(APThreadTest, StopRequestIsSeenByTheWorker) {
  RecordingFrontEnd window;
  std::atomic<bool> started{false};
  FunctionWorker worker(&window, [&](FunctionWorker& w) {
    started = true;
    while (!w.TestDestroy()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    w.ReportMessage(0, "stopping");
  });
  ASSERT_EQ(worker.Create(), wxTHREAD_NO_ERROR);
  ASSERT_EQ(worker.Run(), wxTHREAD_NO_ERROR);
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  worker.RequestStop();
  worker.Wait();
  EXPECT_EQ(window.Calls(), (std::vector<std::string>{"0:stopping", "finished"}));
  APThread::DetachFrontEnd(&window);
}

TEST_F(APThreadTest, ExceptionEscapingTheSessionIsFatal) {
  EXPECT_EXIT(
      {
        RecordingFrontEnd window;
        window.boxReleased = true;
        FunctionWorker worker(&window, [](FunctionWorker&) { throw std::runtime_error("boom"); });
        RunToEnd(worker);
      },
      ::testing::ExitedWithCode(255), "");
}

}  // namespace
}  // namespace TarvPatch
