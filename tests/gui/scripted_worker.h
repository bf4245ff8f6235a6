// A worker for the window tests that plays a script instead of a patch
// session: report lines, a simulated download, waits, message boxes.
// Created by the window on the GUI thread; runs on its own thread.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "patchserver/download_status.h"
#include "session/ap_thread.h"

namespace TarvTest {

// Script: commands separated by ';', arguments by ':'.
//   line:LEVEL:TEXT      one report line
//   lines:N              N numbered level-0 lines, as fast as possible
//   sleep:MS             a pause
//   total:N / steps:N    a counted phase; a refused step ends the script
//   box:CAPTION:TEXT     a message box the worker waits for
//   apply-on             enables the Apply button again
//   folder:TEXT          sets the folder field
//   download:KB:MS       a download of KB kilobytes taking MS milliseconds
//   cut:KB:MS            a download that stops at nine tenths of KB
//   nosize:MS            a download whose size the server did not give
//   unpack:MS            the unpack state for MS ms, ended by a stop request
//                        without a finish notice, as the real unpacker wait
//   wait-stop            waits until a step is refused
//   hold                 ignores the window until the thread is asked to
//                        end, then ends without a finish notice
// Events for the test go to the session log as {"event":"worker:..."}.
class ScriptedWorker : public TarvPatch::APThread, public TarvPatch::DownloadProgress {
 public:
  ScriptedWorker(TarvPatch::SessionFrontEnd* frontEnd, std::string script);
  // A new worker with its download status, as the window's maker hands it.
  static TarvPatch::SessionWorker Make(TarvPatch::SessionFrontEnd* frontEnd, std::string script);

  TarvPatch::DownloadStatus GetDownloadStatus() const override;

 protected:
  void DoWork() override;

 private:
  // Runs one command; false ends the script.
  bool Run(const std::vector<std::string>& command);
  // Receives up to `lastBytes` of `totalBytes` in even slices.
  bool Download(uint64_t totalBytes, uint64_t lastBytes, int milliseconds, bool sizeKnown);
  bool Unpack(int milliseconds);

  std::string m_script;
  std::atomic<uint64_t> m_received{0};
  std::atomic<uint64_t> m_expected{0};
  std::atomic<TarvPatch::DownloadState> m_state{TarvPatch::DownloadState::kNotStarted};
};

}  // namespace TarvTest
