// The patcher's one window: the session log, the status line, the gauge and
// the Apply and Cancel buttons, and everything that carries a session's
// progress into them. Created and destroyed on the GUI thread; the session
// reaches it from its worker thread only through SessionFrontEnd, whose
// calls hand their work to the GUI thread in order.
#pragma once

#include <wx/button.h>
#include <wx/colour.h>
#include <wx/frame.h>
#include <wx/gauge.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <atomic>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "session/ap_thread.h"
#include "session/session_front_end.h"
#include "ui/session_output.h"

namespace TarvPatch {

// The text colour of a report level: 0 black, 1 grey, 2 red; any other
// level keeps the colour of the line before it (no value).
std::optional<wxColour> LevelColour(int level);

// Fixed English texts of the window (the string table holds only the
// folder labels and the repair button).
inline constexpr const char* kApplyLabel = "Apply Update";
inline constexpr const char* kCancelLabel = "Cancel";
inline constexpr const char* kExitLabel = "Exit";
inline constexpr const char* kCancelQuestion = "Do you really want to cancel?";

// Base window: the controls below the folder row, the buttons' state table
// and the report functions. GUI thread, except the SessionFrontEnd calls.
// Owns the workers it started once they have ended; a worker still running
// when the window goes is left to end on its own. Its lines, boxes and
// events take the session's way (SessionOutput), on the GUI thread.
class MainFrame : public wxFrame, public SessionFrontEnd, private OutputDisplay {
 public:
  // `app` receives ID_PATCH_CANCELLED after a confirmed cancel; may be null.
  MainFrame(const wxString& title, wxEvtHandler* app);
  ~MainFrame() override;

  // Starts the worker in m_thread (a subclass puts it there first). A worker
  // that cannot be started is dropped silently and Apply stays enabled.
  virtual void StartPatching(wxCommandEvent& event);

  bool Destroy() override;

  // SessionFrontEnd, callable from the worker thread.
  void ReportMessage(int level, const wxString& text) override;
  void ReportTotal(uint32_t units) override;
  bool ReportStep() override;
  bool CancelRequested() override { return m_output.Cancelled(); }
  void ShowMessageBox(const wxString& text, const wxString& caption) override;
  void EnableApplyButton() override;
  void SetInstallFolderText(const wxString& folder) override;
  void PostThreadFinished() override;

  // What the window shows right now, read from its controls, as one
  // {"window":{...}} object of the session log. GUI thread.
  nlohmann::json DescribeWindow() const;

 protected:
  void CreateControls();
  // The folder field of a subclass; the base has none.
  virtual void SetFolderField(const wxString& /*folder*/) {}
  // Adds subclass controls to DescribeWindow.
  virtual void DescribeMore(nlohmann::json& /*window*/) const {}
  // Ends a worker that is stopping without a finish notice: it is asked to
  // stop and joined once it has ended. GUI thread.
  void RetireWorker();
  // Joins and deletes retired workers that have ended. GUI thread.
  void ReapRetiredWorkers();
  // The gauge's range, its value back to 0. GUI thread.
  void SetGaugeRange(uint32_t units);
  void SetGaugeValueClamped(uint64_t value);

  bool Cancelled() const { return m_output.Cancelled(); }
  SessionOutput& Output() { return m_output; }

  bool m_running = false;
  wxTextCtrl* m_logView = nullptr;
  wxGauge* m_gauge = nullptr;
  wxStaticText* m_statusText = nullptr;
  wxButton* m_applyButton = nullptr;
  wxButton* m_cancelButton = nullptr;
  APThread* m_thread = nullptr;
  wxScrolledWindow* m_panel = nullptr;
  wxBoxSizer* m_sizer = nullptr;
  wxEvtHandler* m_app = nullptr;

 private:
  void OnApply(wxCommandEvent& event);
  void OnCancel(wxCommandEvent& event);
  void OnClose(wxCloseEvent& event);
  void OnThreadFinished(wxCommandEvent& event);

  // Asks "Do you really want to cancel?"; lines that arrive meanwhile wait
  // and are shown after No, dropped after Yes. True for Yes.
  bool ConfirmCancel();
  // OutputDisplay, GUI thread: a line into the log view, a box, no events.
  void ShowLine(int level, const wxString& text) override;
  void ShowBox(const wxString& caption, const wxString& text) override;
  void StepGauge();
  // Releases a worker waiting for a message box and detaches the window.
  void Detach();

  SessionOutput m_output;
  std::atomic<bool> m_closing{false};
  bool m_detached = false;
  uint64_t m_gaugeValue = 0;  // counts past the range; the gauge shows it clamped
  std::vector<APThread*> m_retired;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace TarvPatch
