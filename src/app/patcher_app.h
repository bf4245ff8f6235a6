// TarvPatch::ObelkPatcherApp: the patcher's application object. Its start-up
// reads the command line into PatchSettings and opens the one window; when
// the window has closed it starts the --onexit program unless the user
// cancelled the session. Created by the framework; GUI thread only.
#pragma once

#include <wx/app.h>

#include <memory>
#include <optional>
#include <vector>

#include "app/startup.h"
#include "patchserver/download_status.h"

namespace TarvPatch {

class ObelkPatcherApp : public wxApp {
 public:
  ObelkPatcherApp();
  ~ObelkPatcherApp() override;

  // Refuses a wrong command line before the window toolkit starts, so that
  // it is named (exit code 2) also where no display exists.
  bool Initialize(int& argc, wxChar** argv) override;
  // The start-up sequence; false ends the program before the main loop.
  bool OnInit() override;
  // Frees the option table and starts the on-exit program; returns 0.
  int OnExit() override;

  // The window's ID_PATCH_CANCELLED: the user confirmed a cancel, so nothing
  // is launched at exit.
  void OnPatchCancelled(wxCommandEvent& event);
  // Starts --onexit when it was given and not cancelled.
  void LaunchOnExitProgram();

  // The framework's report of a fatal signal: writes the crash dump, shows
  // "Unhandled Exception" where that is safe, ends with exit code -1.
  void OnFatalException() override;
  // An exception that escaped start-up or the main loop ends the program
  // the same way.
  void OnUnhandledException() override;

  // What --onexit asked for; start-up sets it once the command line is read.
  void SetOnExitCommand(const wxString& command, bool launch, const wxString& start_folder);
  bool LaunchOnExit() const { return m_launchOnExit; }
  const wxString& OnExitCommand() const { return m_onExitCommand; }

  // The exit code decided during start-up (a refused command line), which
  // the framework's own status would not tell; empty otherwise.
  static std::optional<int> StartupExitCode() { return s_startupExitCode; }

 private:
  // Prepares the crash dump and the fatal-signal report for this process.
  void SetUpCrashDumps();
  // Makes sure this process may write the installation folder and the
  // installation record. With --admin it only tests that access and, without
  // it, tells the player and ends start-up. Otherwise it restarts the
  // patcher through the system's elevation prompt when access is missing;
  // this instance then waits for the elevated one, starts the on-exit
  // program itself, and ends start-up. True when start-up goes on here.
  bool CheckPrivileges();
  // Creates the main window, shows it and makes it the top window.
  bool CreateMainWindow();
  // Ends the process at once when a session still runs after the window
  // has gone (its worker is asked to stop first).
  void EndWithRunningSession();

  static std::optional<int> s_startupExitCode;
  StartupState m_startup;
  wxString m_onExitCommand;
  wxString m_startFolder;  // relative --onexit programs are found from here
  bool m_launchOnExit = false;
  // The download status of the worker the window made last, valid while
  // that worker, known by its generation, is the current one.
  uint64_t m_workerGeneration = 0;
  const DownloadProgress* m_workerProgress = nullptr;

  wxDECLARE_EVENT_TABLE();
};

}  // namespace TarvPatch
