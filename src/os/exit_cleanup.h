// What must be undone when the process ends while a session is still at
// work (the window was closed during a patch): a running difference tool is
// stopped, a file moved aside as a backup goes back. The worker registers
// each undo for as long as it is needed; the exit path runs them. Safe from
// any thread.
#pragma once

#include <functional>

namespace OS {

// One registered undo, for the lifetime of the object. Once the exit path
// has run, a new registration runs its undo at once: nothing new may start.
class ExitCleanup {
 public:
  explicit ExitCleanup(std::function<void()> undo);
  // Deregisters; waits while the exit path is running the undos.
  ~ExitCleanup();
  ExitCleanup(const ExitCleanup&) = delete;
  ExitCleanup& operator=(const ExitCleanup&) = delete;

 private:
  int m_token = -1;
};

// Runs every registered undo, the newest first, each once.
void RunExitCleanups();

}  // namespace OS
