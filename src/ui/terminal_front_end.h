// The patch session's front end on a terminal, for the patcher without a
// window (--unattended). The worker reports through it as it would to the
// window; the program's main thread waits for the finish notice, draws the
// progress line and turns a signal into a confirmed cancel. Every call is
// safe from any thread; output is serialised by one lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "patchserver/download_status.h"
#include "session/session_front_end.h"
#include "ui/session_output.h"

namespace TarvPatch {

// Its lines, boxes and events take the session's way (SessionOutput): to
// the session log file and to this display.
class TerminalFrontEnd : public SessionFrontEnd, private OutputDisplay {
 public:
  enum class Style {
    kTerminal,  // a TTY: one progress line redrawn in place, levels in colour
    kPlain,     // plain lines, the progress at most every kPlainProgressSeconds
    kJson,      // the session log's JSON lines, progress at most every second
  };
  static constexpr double kPlainProgressSeconds = 5;

  // Writes to the file descriptor `fd`, which the caller keeps open, and
  // records in `log`.
  TerminalFrontEnd(Style style, int fd, SessionLog& log = SessionLog::Get());

  // SessionFrontEnd.
  void ReportMessage(int level, const wxString& text) override;
  void ReportTotal(uint32_t units) override;
  bool ReportStep() override;
  // Becomes a line: there is nobody to answer, and every box of the session
  // only informs (the session takes the safe way on its own).
  void ShowMessageBox(const wxString& text, const wxString& caption) override;
  void EnableApplyButton() override {}
  void SetInstallFolderText(const wxString& /*folder*/) override {}
  void PostThreadFinished() override;

  // Text shown before the session (the start-up summary); not a session line.
  void ShowPreamble(const wxString& text);
  // One reading of the worker's download, `now` in seconds of any steady
  // clock. Draws or prints the progress when the style's pace allows.
  void ShowProgress(const DownloadStatus& status, double now);
  // The confirmed cancel: no later line is shown, ReportStep answers false,
  // the "cancelled" event is recorded, `notice` (if not empty) is shown.
  void Cancel(const wxString& notice);
  bool Cancelled() const { return m_output.Cancelled(); }
  // The flag that a signal handler may set directly (lock-free): from then
  // on no line is shown and ReportStep answers false; Cancel still follows.
  std::atomic<bool>* CancelFlag() { return m_output.CancelFlag(); }
  // Waits up to `milliseconds` for the finish notice; true once it came.
  bool WaitFinished(int milliseconds);
  // True when the session's last line was "Patching completed.".
  bool Completed() const { return m_completed; }
  // Removes the progress line from the terminal.
  void ClearProgress();

 private:
  // OutputDisplay: what passed the session's filters.
  void ShowLine(int level, const wxString& text) override;
  void ShowBox(const wxString& caption, const wxString& text) override;
  void ShowEvent(const std::string& name) override;

  // REQUIRES: m_mutex held.
  void WriteLocked(const std::string& utf8);
  void EraseProgressLocked();
  void DrawProgressLocked();
  void Emit(const std::string& text, const std::string& json);

  const Style m_style;
  const int m_fd;
  std::mutex m_mutex;
  std::condition_variable m_finishedChanged;
  bool m_finished = false;
  std::atomic<bool> m_completed{false};
  wxString m_cancelNotice;       // shown with the cancel (text styles)
  std::string m_progress;        // the line drawn below the log (terminal)
  bool m_progressShown = false;  // it is on the screen now
  uint64_t m_phaseTotal = 0, m_phaseDone = 0;
  DownloadState m_lastState = DownloadState::kNotStarted;
  double m_downloadStart = 0;
  double m_lastProgressAt = -1e9;
  SessionOutput m_output;
};

}  // namespace TarvPatch
