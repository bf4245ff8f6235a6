#include "ui/session_log.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "diag/system_log.h"

namespace TarvPatch {

SessionLog& SessionLog::Get() {
  static SessionLog* log = [] {
    const char* path = std::getenv("TARV_PATCHER_LOG");
    return new SessionLog(path != nullptr ? path : "");
  }();
  return *log;
}

SessionLog::SessionLog(const std::string& path) {
  if (path.empty()) return;
  m_file = std::fopen(path.c_str(), "ae");
  if (m_file == nullptr) SystemLogA("SessionLog: cannot open %s\n", path.c_str());
}

SessionLog::~SessionLog() {
  if (m_file != nullptr) std::fclose(m_file);
}

void SessionLog::Line(int level, const wxString& text) {
  Write({{"level", level}, {"text", ToUtf8(text)}});
}

void SessionLog::Box(const wxString& caption, const wxString& text) {
  Write({{"box", {{"caption", ToUtf8(caption)}, {"text", ToUtf8(text)}}}});
}

void SessionLog::Event(const std::string& name) { Write({{"event", name}}); }

void SessionLog::Write(const nlohmann::json& object) {
  if (m_file == nullptr) return;
  // Invalid UTF-8 (a broken file name, say) is replaced, never thrown.
  std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line += '\n';
  std::lock_guard<std::mutex> lock(m_mutex);
  bool ok = std::fwrite(line.data(), 1, line.size(), m_file) == line.size();
  ok = std::fflush(m_file) == 0 && ok;
  if (!ok && !m_failed) {
    m_failed = true;
    SystemLogA("SessionLog: write failed\n");
  }
}

std::string ToUtf8(const wxString& text) {
  const wxScopedCharBuffer utf8 = text.utf8_str();
  return std::string(utf8.data(), utf8.length());
}

}  // namespace TarvPatch
