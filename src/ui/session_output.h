// Where the output of a session goes: the one place that decides it. A
// report line, a message box and a session event go to the session log file
// when TARV_PATCHER_LOG names one (SessionLog), and to the front end's
// display (the window's log view and boxes; the terminal's plain text or
// JSON lines). The rule is the same for every front end:
//   - After a confirmed cancel no line and no box goes anywhere. Events
//     still reach the log file; the display shows only the cancel itself.
//   - While a question is open, lines are held; they go on in their order
//     when the answer is No and are dropped when it is Yes. Boxes and
//     events are not held.
// The application's own boxes outside a session (relaunch, fatal error)
// take the same way through ShowApplicationBox.
#pragma once

#include <wx/string.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ui/session_log.h"

namespace TarvPatch {

// What a front end shows. Called by SessionOutput after its filters, on the
// thread that reported (a front end that needs the GUI thread gets there
// before it reports).
class OutputDisplay {
 public:
  virtual ~OutputDisplay() = default;
  virtual void ShowLine(int level, const wxString& text) = 0;
  // May wait until the box is closed.
  virtual void ShowBox(const wxString& caption, const wxString& text) = 0;
  // "finished", or "cancelled" at a confirmed cancel.
  virtual void ShowEvent(const std::string& /*name*/) {}
};

// The routing of one front end's output. Lines, boxes and events may come
// from any thread; the log and the display are called outside the lock, so
// a display may run a modal loop that reports again.
class SessionOutput {
 public:
  SessionOutput(SessionLog& log, OutputDisplay& display) : m_log(log), m_display(display) {}
  SessionOutput(const SessionOutput&) = delete;
  SessionOutput& operator=(const SessionOutput&) = delete;

  // {"level":L,"text":"..."} and the display's line; held or dropped as
  // the rule says.
  void Line(int level, const wxString& text);
  // {"box":{...}} and the display's box; dropped after a cancel.
  void Box(const wxString& caption, const wxString& text);
  // {"event":"..."}; shown unless the session was cancelled.
  void Event(const std::string& name);

  // The front end's own question (it shows the box and takes the answer in
  // `ask`): recorded as a box; lines wait while it is open. True for Yes,
  // after which the held lines are dropped (the caller cancels); after No
  // they go on in their order.
  bool Ask(const wxString& caption, const wxString& text, const std::function<bool()>& ask);

  // The confirmed cancel: held and later lines and boxes are dropped, the
  // "cancelled" event is recorded and shown, once.
  void Cancel();
  // The same silence without the event (a window that closes with its
  // session running records no cancel).
  void Silence();
  bool Cancelled() const { return m_cancelled; }
  // The flag a signal handler may raise directly (lock-free): from then on
  // lines and boxes are dropped; Cancel still records the event.
  std::atomic<bool>* CancelFlag() { return &m_cancelled; }

 private:
  // False when the line was held or dropped.
  bool PassLine(int level, const wxString& text);

  SessionLog& m_log;
  OutputDisplay& m_display;
  std::mutex m_mutex;
  bool m_hold = false;
  std::vector<std::pair<int, wxString>> m_held;
  std::atomic<bool> m_cancelled{false};
  std::atomic<bool> m_cancelRecorded{false};
};

// A box of the application outside a session's front end: recorded in the
// process's session log, then shown by `show`.
void ShowApplicationBox(const wxString& caption, const wxString& text,
                        const std::function<void()>& show);

}  // namespace TarvPatch
