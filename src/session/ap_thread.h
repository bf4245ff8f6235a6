// The session's worker thread base. The window creates one per session,
// runs it and joins it when the finish notice arrives; the object belongs to
// the window from then on. It reaches the window only through the
// SessionFrontEnd it was created for, and only while that window is alive.
#pragma once

#include <wx/thread.h>

#include <atomic>
#include <cstdint>

#include "patchserver/download_status.h"
#include "session/session_front_end.h"

namespace TarvPatch {

// Joinable worker thread. Constructing one makes it the process-wide current
// worker and its front end the current window; the calls below forward to
// that window and do nothing once the window has detached itself, so a
// worker can never touch a destroyed window. Worker thread unless noted.
class APThread : public wxThread {
 public:
  // REQUIRES: `frontEnd` outlives every call it receives, which
  // DetachFrontEnd guarantees when the window calls it before it goes away.
  explicit APThread(SessionFrontEnd* frontEnd);
  ~APThread() override;

  APThread(const APThread&) = delete;
  APThread& operator=(const APThread&) = delete;

  // The window's report functions, safe after the window has gone (then a
  // line is dropped, ReportStep answers false).
  void ReportMessage(int level, const wxString& text);
  void ReportTotal(uint32_t units);
  bool ReportStep();
  void ShowMessageBox(const wxString& text, const wxString& caption);
  void EnableApplyButton();
  void SetInstallFolderText(const wxString& folder);

  // Asks the worker to end without waiting for it; TestDestroy answers true
  // from then on. Any thread.
  void RequestStop() { m_stopRequested = true; }
  // True after RequestStop or Delete. Worker thread.
  bool TestDestroy() override;
  // True when TestDestroy is, and after a confirmed cancel in the window.
  // Worker thread.
  bool StopOrCancelRequested();

  // The current worker; null when none was made or it was deleted.
  static APThread* Current();

  // A number no other worker of this process has had (the first is 1). A
  // finish notice carries it, so that the window tells its workers apart
  // even when a new one is allocated where a deleted one lived.
  uint64_t Generation() const { return m_generation; }

  // Called by a window (GUI thread) before it is destroyed: no later call
  // reaches it, and calls already inside it have returned when this
  // returns. A window that blocks inside one of its own front-end calls
  // (a message box wait) must release that wait before calling this.
  static void DetachFrontEnd(SessionFrontEnd* frontEnd);

 protected:
  // Runs DoWork inside the guard: an escaping exception is a fatal error
  // that is reported and ends the process, as a crash of the session would.
  ExitCode Entry() override;
  // The session. The base only queues the finish notice; a session ends by
  // calling it.
  virtual void DoWork();

 private:
  SessionFrontEnd* m_frontEnd;
  std::atomic<bool> m_stopRequested{false};
  const uint64_t m_generation;
};

// A worker as its maker hands it over: the thread to run and, for a worker
// that downloads, the download status its front end polls meanwhile (null
// otherwise). Both name the same object, which the thread's owner deletes.
struct SessionWorker {
  APThread* thread = nullptr;
  const DownloadProgress* progress = nullptr;
};

}  // namespace TarvPatch
