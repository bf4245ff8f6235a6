// The fault seam of the file layer: every open, write, fsync, rename,
// unlink and link of the file layer (the "counted calls") asks it first whether to
// fail. Tests arm it to make the n-th call of a kind fail with a chosen errno
// (a full disk, an I/O error, a refused permission), or to stop the whole
// process at the n-th counted call of any kind, so that every way a write
// can end is reachable without tracing tools. Unarmed it only counts.
// Process-wide and thread-safe.
//
// A program started by a test is armed through its environment, read at the
// first file call: TARV_FILE_FAULT="<call>:<n>:<errno>" (call one of open,
// write, fsync, rename, unlink, link; errno a number) and
// TARV_FILE_CRASH_AT="<n>[:<signal>]" (default SIGKILL).
#pragma once

#include <cstdint>

namespace TarvFile {

enum class Call { kOpen, kWrite, kFsync, kRename, kUnlink, kLink };
constexpr int kCallKinds = 6;

// Makes the n-th call of `call` from now on (1 = the next) and the
// `times - 1` calls after it fail with `err`; later calls succeed again. A
// full disk stays full: kEveryCall fails every call from the n-th on.
// Replaces an earlier fault of that call.
constexpr uint64_t kEveryCall = UINT64_MAX;
void InjectFault(Call call, uint64_t nth, int err, uint64_t times = 1);
// Raises `signal` in this process just before its n-th counted call from now
// on (of any kind). SIGSTOP lets a parent inspect the state mid-write.
void SetCrashPoint(uint64_t nth, int signal);

// The platform part of a crash point (file_faults_posix.cpp): the signal
// used when none is named (one that runs no handler, as a kill would), and
// raising a signal in this process.
int DefaultCrashSignal();
void RaiseCrash(int signal);
// Disarms everything and sets every count to zero.
void ResetFaults();
// Counted calls of a kind (or of every kind) since the last reset.
uint64_t CallCount(Call call);
uint64_t MutatingCallCount();

// Whether a fault or a crash point is set.
bool FaultSeamArmed();

// Called by the file layer before each counted call: false with errno set
// when the call is to fail.
bool PassesFaultSeam(Call call);

// Arms the seam for the life of a test scope and resets it on leaving.
class ScopedFault {
 public:
  ScopedFault(Call call, uint64_t nth, int err, uint64_t times = 1) {
    ResetFaults();
    InjectFault(call, nth, err, times);
  }
  ~ScopedFault() { ResetFaults(); }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
};

}  // namespace TarvFile
