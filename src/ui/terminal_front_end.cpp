#include "ui/terminal_front_end.h"

#include <wx/thread.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "data/file_io.h"
#include "os/message_ids.h"
#include "os/messages.h"
#include "ui/terminal_io.h"
#include "ui/terminal_progress.h"

namespace TarvPatch {
namespace {

constexpr char kEraseLine[] = "\r\x1b[K";
constexpr char kResetColour[] = "\x1b[0m";
constexpr double kJsonProgressSeconds = 1;

// The level's colour on a terminal, as the window's log shows it: grey
// notes, red errors; plain lines and unknown levels keep the default.
const char* LevelColour(int level) {
  if (level == 1) return "\x1b[90m";
  if (level == 2) return "\x1b[31m";
  return nullptr;
}

std::string Line(const nlohmann::json& object) { return object.dump() + "\n"; }

}  // namespace

TerminalFrontEnd::TerminalFrontEnd(Style style, int fd, SessionLog& log)
    : m_style(style), m_fd(fd), m_output(log, *this) {}

void TerminalFrontEnd::ReportMessage(int level, const wxString& text) {
  if (m_output.Cancelled()) return;
  // Compared on the worker, in the language the session writes in.
  if (text == wxString(TarvMessages::LoadMessage(TarvMessages::Id::kPatchingCompleted))) {
    m_completed = true;
  }
  m_output.Line(level, text);
}

void TerminalFrontEnd::ShowLine(int level, const wxString& text) {
  std::string plain = ToUtf8(text) + "\n";
  const char* colour = m_style == Style::kTerminal ? LevelColour(level) : nullptr;
  if (colour != nullptr) plain = colour + ToUtf8(text) + kResetColour + "\n";
  Emit(plain, Line({{"level", level}, {"text", ToUtf8(text)}}));
}

void TerminalFrontEnd::ReportTotal(uint32_t units) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_phaseTotal = units;
  m_phaseDone = 0;
}

bool TerminalFrontEnd::ReportStep() {
  if (m_output.Cancelled()) return false;
  wxThread* self = wxThread::This();
  if (self != nullptr && self->TestDestroy()) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_phaseDone;
  return true;
}

void TerminalFrontEnd::ShowMessageBox(const wxString& text, const wxString& caption) {
  m_output.Box(caption, text);
}

void TerminalFrontEnd::ShowBox(const wxString& caption, const wxString& text) {
  wxString flat = text;
  flat.Replace("\n", " ");
  std::string plain = ToUtf8(caption + ": " + flat) + "\n";
  if (m_style == Style::kTerminal)
    plain = LevelColour(2) + plain.substr(0, plain.size() - 1) + kResetColour + "\n";
  Emit(plain, Line({{"box", {{"caption", ToUtf8(caption)}, {"text", ToUtf8(text)}}}}));
}

void TerminalFrontEnd::PostThreadFinished() {
  m_output.Event("finished");
  std::lock_guard<std::mutex> lock(m_mutex);
  m_finished = true;
  m_finishedChanged.notify_all();
}

void TerminalFrontEnd::ShowEvent(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (name == "finished") {
    if (m_style != Style::kJson) return;
    const char* result = m_completed ? "completed" : "aborted";
    WriteLocked(Line({{"event", "finished"}, {"result", result}}));
  } else if (name == "cancelled") {
    EraseProgressLocked();
    m_progress.clear();
    if (m_style == Style::kJson) {
      WriteLocked(Line({{"event", "cancelled"}}));
    } else if (!m_cancelNotice.empty()) {
      WriteLocked(ToUtf8(m_cancelNotice) + "\n");
    }
  }
}

void TerminalFrontEnd::ShowPreamble(const wxString& text) {
  if (m_style == Style::kJson) return;
  std::string utf8 = ToUtf8(text);
  if (!utf8.empty() && utf8.back() != '\n') utf8 += "\n";
  std::lock_guard<std::mutex> lock(m_mutex);
  WriteLocked(utf8);
}

void TerminalFrontEnd::ShowProgress(const DownloadStatus& status, double now) {
  if (m_output.Cancelled()) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_finished) return;
  const bool downloading = status.state == DownloadState::kDownloading;
  if (downloading && m_lastState != DownloadState::kDownloading) m_downloadStart = now;
  m_lastState = status.state;
  std::string text;
  nlohmann::json json;
  if (downloading) {
    text = ToUtf8(
        FormatTransferProgress(status.bytesReceived, status.bytesExpected, now - m_downloadStart));
    json = {
        {"state", "downloading"}, {"done", status.bytesReceived}, {"total", status.bytesExpected}};
  } else if (status.state == DownloadState::kApplying && m_phaseDone < m_phaseTotal &&
             m_style != Style::kPlain) {
    text = ToUtf8(FormatPhaseProgress(m_phaseDone, m_phaseTotal));
    json = {{"state", "applying"}, {"done", m_phaseDone}, {"total", m_phaseTotal}};
  }
  if (m_style == Style::kTerminal) {
    if (text == m_progress && m_progressShown) return;
    m_progress = text;
    EraseProgressLocked();
    DrawProgressLocked();
    return;
  }
  const double pace = m_style == Style::kJson ? kJsonProgressSeconds : kPlainProgressSeconds;
  if (text.empty() || text == m_progress || now - m_lastProgressAt < pace) return;
  m_progress = text;
  m_lastProgressAt = now;
  WriteLocked(m_style == Style::kJson ? Line({{"progress", json}}) : text + "\n");
}

void TerminalFrontEnd::Cancel(const wxString& notice) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_cancelNotice.empty()) m_cancelNotice = notice;
  }
  m_output.Cancel();
}

bool TerminalFrontEnd::WaitFinished(int milliseconds) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_finishedChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                    [this] { return m_finished; });
}

void TerminalFrontEnd::ClearProgress() {
  std::lock_guard<std::mutex> lock(m_mutex);
  EraseProgressLocked();
  m_progress.clear();
}

void TerminalFrontEnd::Emit(const std::string& text, const std::string& json) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_style == Style::kJson) {
    WriteLocked(json);
    return;
  }
  // A log line goes above the progress line, which is drawn again below it.
  EraseProgressLocked();
  WriteLocked(text);
  DrawProgressLocked();
}

// A failed write (a closed pipe) is ignored: it must not stop a session.
void TerminalFrontEnd::WriteLocked(const std::string& utf8) {
  TarvFile::WriteAll(m_fd, utf8.data(), utf8.size());
}

void TerminalFrontEnd::EraseProgressLocked() {
  if (!m_progressShown) return;
  WriteLocked(kEraseLine);
  m_progressShown = false;
}

void TerminalFrontEnd::DrawProgressLocked() {
  if (m_style != Style::kTerminal || m_progress.empty()) return;
  // Longer than the terminal, the line would wrap and could not be redrawn
  // in place; it is cut at a character boundary.
  const size_t columns = static_cast<size_t>(TerminalColumns(m_fd) - 1);
  wxString text = wxString::FromUTF8(m_progress);
  if (text.length() > columns) text.Truncate(columns);
  WriteLocked(ToUtf8(text));
  m_progressShown = true;
}

}  // namespace TarvPatch
