// What the patch session needs of the window that runs it. The window (ui/)
// implements it; the worker thread calls it. Every call is safe from the
// worker thread: implementations hand GUI work to the GUI thread in order.
#pragma once

#include <wx/string.h>

#include <cstdint>

namespace TarvPatch {

class SessionFrontEnd {
 public:
  virtual ~SessionFrontEnd() = default;

  // One log line in the level's colour (0 plain, 1 grey, 2 red, others keep
  // the colour). Any thread. Dropped after a confirmed cancel.
  virtual void ReportMessage(int level, const wxString& text) = 0;
  // Starts a counted phase of `units` steps on the gauge. Worker only.
  virtual void ReportTotal(uint32_t units) = 0;
  // One unit done; false when the session must stop (confirmed cancel or a
  // destroy request of the worker). Worker only.
  virtual bool ReportStep() = 0;
  // True once the user confirmed a cancel; unlike ReportStep it moves
  // nothing. Asked while a helper program runs. Any thread.
  virtual bool CancelRequested() { return false; }

  // A message box without owner and with an OK button, shown on the GUI
  // thread; returns when the user has closed it. Worker only.
  virtual void ShowMessageBox(const wxString& text, const wxString& caption) = 0;
  // Enables the Apply button again (after the files-in-use failure).
  virtual void EnableApplyButton() = 0;
  // Shows the installation folder in the window's folder field.
  virtual void SetInstallFolderText(const wxString& folder) = 0;
  // Queues the finish notice (ID_THREAD_FINISHED) to the window.
  virtual void PostThreadFinished() = 0;
};

}  // namespace TarvPatch
