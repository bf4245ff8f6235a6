// The crash dump: a file written once per process when a fatal signal
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL) ends the program. Its name is fixed at
// start-up from the start time; it records the signal, the faulting program
// counter, the call stack and the process's module map, so that
// scripts/read-dump can name the functions later (docs/crash-dumps.md).
// Set up once on the main thread before other threads start; the writer runs
// on the thread that faulted and uses only async-signal-safe calls. On
// Windows the dump is a minidump (MiniDumpWriteDump) written from an
// unhandled-exception filter put in front of the framework's.
#pragma once

#include <ctime>
#include <string>

// Unless a debugger is attached: fixes the dump file name
// "<base>-v30323-YYYY.MM.DD-HH.MM.SS.dmp" from the local time, calls
// `enable_fatal_handling` (the framework's switch for its fatal-exception
// hook, which then calls WriteCrashDump), and puts a recorder in front of the
// fatal signals that notes where the fault happened and writes the dump
// before the hook runs. Without a hook, the recorder writes the dump and the
// signal then takes its default action. False, with nothing changed, when a
// debugger is attached or the name cannot be formed.
bool SetUpCrashDump(const std::wstring& base_name, void (*enable_fatal_handling)() = nullptr);

// Writes the dump file, at most once per process: into the current folder
// under the fixed name, or, when that folder refuses the file, into the
// temporary folder ($TEMP, else $TMPDIR, else /tmp). Without set-up, or when
// no file can be created, nothing is written and nothing reported.
void WriteCrashDump();

namespace TarvDiag {

constexpr char kPatcherVersion[] = "30323";

// The dump file name for a start at `local` time.
std::wstring CrashDumpFileName(const std::wstring& base_name, const std::tm& local);

// The name fixed by SetUpCrashDump; empty before.
std::wstring CrashDumpName();

// True when a tracer (a debugger) is attached to this process.
bool DebuggerAttached();

// True once a dump was written (or attempted) in this process.
bool CrashDumpWritten();

}  // namespace TarvDiag
