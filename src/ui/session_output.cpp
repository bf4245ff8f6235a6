#include "ui/session_output.h"

namespace TarvPatch {
bool SessionOutput::PassLine(int level, const wxString& text) {
  if (m_cancelled) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_hold) return true;
  m_held.emplace_back(level, text);
  return false;
}

void SessionOutput::Line(int level, const wxString& text) {
  if (!PassLine(level, text)) return;
  m_log.Line(level, text);
  m_display.ShowLine(level, text);
}

void SessionOutput::Box(const wxString& caption, const wxString& text) {
  if (m_cancelled) return;
  m_log.Box(caption, text);
  m_display.ShowBox(caption, text);
}

void SessionOutput::Event(const std::string& name) {
  m_log.Event(name);
  if (!m_cancelled) m_display.ShowEvent(name);
}

bool SessionOutput::Ask(const wxString& caption, const wxString& text,
                        const std::function<bool()>& ask) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hold = true;
  }
  m_log.Box(caption, text);
  const bool yes = ask();
  std::vector<std::pair<int, wxString>> held;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hold = false;
    held.swap(m_held);
  }
  if (!yes) {
    for (const auto& [level, line] : held) Line(level, line);
  }
  return yes;
}

void SessionOutput::Cancel() {
  Silence();
  if (m_cancelRecorded.exchange(true)) return;
  m_log.Event("cancelled");
  m_display.ShowEvent("cancelled");
}

void SessionOutput::Silence() {
  m_cancelled = true;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_held.clear();
}

void ShowApplicationBox(const wxString& caption, const wxString& text,
                        const std::function<void()>& show) {
  // Outside a session nothing is cancelled or held: the box is recorded and
  // shown.
  SessionLog::Get().Box(caption, text);
  if (show) show();
}

}  // namespace TarvPatch
