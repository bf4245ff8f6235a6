// The download display of the main window: every timer tick it turns the
// session's download status into the gauge's percentage and a status line
// with the kilobytes and the time left, as long as it owns the gauge. The
// arithmetic is kept apart from the widgets so that it can be checked
// number by number.
#pragma once

#include <wx/string.h>

#include <cstdint>

#include "patchserver/download_status.h"

namespace TarvPatch {

// Whole kilobytes and the estimated minutes left; the seconds left as
// well while they are under 2 minutes.
struct DownloadEstimate {
  uint32_t doneKb = 0;
  uint32_t totalKb = 0;
  uint32_t minutes = 0;
  bool shortWait = false;  // under 120 seconds left: `seconds` is shown
  uint32_t seconds = 0;
};

// Kilobytes are the byte counts shifted right by 10 and taken as 32-bit
// numbers; the rate is whole kB done per elapsed second since the window's
// clock started. No whole kB yet, or no time elapsed, gives 0 minutes and
// no seconds (the wait is unknown, not short).
DownloadEstimate EstimateDownload(uint64_t bytesReceived, uint64_t bytesExpected,
                                  double elapsedSeconds);

// The status line in the calling thread's language: hours and minutes above
// 60 minutes, minutes alone from 2 up to and including 60, seconds below 2
// minutes.
wxString FormatDownloadText(const DownloadEstimate& estimate);

// Where the display writes. The window implements it with its gauge and
// status line.
class DownloadView {
 public:
  virtual ~DownloadView() = default;
  // The gauge's range, its value back to 0.
  virtual void SetGaugeRange(uint32_t range) = 0;
  virtual void SetGaugeValue(uint32_t value) = 0;
  virtual void SetStatusLine(const wxString& text) = 0;
};

// Who moves the gauge while a session runs.
enum class GaugeOwner {
  // The download display, each tick, with the download's percentage.
  kDownload,
  // The session's later phases (unpacking, applying), through the front
  // end's ReportTotal and ReportStep; the display leaves the gauge alone.
  kSessionPhases,
};

// The timer's state between ticks. GUI thread; owned by the window.
class DownloadDisplay {
 public:
  // A new session starts: the display takes the gauge back, as a
  // percentage from 0.
  void BeginSession(DownloadView& view);
  // A tick while no session runs: the gauge rests at 0 whoever owned it;
  // the status line keeps its last text.
  void Rest(DownloadView& view);
  // A tick while the session runs, with one reading of its download
  // status. While the display owns the gauge and the session downloads, it
  // shows the percentage and, with a known size, the kilobytes and the time
  // left; before a download, and in a session without one, it writes
  // nothing. The first reading of 100 % or more clears the line and hands
  // the gauge to the session's later phases for the rest of the session.
  void Tick(const DownloadStatus& status, double elapsedSeconds, DownloadView& view);
  GaugeOwner Owner() const { return m_owner; }

 private:
  GaugeOwner m_owner = GaugeOwner::kDownload;
};

}  // namespace TarvPatch
