#include "scripted_worker.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "ui/session_log.h"

namespace TarvTest {
namespace {

std::vector<std::string> Split(const std::string& text, char separator, size_t maxParts) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (parts.size() + 1 < maxParts) {
    const size_t end = text.find(separator, start);
    if (end == std::string::npos) break;
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

void WorkerEvent(const std::string& name) { TarvPatch::SessionLog::Get().Event("worker:" + name); }

}  // namespace

ScriptedWorker::ScriptedWorker(TarvPatch::SessionFrontEnd* frontEnd, std::string script)
    : APThread(frontEnd), m_script(std::move(script)) {}

TarvPatch::SessionWorker ScriptedWorker::Make(TarvPatch::SessionFrontEnd* frontEnd,
                                              std::string script) {
  auto* worker = new ScriptedWorker(frontEnd, std::move(script));
  return {worker, worker};
}

TarvPatch::DownloadStatus ScriptedWorker::GetDownloadStatus() const {
  TarvPatch::DownloadStatus status;
  status.state = m_state;
  status.bytesReceived = m_received;
  status.bytesExpected = m_expected;
  if (status.state >= TarvPatch::DownloadState::kUnpacking) {
    status.percent = 100;
  } else if (status.bytesExpected > 0) {
    status.percent = static_cast<uint32_t>(status.bytesReceived * 100 / status.bytesExpected);
  }
  return status;
}

void ScriptedWorker::DoWork() {
  WorkerEvent("started");
  for (const std::string& command : Split(m_script, ';', SIZE_MAX)) {
    if (command.empty()) continue;
    if (!Run(Split(command, ':', 3))) {
      WorkerEvent("ended-without-notice");
      return;
    }
  }
  WorkerEvent("done");
  APThread::DoWork();
}

bool ScriptedWorker::Run(const std::vector<std::string>& c) {
  const std::string& name = c[0];
  auto number = [&](size_t i) { return i < c.size() ? std::stoll(c[i]) : 0; };
  if (name == "line") {
    ReportMessage(static_cast<int>(number(1)), wxString::FromUTF8(c.size() > 2 ? c[2] : ""));
  } else if (name == "lines") {
    for (long long i = 0; i < number(1); ++i) ReportMessage(0, wxString::Format("line %lld", i));
  } else if (name == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(number(1)));
  } else if (name == "total") {
    ReportTotal(static_cast<uint32_t>(number(1)));
  } else if (name == "steps") {
    for (long long i = 0; i < number(1); ++i) {
      if (!ReportStep()) {
        WorkerEvent("step-refused");
        break;
      }
    }
  } else if (name == "box") {
    ShowMessageBox(wxString::FromUTF8(c.size() > 2 ? c[2] : ""), wxString::FromUTF8(c[1]));
    WorkerEvent("box-closed");
  } else if (name == "apply-on") {
    EnableApplyButton();
  } else if (name == "folder") {
    SetInstallFolderText(wxString::FromUTF8(c[1]));
  } else if (name == "download" || name == "cut") {
    // A cut download stops at nine tenths of its size.
    const uint64_t total = number(1) * 1024;
    return Download(total, name == "cut" ? total * 9 / 10 : total, static_cast<int>(number(2)),
                    true);
  } else if (name == "nosize") {
    return Download(4096, 4096, static_cast<int>(number(1)), false);
  } else if (name == "unpack") {
    return Unpack(static_cast<int>(number(1)));
  } else if (name == "hold") {
    while (!TestDestroy()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WorkerEvent("stop-requested");
    return false;
  } else if (name == "wait-stop") {
    while (ReportStep()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WorkerEvent("step-refused");
  }
  return true;
}

bool ScriptedWorker::Download(uint64_t totalBytes, uint64_t lastBytes, int milliseconds,
                              bool sizeKnown) {
  m_received = 0;
  m_expected = sizeKnown ? totalBytes : 0;
  m_state = TarvPatch::DownloadState::kDownloading;
  constexpr int kSliceMs = 50;
  const int slices = std::max(1, milliseconds / kSliceMs);
  for (int i = 1; i <= slices; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    m_received = lastBytes * i / slices;
  }
  return true;
}

bool ScriptedWorker::Unpack(int milliseconds) {
  m_state = TarvPatch::DownloadState::kUnpacking;
  WorkerEvent("unpacking");
  for (int waited = 0; waited < milliseconds; waited += 100) {
    if (TestDestroy()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  m_state = TarvPatch::DownloadState::kApplying;
  return true;
}

}  // namespace TarvTest
