// The patcher's window as the player sees it: the banner, the installation
// folder, the session log with its gauge and buttons, and the download
// display. Created by the application on the GUI thread; destroyed through
// Close. It starts its session at once in download mode.
#pragma once

#include <wx/timer.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "ui/banner.h"
#include "ui/download_display.h"
#include "ui/main_frame.h"

namespace TarvPatch {

// What the window needs of the start-up: the settings it shows and how to
// make the session's worker.
struct FrameSetup {
  wxString installFolder;
  bool repair = false;
  bool localFile = false;
  // The start-up summary, put first in the log as it is.
  wxString startupSummary;
  // Makes the session's worker for this window; null runs the base worker,
  // which only reports that it has finished. The download status handed
  // with the worker, if any, feeds the download display.
  std::function<SessionWorker(SessionFrontEnd*)> makeWorker;
  // The banner page; empty for none.
  wxString bannerAddress;
  // Lines of the start-up (what the recovery of a killed run's step did),
  // shown after the summary as the session's first lines.
  std::vector<std::pair<int, wxString>> startupLines;
};

// The full window. GUI thread; see MainFrame for the worker's side.
class PatchMainFrame : public MainFrame, private DownloadView {
 public:
  PatchMainFrame(wxEvtHandler* app, FrameSetup setup);
  ~PatchMainFrame() override;

  void StartPatching(wxCommandEvent& event) override;

  // Asks the window to write DescribeWindow to the session log at its next
  // timer tick. Async-signal-safe, so a signal handler can ask for it.
  static void RequestDescription();

 protected:
  void SetFolderField(const wxString& folder) override;
  void DescribeMore(nlohmann::json& window) const override;

 private:
  void CreateControls();
  void CreateBanner();
  void CreateFolderRow();
  void OnTimer(wxTimerEvent& event);
  void OnBannerShown();
  // The download status of the worker in m_thread; null when there is none
  // or it does not download.
  const DownloadProgress* CurrentProgress() const;

  // DownloadView: the gauge and the status line.
  void SetGaugeRange(uint32_t range) override;
  void SetGaugeValue(uint32_t value) override;
  void SetStatusLine(const wxString& text) override;

  FrameSetup m_setup;
  wxTextCtrl* m_pathText = nullptr;
  wxStaticText* m_folderLabel = nullptr;
  std::unique_ptr<Banner> m_banner;
  wxTimer m_timer;
  // The worker last made, as makeWorker handed it; m_thread is that worker
  // until the base lets it go.
  SessionWorker m_worker;
  DownloadDisplay m_download;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace TarvPatch
