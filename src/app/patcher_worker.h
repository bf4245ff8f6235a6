// The session's worker as both front ends read it: the patch thread with
// its download status offered as DownloadProgress. The reader (the window's
// timer, or the terminal's main loop) runs on another thread than the
// worker; the patch task guards its status itself.
#pragma once

#include "session/patch_thread.h"
#include "ui/download_display.h"

namespace TarvPatch {

class PatcherWorker : public PatchThread, public DownloadProgress {
 public:
  using PatchThread::PatchThread;

  DownloadSnapshot GetDownloadSnapshot() const override {
    DownloadStatus status;
    const_cast<PatcherWorker*>(this)->GetDownloadStatus(status);
    return {status.bytesReceived, status.bytesExpected, status.percent};
  }
  uint32_t GetDownloadState() const override {
    return static_cast<uint32_t>(ObelkPatchTask::GetDownloadState());
  }
};

}  // namespace TarvPatch
