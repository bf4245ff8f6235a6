// The download display of the main window: every timer tick it turns the
// patch task's download status into the gauge's percentage and a status
// line with the kilobytes and the time left. The arithmetic is kept apart
// from the widgets so that it can be checked number by number.
#pragma once

#include <wx/string.h>

#include <cstdint>

namespace TarvPatch {

// Download states of the patch task.
enum DownloadState : uint32_t {
  kDownloadNotStarted = 0,
  kDownloading = 1,
  kUnpacking = 2,
  kApplying = 3,
};

// One consistent reading of the download status.
struct DownloadSnapshot {
  uint64_t bytesReceived = 0;
  uint64_t bytesExpected = 0;  // 0 when the server gave no size
  uint32_t percent = 0;        // received * 100 / expected; not capped
};

// What the window's timer reads of the running session. The worker that
// downloads implements it; both calls come from the GUI thread while the
// worker writes the status, so implementations take their status lock.
class DownloadProgress {
 public:
  virtual ~DownloadProgress() = default;
  virtual DownloadSnapshot GetDownloadSnapshot() const = 0;
  virtual uint32_t GetDownloadState() const = 0;
};

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
  virtual void SetGaugeValue(uint32_t value) = 0;
  virtual void SetStatusLine(const wxString& text) = 0;
};

// The timer's state between ticks. GUI thread; owned by the window.
class DownloadDisplay {
 public:
  // One tick after the clock and the cancel check: `running` tells whether
  // a session runs, `source` is its download status (null without worker).
  void Tick(bool running, const DownloadProgress* source, double elapsedSeconds,
            DownloadView& view);
  // The first download reached 100 %; the later phases own the gauge.
  bool Done() const { return m_done; }

 private:
  bool m_done = false;
};

}  // namespace TarvPatch
