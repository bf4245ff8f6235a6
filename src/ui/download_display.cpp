#include "ui/download_display.h"

#include <cmath>

#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatch {
namespace {

constexpr double kShortWaitSeconds = 120;

// Truncates toward zero and keeps the low 32 bits; not finite gives 0.
uint32_t LowBitsOfWhole(double value) {
  if (!std::isfinite(value)) return 0;
  double whole = std::fmod(std::trunc(value), 4294967296.0);
  if (whole < 0) whole += 4294967296.0;
  return static_cast<uint32_t>(whole);
}

}  // namespace

DownloadEstimate EstimateDownload(uint64_t bytesReceived, uint64_t bytesExpected,
                                  double elapsedSeconds) {
  DownloadEstimate estimate;
  estimate.totalKb = static_cast<uint32_t>(bytesExpected >> 10);
  estimate.doneKb = static_cast<uint32_t>(bytesReceived >> 10);
  double minutes = 0;
  if (elapsedSeconds != 0) {
    const double rate = estimate.doneKb / elapsedSeconds;
    const uint32_t leftKb = estimate.totalKb - estimate.doneKb;
    const double seconds = leftKb / rate;
    minutes = seconds / 60;
    if (std::isfinite(seconds) && seconds < kShortWaitSeconds) {
      estimate.shortWait = true;
      estimate.seconds = LowBitsOfWhole(seconds);
    }
  }
  estimate.minutes = LowBitsOfWhole(minutes);
  return estimate;
}

wxString FormatDownloadText(const DownloadEstimate& estimate) {
  const unsigned long done = estimate.doneKb;
  const unsigned long total = estimate.totalKb;
  const unsigned long minutes = estimate.minutes;
  if (estimate.shortWait) {
    const wxString format(TarvMessages::LoadMessage(TarvMessages::Id::kDownloadProgressSeconds));
    return wxString::Format(format, done, total, static_cast<unsigned long>(estimate.seconds));
  }
  if (minutes > 60) {
    const wxString format(TarvMessages::LoadMessage(TarvMessages::Id::kDownloadProgressHours));
    return wxString::Format(format, done, total, minutes / 60, minutes % 60);
  }
  const wxString format(TarvMessages::LoadMessage(TarvMessages::Id::kDownloadProgressMinutes));
  return wxString::Format(format, done, total, minutes);
}

void DownloadDisplay::BeginSession(DownloadView& view) {
  // The previous session's phases may have left their own range behind.
  m_owner = GaugeOwner::kDownload;
  view.SetGaugeRange(100);
}

void DownloadDisplay::Rest(DownloadView& view) { view.SetGaugeValue(0); }

void DownloadDisplay::Tick(const DownloadStatus& status, double elapsedSeconds,
                           DownloadView& view) {
  if (m_owner != GaugeOwner::kDownload) return;
  // Only a download moves the gauge. A session that downloads nothing (a
  // repair) leaves it to its phases, which set their own range and steps.
  if (status.state != DownloadState::kDownloading && status.percent < 100) return;
  view.SetGaugeValue(status.percent);
  if (status.bytesExpected > 0) {
    view.SetStatusLine(FormatDownloadText(
        EstimateDownload(status.bytesReceived, status.bytesExpected, elapsedSeconds)));
  }
  if (status.percent >= 100) {
    // The hand-over: unpacking and applying set the range and step the
    // gauge themselves from here on.
    view.SetStatusLine(wxString());
    m_owner = GaugeOwner::kSessionPhases;
  }
}

}  // namespace TarvPatch
