// The download status of a session: where its archive is (downloading,
// unpacking, applying) and how many bytes of it have come. The patch task
// keeps it on the worker thread; the window's timer, the terminal's main
// loop and the application's end read it from another thread through
// DownloadProgress, which the worker's maker hands them with the worker.
#pragma once

#include <cstdint>

namespace TarvPatch {

// Where the session's archive is. The patch task sets kDownloading when a
// download begins; the session sets the two later phases.
enum class DownloadState : uint32_t {
  kNotStarted = 0,
  kDownloading = 1,
  kUnpacking = 2,
  kApplying = 3,
};

// One consistent reading of the download.
struct DownloadStatus {
  DownloadState state = DownloadState::kNotStarted;
  uint64_t bytesReceived = 0;
  uint64_t bytesExpected = 0;  // 0 when the server gave no size
  // received * 100 / expected (0 without a size), and 100 while unpacking.
  // Not capped: it passes 100 when the server under-announced.
  uint32_t percent = 0;
};

// The download status of a running worker, read from another thread than
// the one that downloads; an implementation takes its status lock itself.
class DownloadProgress {
 public:
  virtual ~DownloadProgress() = default;
  virtual DownloadStatus GetDownloadStatus() const = 0;
};

}  // namespace TarvPatch
