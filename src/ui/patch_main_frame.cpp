#include "ui/patch_main_frame.h"

#include <wx/artprov.h>
#include <wx/webview.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>

#include "os/message_ids.h"
#include "os/messages.h"
#include "ui/describe_request.h"
#include "ui/session_log.h"
#include "ui/window_ids.h"

namespace TarvPatch {
namespace {

// Lock-free, so a signal handler may set it.
std::atomic<bool> g_describeRequested{false};

// Seconds since the first timer tick of the process.
double ElapsedSinceFirstTick() {
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point start = Clock::now();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(PatchMainFrame, MainFrame)
  EVT_TIMER(ID_PROGRESS_TIMER, PatchMainFrame::OnTimer)
wxEND_EVENT_TABLE();
// clang-format on

PatchMainFrame::PatchMainFrame(wxEvtHandler* app, FrameSetup setup)
    : MainFrame("Obelk Patcher ", app),
      m_setup(std::move(setup)),
      m_timer(this, ID_PROGRESS_TIMER) {
  m_panel = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                 wxHSCROLL | wxVSCROLL, "panel");
  m_sizer = new wxBoxSizer(wxVERTICAL);
  CreateBanner();
  CreateFolderRow();
  m_panel->SetSizer(m_sizer);
  m_timer.Start(500);
  CreateControls();

  m_pathText->Disable();
  if (!m_setup.repair && !m_setup.localFile) {
    wxCommandEvent start(wxEVT_NULL, 0);
    StartPatching(start);
  }
  m_banner->Hide();  // until its page has loaded
  if (SessionLog::Get().IsActive()) {
    ListenForDescribeRequests(RequestDescription);
    RequestDescription();  // the first description tells that the window is up
  }
}

PatchMainFrame::~PatchMainFrame() { m_timer.Stop(); }

void PatchMainFrame::CreateBanner() {
  m_banner = std::make_unique<Banner>(m_panel, ID_BANNER, m_setup.bannerAddress,
                                      [this] { OnBannerShown(); });
  if (m_banner->View() != nullptr) m_sizer->Add(m_banner->View(), 0, wxEXPAND | wxALL, 5);
}

void PatchMainFrame::CreateFolderRow() {
  const int labelId =
      m_setup.repair ? TarvMessages::Id::kRepairingInstall : TarvMessages::Id::kPatchingInstall;
  // The label's width follows its text, so no language's label is cut.
  m_folderLabel = new wxStaticText(m_panel, wxID_STATIC, TarvMessages::LoadMessage(labelId),
                                   wxDefaultPosition, wxDefaultSize, 0, "staticText");
  m_pathText = new wxTextCtrl(m_panel, wxID_ANY, m_setup.installFolder, wxDefaultPosition,
                              wxSize(240, -1), 0, wxDefaultValidator, "text");
  // A long folder does not fit the disabled field; the tip shows all of it.
  m_pathText->SetToolTip(m_setup.installFolder);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  row->Add(m_folderLabel, 0, wxALL | wxALIGN_CENTER_VERTICAL, 5);
  row->Add(m_pathText, 1, wxEXPAND | wxALL, 5);
  m_sizer->Add(row, 0, wxEXPAND | wxALL, 5);
}

void PatchMainFrame::CreateControls() {
  MainFrame::CreateControls();
  // The icon comes from the desktop's icon theme, where the installation
  // puts it; a build that is not installed shows the toolkit's default.
  const wxIcon icon = wxArtProvider::GetIcon("tarv-patcher", wxART_FRAME_ICON);
  if (icon.IsOk()) SetIcon(icon);
  m_applyButton->Enable();
  if (m_setup.repair)
    m_applyButton->SetLabel(TarvMessages::LoadMessage(TarvMessages::Id::kRepairButton));
  m_logView->AppendText(m_setup.startupSummary);
  for (const auto& [level, text] : m_setup.startupLines) ReportMessage(level, text);
}

void PatchMainFrame::StartPatching(wxCommandEvent& event) {
  if (m_thread != nullptr) RetireWorker();  // an older session on its way out
  m_worker = m_setup.makeWorker ? m_setup.makeWorker(this) : SessionWorker{new APThread(this)};
  m_thread = m_worker.thread;
  m_download.BeginSession(*this);
  MainFrame::StartPatching(event);
}

const DownloadProgress* PatchMainFrame::CurrentProgress() const {
  return m_thread != nullptr && m_thread == m_worker.thread ? m_worker.progress : nullptr;
}

void PatchMainFrame::OnTimer(wxTimerEvent& /*event*/) {
  const double elapsed = ElapsedSinceFirstTick();
  ReapRetiredWorkers();
  std::optional<DownloadStatus> status;
  if (const DownloadProgress* progress = CurrentProgress()) status = progress->GetDownloadStatus();
  if (Cancelled() && status && status->state == DownloadState::kUnpacking) {
    // The unpacker's wait polls the stop request; the worker ends there
    // without a finish notice and is joined once it has.
    RetireWorker();
    status.reset();
  }
  if (!m_running || m_thread == nullptr) {
    m_download.Rest(*this);
  } else if (status) {
    m_download.Tick(*status, elapsed, *this);
  }
  if (g_describeRequested) {
    g_describeRequested = false;
    SessionLog::Get().Write(DescribeWindow());
  }
}

void PatchMainFrame::RequestDescription() { g_describeRequested = true; }

void PatchMainFrame::OnBannerShown() { m_panel->Layout(); }

void PatchMainFrame::SetGaugeRange(uint32_t range) { MainFrame::SetGaugeRange(range); }

void PatchMainFrame::SetGaugeValue(uint32_t value) { SetGaugeValueClamped(value); }

void PatchMainFrame::SetStatusLine(const wxString& text) { m_statusText->SetLabel(text); }

void PatchMainFrame::SetFolderField(const wxString& folder) {
  m_pathText->SetValue(folder);
  m_pathText->SetToolTip(folder);
}

void PatchMainFrame::DescribeMore(nlohmann::json& window) const {
  window["folderLabel"] = ToUtf8(m_folderLabel->GetLabel());
  window["folder"] = {{"text", ToUtf8(m_pathText->GetValue())},
                      {"enabled", m_pathText->IsEnabled()}};
  nlohmann::json banner = {{"shown", m_banner->IsShown()},
                           {"address", ToUtf8(m_banner->CurrentAddress())}};
  if (m_banner->View() != nullptr) {
    const wxPoint at = ScreenToClient(m_banner->View()->GetScreenPosition());
    const wxSize size = m_banner->View()->GetSize();
    banner["rect"] = {at.x, at.y, size.x, size.y};
  }
  window["banner"] = banner;
}

}  // namespace TarvPatch
