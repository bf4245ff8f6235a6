#include "ui/main_frame.h"

#include <wx/msgdlg.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <nlohmann/json.hpp>

#include "ui/session_log.h"
#include "ui/window_ids.h"

namespace TarvPatch {
namespace {

constexpr long kFrameStyle = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxCLIP_CHILDREN;

// A message box the worker waits for: the GUI thread shows it and signals.
struct BoxWait {
  wxMutex mutex;
  wxCondition done{mutex};
  bool closed = false;
};

nlohmann::json DescribeButton(const wxWindow* frame, const wxButton* button) {
  const wxPoint at = frame->ScreenToClient(button->GetScreenPosition());
  const wxSize size = button->GetSize();
  return {{"label", ToUtf8(button->GetLabel())},
          {"enabled", button->IsEnabled()},
          {"rect", {at.x, at.y, size.x, size.y}}};
}

}  // namespace

std::optional<wxColour> LevelColour(int level) {
  switch (level) {
    case 0:
      return wxColour(0, 0, 0);
    case 1:
      return wxColour(128, 128, 128);
    case 2:
      return wxColour(255, 0, 0);
    default:
      return std::nullopt;
  }
}

// clang-format off
wxBEGIN_EVENT_TABLE(MainFrame, wxFrame)
  EVT_BUTTON(ID_APPLY_BUTTON, MainFrame::OnApply)
  EVT_BUTTON(ID_CANCEL_BUTTON, MainFrame::OnCancel)
  EVT_MENU(ID_THREAD_FINISHED, MainFrame::OnThreadFinished)
  EVT_CLOSE(MainFrame::OnClose)
wxEND_EVENT_TABLE();
// clang-format on

MainFrame::MainFrame(const wxString& title, wxEvtHandler* app)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(900, 800), kFrameStyle),
      m_app(app),
      m_output(SessionLog::Get(), *this) {}

MainFrame::~MainFrame() {
  Detach();
  // Workers that have ended are joined; one still running is left alone, a
  // closing window never waits for its session.
  if (m_thread != nullptr) m_retired.push_back(m_thread);
  m_thread = nullptr;
  ReapRetiredWorkers();
}

bool MainFrame::Destroy() {
  Detach();
  return wxFrame::Destroy();
}

void MainFrame::Detach() {
  if (m_detached) return;
  m_detached = true;
  m_closing = true;
  APThread::DetachFrontEnd(this);
}

void MainFrame::CreateControls() {
  m_logView =
      new wxTextCtrl(m_panel, wxID_ANY, wxString(), wxDefaultPosition, wxSize(50, 250),
                     wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH, wxDefaultValidator, "text");
  m_sizer->Add(m_logView, 1, wxEXPAND | wxALL, 10);
  m_statusText = new wxStaticText(m_panel, wxID_ANY, wxString(), wxDefaultPosition, wxSize(-1, 20),
                                  wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE, "staticText");
  m_sizer->Add(m_statusText, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);
  m_gauge = new wxGauge(m_panel, wxID_ANY, 100, wxDefaultPosition, wxSize(-1, 25), wxGA_HORIZONTAL,
                        wxDefaultValidator, "gauge");
  m_sizer->Add(m_gauge, 0, wxEXPAND | wxALL | wxFIXED_MINSIZE, 10);

  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  m_applyButton = new wxButton(m_panel, ID_APPLY_BUTTON, kApplyLabel, wxDefaultPosition,
                               wxSize(120, 28), 0, wxDefaultValidator, "button");
  buttons->Add(m_applyButton, 0, wxALL | wxALIGN_CENTER_VERTICAL, 5);
  m_cancelButton = new wxButton(m_panel, ID_CANCEL_BUTTON, kCancelLabel, wxDefaultPosition,
                                wxSize(120, 28), 0, wxDefaultValidator, "button");
  buttons->Add(m_cancelButton, 0, wxALL | wxALIGN_CENTER_VERTICAL, 5);
  m_sizer->Add(buttons, 0, wxALL | wxALIGN_CENTER_HORIZONTAL, 5);

  m_panel->SetSizer(m_sizer);
  m_sizer->SetSizeHints(this);
  Centre(wxBOTH);
  m_applyButton->Enable();
}

void MainFrame::StartPatching(wxCommandEvent& /*event*/) {
  if (m_thread == nullptr) return;
  const bool created = m_thread->Create() == wxTHREAD_NO_ERROR;
  if (created && m_thread->Run() == wxTHREAD_NO_ERROR) {
    m_running = true;
    m_applyButton->Disable();
    m_logView->SetFocus();
    return;
  }
  // The thread never ran its session: ending it takes no wait.
  if (created) m_thread->Delete();
  delete m_thread;
  m_thread = nullptr;
  m_logView->SetFocus();
}

void MainFrame::OnApply(wxCommandEvent& event) { StartPatching(event); }

void MainFrame::OnCancel(wxCommandEvent& /*event*/) {
  if (!m_running) {
    Close(true);
    return;
  }
  if (m_thread == nullptr || !ConfirmCancel()) return;
  m_output.Cancel();
  m_running = false;
  m_thread->RequestStop();  // a running transfer ends within a second
  if (m_app != nullptr) {
    wxCommandEvent cancelled(wxEVT_MENU, ID_PATCH_CANCELLED);
    m_app->AddPendingEvent(cancelled);
  }
}

void MainFrame::OnClose(wxCloseEvent& event) {
  if (m_running && m_thread != nullptr) {
    if (!ConfirmCancel() && event.CanVeto()) {
      event.Veto();
      return;
    }
    // The application is not told on this path, and no cancel is
    // recorded: the window simply goes.
    m_output.Silence();
    m_running = false;
    m_thread->RequestStop();
  }
  Destroy();
}

bool MainFrame::ConfirmCancel() {
  return m_output.Ask(GetTitle(), kCancelQuestion, [this] {
    wxMessageDialog question(this, kCancelQuestion, GetTitle(), wxYES_NO | wxNO_DEFAULT);
    return question.ShowModal() == wxID_YES;
  });
}

void MainFrame::OnThreadFinished(wxCommandEvent& event) {
  // The worker's generation, not its address: a retired worker's memory may
  // hold the current one by now.
  const uint64_t generation = static_cast<uint64_t>(event.GetExtraLong());
  m_output.Event("finished");
  if (generation != 0 && (m_thread == nullptr || generation != m_thread->Generation())) {
    // A session replaced by a newer one has ended; the window's state
    // belongs to the newer one.
    ReapRetiredWorkers();
    return;
  }
  m_running = false;
  if (m_thread != nullptr) {
    m_thread->Wait();  // it is ending already
    delete m_thread;
    m_thread = nullptr;
  }
  m_cancelButton->SetLabel(kExitLabel);
}

void MainFrame::RetireWorker() {
  if (m_thread == nullptr) return;
  m_thread->RequestStop();
  m_retired.push_back(m_thread);
  m_thread = nullptr;
}

void MainFrame::ReapRetiredWorkers() {
  auto ended = [](APThread* worker) {
    if (worker->IsAlive()) return false;
    worker->Wait();
    delete worker;
    return true;
  };
  m_retired.erase(std::remove_if(m_retired.begin(), m_retired.end(), ended), m_retired.end());
}

// --- report functions ------------------------------------------------------

void MainFrame::ReportMessage(int level, const wxString& text) {
  if (m_output.Cancelled()) return;
  if (wxThread::IsMain()) {
    m_output.Line(level, text);
  } else {
    CallAfter([this, level, text] { m_output.Line(level, text); });
  }
}

void MainFrame::ShowLine(int level, const wxString& text) {
  m_logView->SetInsertionPointEnd();
  if (const std::optional<wxColour> colour = LevelColour(level)) {
    m_logView->SetDefaultStyle(wxTextAttr(*colour));
  }
  m_logView->AppendText(text);
  m_logView->AppendText("\n");
}

void MainFrame::ReportTotal(uint32_t units) {
  CallAfter([this, units] { SetGaugeRange(units); });
}

bool MainFrame::ReportStep() {
  if (m_output.Cancelled()) return false;
  wxThread* self = wxThread::This();
  if (self != nullptr && self->TestDestroy()) return false;
  CallAfter([this] { StepGauge(); });
  return true;
}

void MainFrame::SetGaugeRange(uint32_t units) {
  m_gauge->SetRange(static_cast<int>(std::min<uint32_t>(units, INT_MAX)));
  m_gaugeValue = 0;
  SetGaugeValueClamped(0);
}

void MainFrame::StepGauge() { SetGaugeValueClamped(m_gaugeValue + 1); }

void MainFrame::SetGaugeValueClamped(uint64_t value) {
  // The gauge refuses values beyond its range; the count goes on regardless.
  m_gaugeValue = value;
  const uint64_t range = static_cast<uint64_t>(std::max(m_gauge->GetRange(), 0));
  m_gauge->SetValue(static_cast<int>(std::min(value, range)));
}

void MainFrame::ShowMessageBox(const wxString& text, const wxString& caption) {
  if (wxThread::IsMain()) {
    m_output.Box(caption, text);
    return;
  }
  auto wait = std::make_shared<BoxWait>();
  CallAfter([this, wait, text, caption] {
    m_output.Box(caption, text);
    wxMutexLocker lock(wait->mutex);
    wait->closed = true;
    wait->done.Signal();
  });
  // The worker waits for the answer, but not for a window that is going or
  // a session that was told to stop.
  wxThread* self = wxThread::This();
  wxMutexLocker lock(wait->mutex);
  while (!wait->closed && !m_closing && !(self != nullptr && self->TestDestroy())) {
    wait->done.WaitTimeout(100);
  }
}

void MainFrame::ShowBox(const wxString& caption, const wxString& text) {
  wxMessageDialog box(nullptr, text, caption, wxOK | wxCENTRE);
  box.ShowModal();
}

void MainFrame::EnableApplyButton() {
  CallAfter([this] { m_applyButton->Enable(); });
}

void MainFrame::SetInstallFolderText(const wxString& folder) {
  CallAfter([this, folder] { SetFolderField(folder); });
}

void MainFrame::PostThreadFinished() {
  wxCommandEvent* finished = new wxCommandEvent(wxEVT_MENU, ID_THREAD_FINISHED);
  const auto* worker = dynamic_cast<const APThread*>(wxThread::This());
  finished->SetClientData(wxThread::This());
  finished->SetExtraLong(worker != nullptr ? static_cast<long>(worker->Generation()) : 0);
  QueueEvent(finished);
}

// --- what the window shows ---------------------------------------------------

nlohmann::json MainFrame::DescribeWindow() const {
  nlohmann::json window = {
      {"title", ToUtf8(GetTitle())},
      {"apply", DescribeButton(this, m_applyButton)},
      {"cancel", DescribeButton(this, m_cancelButton)},
      {"status", ToUtf8(m_statusText->GetLabel())},
      {"gauge", {{"value", m_gauge->GetValue()}, {"range", m_gauge->GetRange()}}},
      {"log", ToUtf8(m_logView->GetValue())},
      {"running", m_running},
      {"cancelled", m_output.Cancelled()},
  };
  DescribeMore(window);
  return {{"window", window}};
}

}  // namespace TarvPatch
