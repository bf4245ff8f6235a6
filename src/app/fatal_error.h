// The application's end after a fatal signal: the crash dump, the "Fatal
// Error" box where it can be shown safely, and exit code -1 (255). Called
// from the application object's OnFatalException, on the thread that faulted,
// inside the signal handler.
#pragma once

namespace TarvPatch {

// Fixes the crash-dump name from the start time and base name "patcher" and
// switches on the framework's fatal-exception hook (the first thing start-up
// does, on the GUI thread, which it records as the one to show the box, so
// that every later failure is caught). False
// when a debugger is attached and exceptions are left to it.
bool SetUpFatalExceptionHandling();

// Writes the crash dump (once per process), shows "Unhandled Exception" with
// caption "Fatal Error" (recorded in the session log) in a GUI application
// with a display, and ends the process with exit code 255. A fault on
// another thread (the session's worker) hands the box to the GUI thread,
// which the set-up above recorded, by a signal; the faulting thread waits
// for the GUI thread to end the process. A box
// that cannot be shown within kFatalBoxSeconds (the fault may have left the
// allocator or the toolkit locked) does not keep the process alive.
[[noreturn]] void ReportFatalException();

constexpr unsigned kFatalBoxSeconds = 300;

}  // namespace TarvPatch
