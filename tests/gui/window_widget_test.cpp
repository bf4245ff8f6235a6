// The window's report functions checked on its real widgets: colours of the
// log lines, order of lines from the worker, the gauge, what a confirmed
// cancel stops. Runs under an X server; any wxWidgets assertion fails the
// test that caused it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/webview.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "scripted_worker.h"
#include "ui/patch_main_frame.h"
#include "ui/window_ids.h"

namespace {

using TarvPatch::FrameSetup;
using TarvPatch::PatchMainFrame;

// The window with its protected state in reach of the test.
class ProbeFrame : public PatchMainFrame {
 public:
  using PatchMainFrame::PatchMainFrame;
  wxTextCtrl* Log() const { return m_logView; }
  wxGauge* Gauge() const { return m_gauge; }
  wxButton* Apply() const { return m_applyButton; }
  bool Running() const { return m_running; }
  TarvPatch::APThread* Worker() const { return m_thread; }
  void ConfirmCancelWithoutAsking() {
    Output().Silence();
    m_running = false;
  }
};

// Pumps the event loop until `done` or a generous limit (a hang, not slowness).
bool PumpUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 6000; ++i) {
    wxTheApp->ProcessPendingEvents();
    wxEventLoopBase::GetActive()->YieldFor(wxEVT_CATEGORY_ALL);
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

FrameSetup Standalone(const std::string& script) {
  FrameSetup setup;
  setup.installFolder = "/games/Tarv";
  setup.localFile = true;
  setup.makeWorker = [script](TarvPatch::SessionFrontEnd* frontEnd) {
    return TarvTest::ScriptedWorker::Make(frontEnd, script);
  };
  return setup;
}

std::string ColourAt(wxTextCtrl* log, long position) {
  wxTextAttr style;
  EXPECT_TRUE(log->GetStyle(position, style));
  return style.GetTextColour().GetAsString(wxC2S_CSS_SYNTAX).ToStdString();
}

std::string Css(const wxColour& colour) {
  return colour.GetAsString(wxC2S_CSS_SYNTAX).ToStdString();
}

class WindowWidgetTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (frame_ != nullptr) {
      frame_->Destroy();
      PumpUntil([] { return wxTopLevelWindows.empty(); });
    }
  }
  ProbeFrame* Open(FrameSetup setup) {
    frame_ = new ProbeFrame(nullptr, std::move(setup));
    frame_->Show();
    return frame_;
  }
  ProbeFrame* frame_ = nullptr;
};

TEST_F(WindowWidgetTest, LineColoursFollowTheLevel) {
  ProbeFrame* frame = Open(Standalone(""));
  frame->Log()->Clear();
  struct Line {
    int level;
    const char* text;
    wxColour colour;
  };
  const wxColour black(0, 0, 0), grey(128, 128, 128), red(255, 0, 0);
  const Line lines[] = {
      {1, "minor note", grey}, {5, "level five after grey", grey},
      {2, "error", red},       {7, "level seven after red", red},
      {0, "plain", black},     {-1, "negative after black", black},
      {1, "grey again", grey},
  };
  std::vector<long> starts;
  for (const Line& line : lines) {
    starts.push_back(frame->Log()->GetLastPosition());
    frame->ReportMessage(line.level, line.text);
  }
  wxString expected;
  for (const Line& line : lines) expected += wxString(line.text) + "\n";
  EXPECT_EQ(frame->Log()->GetValue(), expected);
  for (size_t i = 0; i < std::size(lines); ++i) {
    SCOPED_TRACE(lines[i].text);
    EXPECT_EQ(ColourAt(frame->Log(), starts[i]), Css(lines[i].colour));
    EXPECT_EQ(ColourAt(frame->Log(), starts[i] + 2), Css(lines[i].colour));
  }
}

TEST_F(WindowWidgetTest, WorkerLinesArriveInOrderAndTheGaugeCounts) {
  ProbeFrame* frame = Open(Standalone("total:3;steps:5;lines:300;line:1:last"));
  frame->Log()->Clear();
  EXPECT_TRUE(frame->Apply()->IsEnabled());
  wxCommandEvent click(wxEVT_BUTTON, TarvPatch::ID_APPLY_BUTTON);
  frame->StartPatching(click);
  EXPECT_TRUE(frame->Running());
  EXPECT_FALSE(frame->Apply()->IsEnabled());
  ASSERT_TRUE(PumpUntil([&] { return !frame->Running(); }));
  wxString expected;
  for (int i = 0; i < 300; ++i) expected += wxString::Format("line %d\n", i);
  expected += "last\n";
  EXPECT_EQ(frame->Log()->GetValue(), expected);
  // Five steps on a range of three: counted on, shown at the end of the range.
  EXPECT_EQ(frame->Gauge()->GetRange(), 3);
  EXPECT_EQ(frame->Gauge()->GetValue(), 3);
  const nlohmann::json shown = frame->DescribeWindow()["window"];
  EXPECT_EQ(shown["cancel"]["label"], "Exit");
  EXPECT_EQ(shown["apply"]["enabled"], false);
}

TEST_F(WindowWidgetTest, EmptyPhaseTakesStepsWithoutComplaint) {
  ProbeFrame* frame = Open(Standalone("total:0;steps:4"));
  wxCommandEvent click(wxEVT_BUTTON, TarvPatch::ID_APPLY_BUTTON);
  frame->StartPatching(click);
  ASSERT_TRUE(PumpUntil([&] { return !frame->Running(); }));
  EXPECT_EQ(frame->Gauge()->GetRange(), 0);
  EXPECT_EQ(frame->Gauge()->GetValue(), 0);
}

TEST_F(WindowWidgetTest, ConfirmedCancelStopsLinesAndSteps) {
  ProbeFrame* frame = Open(Standalone("line:0:before;sleep:400;line:2:after;wait-stop;line:0:end"));
  frame->Log()->Clear();
  wxCommandEvent click(wxEVT_BUTTON, TarvPatch::ID_APPLY_BUTTON);
  frame->StartPatching(click);
  ASSERT_TRUE(PumpUntil([&] { return frame->Log()->GetValue() == "before\n"; }));
  frame->ConfirmCancelWithoutAsking();
  // The worker goes on to its end: its steps are refused, its lines dropped,
  // and its finish notice still turns Cancel into Exit.
  ASSERT_TRUE(
      PumpUntil([&] { return frame->DescribeWindow()["window"]["cancel"]["label"] == "Exit"; }));
  EXPECT_EQ(frame->Log()->GetValue(), "before\n");
}

// The first session's phases leave their own range on the gauge; the next
// session's download is shown again, as a percentage.
TEST_F(WindowWidgetTest, NextSessionTakesTheGaugeBackForItsDownload) {
  ProbeFrame* frame = Open(Standalone("download:1000:3000;total:3;steps:3"));
  wxCommandEvent click(wxEVT_BUTTON, TarvPatch::ID_APPLY_BUTTON);
  frame->StartPatching(click);
  ASSERT_TRUE(PumpUntil([&] { return !frame->Running(); }));
  EXPECT_EQ(frame->Gauge()->GetRange(), 3);
  frame->StartPatching(click);
  EXPECT_EQ(frame->Gauge()->GetRange(), 100);
  EXPECT_TRUE(PumpUntil([&] {
    const int value = frame->Gauge()->GetValue();
    return frame->Running() && value > 0 && value < 100;
  }));
  ASSERT_TRUE(PumpUntil([&] { return !frame->Running(); }));
  EXPECT_EQ(frame->Gauge()->GetRange(), 3);
}

// A finish notice of an earlier worker that arrives while a new one runs
// (at the same address, as after the old one was deleted) is not the new
// worker's: the window does not join the running worker for it.
TEST_F(WindowWidgetTest, StaleFinishNoticeLeavesTheRunningWorkerAlone) {
  ProbeFrame* frame = Open(Standalone("wait-stop;line:0:end"));
  wxCommandEvent click(wxEVT_BUTTON, TarvPatch::ID_APPLY_BUTTON);
  frame->StartPatching(click);
  TarvPatch::APThread* worker = frame->Worker();
  ASSERT_NE(worker, nullptr);
  wxCommandEvent stale(wxEVT_MENU, TarvPatch::ID_THREAD_FINISHED);
  stale.SetClientData(static_cast<wxThread*>(worker));
  stale.SetExtraLong(static_cast<long>(worker->Generation() + 1));
  frame->GetEventHandler()->ProcessEvent(stale);
  EXPECT_TRUE(frame->Running());
  EXPECT_EQ(frame->Worker(), worker);
  EXPECT_EQ(frame->DescribeWindow()["window"]["cancel"]["label"], "Cancel");
  // The worker's own notice ends the session as usual.
  frame->ConfirmCancelWithoutAsking();
  ASSERT_TRUE(
      PumpUntil([&] { return frame->DescribeWindow()["window"]["cancel"]["label"] == "Exit"; }));
}

// The banner page is fetched fresh each time: the web view's cache is off
// (WebKit's "document viewer" model, 0, not its default web-browser model).
TEST_F(WindowWidgetTest, BannerPageIsNeverCached) {
  if (!wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) GTEST_SKIP() << "no web view";
  FrameSetup setup = Standalone("");
  setup.bannerAddress = "about:blank";
  Open(std::move(setup));
  using GetDefault = void* (*)();
  using GetCacheModel = int (*)(void*);
  auto get_default =
      reinterpret_cast<GetDefault>(dlsym(RTLD_DEFAULT, "webkit_web_context_get_default"));
  auto get_model =
      reinterpret_cast<GetCacheModel>(dlsym(RTLD_DEFAULT, "webkit_web_context_get_cache_model"));
  ASSERT_NE(get_default, nullptr);
  ASSERT_NE(get_model, nullptr);
  EXPECT_EQ(get_model(get_default()), 0);
}

TEST_F(WindowWidgetTest, WorkerOutlivingItsWindowTouchesNothing) {
  ProbeFrame* frame = Open(Standalone("sleep:300;lines:50;box:Late:never shown;steps:1"));
  wxCommandEvent click(wxEVT_BUTTON, TarvPatch::ID_APPLY_BUTTON);
  frame->StartPatching(click);
  TarvPatch::APThread* worker = TarvPatch::APThread::Current();
  ASSERT_NE(worker, nullptr);
  frame->Destroy();
  frame_ = nullptr;
  ASSERT_TRUE(PumpUntil([] { return wxTopLevelWindows.empty(); }));
  // The worker runs on after the window has gone and must end on its own.
  worker->Wait();
  delete worker;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  wxSetAssertHandler([](const wxString& file, int line, const wxString& func, const wxString& cond,
                        const wxString& msg) {
    ADD_FAILURE() << "wxWidgets assertion " << cond << " in " << func << " (" << file << ":" << line
                  << "): " << msg;
  });
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) return 2;
  wxGUIEventLoop loop;
  wxEventLoopActivator activate(&loop);
  const int result = RUN_ALL_TESTS();
  wxEntryCleanup();
  return result;
}
