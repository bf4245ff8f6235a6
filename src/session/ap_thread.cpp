#include "session/ap_thread.h"

#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "diag/system_log.h"

namespace TarvPatch {
namespace {

// The current worker and window, and how many front-end calls are inside
// the window right now. Detaching waits for those calls to leave.
struct CurrentLink {
  std::mutex mutex;
  std::condition_variable idle;
  APThread* worker = nullptr;
  SessionFrontEnd* frontEnd = nullptr;
  int inFlight = 0;
};

CurrentLink& Link() {
  static CurrentLink* link = new CurrentLink;  // lives until the process ends
  return *link;
}

// Runs `call` on `frontEnd` if it is still attached; `fallback` otherwise.
template <typename Call, typename Result>
Result WithFrontEnd(SessionFrontEnd* frontEnd, Call call, Result fallback) {
  CurrentLink& link = Link();
  {
    std::lock_guard<std::mutex> lock(link.mutex);
    if (frontEnd == nullptr || link.frontEnd != frontEnd) return fallback;
    ++link.inFlight;
  }
  Result result = fallback;
  try {
    result = call(frontEnd);
  } catch (...) {
    std::lock_guard<std::mutex> lock(link.mutex);
    --link.inFlight;
    link.idle.notify_all();
    throw;
  }
  std::lock_guard<std::mutex> lock(link.mutex);
  --link.inFlight;
  link.idle.notify_all();
  return result;
}

}  // namespace

namespace {
std::atomic<uint64_t> g_lastGeneration{0};
}  // namespace

APThread::APThread(SessionFrontEnd* frontEnd)
    : wxThread(wxTHREAD_JOINABLE), m_frontEnd(frontEnd), m_generation(++g_lastGeneration) {
  CurrentLink& link = Link();
  std::lock_guard<std::mutex> lock(link.mutex);
  link.worker = this;
  link.frontEnd = frontEnd;
}

APThread::~APThread() {
  CurrentLink& link = Link();
  std::lock_guard<std::mutex> lock(link.mutex);
  if (link.worker == this) link.worker = nullptr;
}

APThread* APThread::Current() {
  CurrentLink& link = Link();
  std::lock_guard<std::mutex> lock(link.mutex);
  return link.worker;
}

void APThread::DetachFrontEnd(SessionFrontEnd* frontEnd) {
  CurrentLink& link = Link();
  std::unique_lock<std::mutex> lock(link.mutex);
  if (link.frontEnd == frontEnd) link.frontEnd = nullptr;
  // Calls into this window that started before the detach must leave it
  // before the window may go; no new call can enter any more.
  link.idle.wait(lock, [&] { return link.inFlight == 0; });
}

void APThread::ReportMessage(int level, const wxString& text) {
  WithFrontEnd(
      m_frontEnd,
      [&](SessionFrontEnd* f) {
        f->ReportMessage(level, text);
        return true;
      },
      false);
}

void APThread::ReportTotal(uint32_t units) {
  WithFrontEnd(
      m_frontEnd,
      [&](SessionFrontEnd* f) {
        f->ReportTotal(units);
        return true;
      },
      false);
}

bool APThread::ReportStep() {
  // A session whose window has gone must stop as well.
  return WithFrontEnd(
      m_frontEnd, [](SessionFrontEnd* f) { return f->ReportStep(); }, false);
}

bool APThread::StopOrCancelRequested() {
  return TestDestroy() ||
         WithFrontEnd(
             m_frontEnd, [](SessionFrontEnd* f) { return f->CancelRequested(); }, false);
}

void APThread::ShowMessageBox(const wxString& text, const wxString& caption) {
  WithFrontEnd(
      m_frontEnd,
      [&](SessionFrontEnd* f) {
        f->ShowMessageBox(text, caption);
        return true;
      },
      false);
}

void APThread::EnableApplyButton() {
  WithFrontEnd(
      m_frontEnd,
      [](SessionFrontEnd* f) {
        f->EnableApplyButton();
        return true;
      },
      false);
}

void APThread::SetInstallFolderText(const wxString& folder) {
  WithFrontEnd(
      m_frontEnd,
      [&](SessionFrontEnd* f) {
        f->SetInstallFolderText(folder);
        return true;
      },
      false);
}

bool APThread::TestDestroy() { return m_stopRequested || wxThread::TestDestroy(); }

void APThread::DoWork() {
  WithFrontEnd(
      m_frontEnd,
      [](SessionFrontEnd* f) {
        f->PostThreadFinished();
        return true;
      },
      false);
}

wxThread::ExitCode APThread::Entry() {
  try {
    DoWork();
  } catch (const std::exception& e) {
    SystemLogA("APThread: unhandled exception: %s\n", e.what());
    ShowMessageBox(wxS("Unhandled Exception"), wxS("Fatal Error"));
    std::_Exit(-1);
  } catch (...) {
    SystemLogA("APThread: unhandled exception\n");
    ShowMessageBox(wxS("Unhandled Exception"), wxS("Fatal Error"));
    std::_Exit(-1);
  }
  return nullptr;
}

}  // namespace TarvPatch
