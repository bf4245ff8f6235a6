// The session log file: when TARV_PATCHER_LOG names a file, every line the
// window shows in its log, every message box the program shows and the
// finish notice are appended to it, one JSON object per line, flushed at
// once. Players send this file to support; the tests read it. Lines:
//   {"level":L,"text":"..."}                a line of the window's log
//   {"box":{"caption":"...","text":"..."}}  a message box or question shown
//   {"event":"finished"}                    the session's finish notice
//   {"event":"cancelled"}                   the user confirmed Cancel
//   {"window":{...}}                        what the window shows, read from its
//                                           controls: once when it is up, and
//                                           whenever the process gets SIGUSR1
#pragma once

#include <wx/string.h>

#include <cstdio>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace TarvPatch {

// One append-only JSON-lines file. Thread-safe; one process-wide instance
// (Get). Lines, boxes and events reach it only through SessionOutput
// (ui/session_output.h), which decides what is recorded; the window writes
// its own description directly. Writing failures are
// reported once to the system log and then ignored, so a full disk never
// stops a session.
class SessionLog {
 public:
  // The process's log, opened from TARV_PATCHER_LOG on first use; inactive
  // when the variable is unset or empty.
  static SessionLog& Get();

  // A log appending to `path`; an empty path gives an inactive log.
  explicit SessionLog(const std::string& path);
  ~SessionLog();
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  bool IsActive() const { return m_file != nullptr; }

  // {"level":L,"text":"..."}
  void Line(int level, const wxString& text);
  // {"box":{"caption":"...","text":"..."}}
  void Box(const wxString& caption, const wxString& text);
  // {"event":"..."}
  void Event(const std::string& name);
  // Any object, written as one line.
  void Write(const nlohmann::json& object);

 private:
  std::mutex m_mutex;
  FILE* m_file = nullptr;
  bool m_failed = false;
};

// UTF-8 of a wxString, as the log file stores it.
std::string ToUtf8(const wxString& text);

}  // namespace TarvPatch
