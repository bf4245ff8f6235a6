// OS::Process: a child program started from an argument vector (never through
// a shell), with standard input from /dev/null and no inherited descriptors
// but the standard ones and the one its owner passes on purpose. The owner
// waits for it in slices, may terminate it, and reads how it ended: an exit
// status or the signal that ended it, kept apart. On Windows the child is
// started with CreateProcessW, its window hidden, from QuotedCommandLine;
// an end by TerminateProcess or by an exception counts as a signal there.
// One owner thread; the destructor neither waits nor kills.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace OS {

// A process id of the system (a pid on Linux, a process id on Windows).
using ProcessId = int;

class Process {
 public:
  enum class WaitResult { kExited, kTimedOut, kFailed };

  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv[0] (a path; not looked up in PATH) with the arguments, in
  // `working_dir` when given. Extra environment entries ("NAME=value")
  // replace or join the inherited ones. Standard output and error are
  // inherited unless redirected to files with RedirectOutput first.
  // False, with the reason in `error`, when the program could not start.
  bool Start(const std::vector<std::string>& argv, std::string* error,
             const std::string& working_dir = "", const std::vector<std::string>& extra_env = {});

  // Sends standard output and error of the next Start to these files
  // (created or emptied); an empty path keeps the inherited stream.
  void RedirectOutput(const std::string& stdout_path, const std::string& stderr_path);

  // Hands `fd` to the next Start as the child's descriptor 3 (the caller
  // keeps its own copy and closes it after the start); -1 hands none.
  void PassDescriptor(int fd) { m_passedFd = fd; }

  // Waits up to `timeout_ms` (negative: without limit) for the child to end.
  WaitResult Wait(int timeout_ms);

  // Waits in slices of `slice_ms`; after each slice that ends without the
  // child's exit, `between_slices` is called and may answer false to stop
  // waiting (the result is then kTimedOut and the child still runs).
  WaitResult WaitInSlices(int slice_ms, const std::function<bool()>& between_slices);

  // Kills the child (SIGKILL) and reaps it. True when it is gone.
  bool Terminate();

  bool Running() const { return m_pid > 0 && !m_exited; }
  ProcessId Pid() const { return m_pid; }
  // The exit status (0 to 255) of a child that exited; -1 before that and
  // for a child a signal ended.
  int ExitCode() const { return m_exitCode; }
  // The signal that ended the child; 0 while it runs and when it exited.
  int TermSignal() const { return m_signal; }

  // The command line as text, for messages: each argument as it is, joined
  // by blanks. Callers that must show a particular quoting build their own.
  static std::string Render(const std::vector<std::string>& argv);

 private:
  bool Reap(bool block);

  ProcessId m_pid = -1;
  int m_pidfd = -1;
  void* m_handle = nullptr;  // the process handle, where the system has one
  bool m_exited = false;
  int m_exitCode = -1;
  int m_signal = 0;
  int m_passedFd = -1;
  std::string m_stdoutPath;
  std::string m_stderrPath;
};

// Kills the process `pid` (SIGKILL) without waiting for it; for an exit path
// that may run on any thread while the owner still holds its Process.
void KillProcess(ProcessId pid);

// The signal TermSignal reports for a child ended by Terminate or
// KillProcess.
int KilledSignal();

// The command line that hands `argv` to a Windows program whose start-up
// splits it as CommandLineToArgvW does: the program path always quoted, an
// argument quoted when it is empty or holds a blank, a tab or a quote, and
// backslashes doubled only in front of a quote.
std::wstring QuotedCommandLine(const std::vector<std::wstring>& argv);

// Starts the program and waits without limit; the exit status, or -1 when
// it could not start (with `error` set) or a signal ended it.
int RunProgram(const std::vector<std::string>& argv, std::string* error);

}  // namespace OS
