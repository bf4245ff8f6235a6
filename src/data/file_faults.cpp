#include "data/file_faults.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "diag/test_hooks.h"

namespace TarvFile {
namespace {

struct Fault {
  uint64_t first = 0;  // the first call count that fails; 0: none
  uint64_t last = 0;   // the last one
  int err = 0;
};

struct Seam {
  std::mutex lock;
  uint64_t counts[kCallKinds] = {};
  uint64_t total = 0;
  Fault faults[kCallKinds];
  uint64_t crash_at = 0;
  int crash_signal = DefaultCrashSignal();
};

Seam& TheSeam() {
  static Seam seam;
  return seam;
}

int CallFromName(const std::string& name) {
  static const char* const kNames[kCallKinds] = {"open",   "write",  "fsync",
                                                 "rename", "unlink", "link"};
  for (int i = 0; i < kCallKinds; ++i) {
    if (name == kNames[i]) return i;
  }
  return -1;
}

// "<call>:<n>:<errno>[:<times>]"; anything malformed arms nothing.
void ArmFaultFrom(const char* text) {
  std::string fault = text;
  size_t a = fault.find(':');
  size_t b = a == std::string::npos ? a : fault.find(':', a + 1);
  if (b == std::string::npos) return;
  size_t c = fault.find(':', b + 1);
  int call = CallFromName(fault.substr(0, a));
  uint64_t nth = std::strtoull(fault.c_str() + a + 1, nullptr, 10);
  int err = std::atoi(fault.c_str() + b + 1);
  uint64_t times = c == std::string::npos ? 1 : std::strtoull(fault.c_str() + c + 1, nullptr, 10);
  if (call >= 0 && nth > 0 && err > 0) {
    InjectFault(static_cast<Call>(call), nth, err, times == 0 ? kEveryCall : times);
  }
}

// "<n>[:<signal>]".
void ArmCrashFrom(const char* text) {
  char* end = nullptr;
  uint64_t nth = std::strtoull(text, &end, 10);
  int signal = (end != nullptr && *end == ':') ? std::atoi(end + 1) : DefaultCrashSignal();
  if (nth > 0 && signal > 0) SetCrashPoint(nth, signal);
}

void ArmFromEnvironmentOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!TarvDiag::TestHooksAllowed()) return;
    if (const char* fault = std::getenv("TARV_FILE_FAULT")) ArmFaultFrom(fault);
    if (const char* crash = std::getenv("TARV_FILE_CRASH_AT")) ArmCrashFrom(crash);
  });
}

}  // namespace

void InjectFault(Call call, uint64_t nth, int err, uint64_t times) {
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> hold(seam.lock);
  const int i = static_cast<int>(call);
  const uint64_t first = seam.counts[i] + nth;
  uint64_t last = first + times - 1;                  // times == 0 leaves nothing armed
  if (times > kEveryCall - first) last = kEveryCall;  // to the end, without wrapping
  seam.faults[i] = Fault{first, last, err};
}

void SetCrashPoint(uint64_t nth, int signal) {
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> hold(seam.lock);
  seam.crash_at = seam.total + nth;
  seam.crash_signal = signal;
}

void ResetFaults() {
  ArmFromEnvironmentOnce();  // a later first call must not re-arm what a test reset
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> hold(seam.lock);
  for (int i = 0; i < kCallKinds; ++i) {
    seam.counts[i] = 0;
    seam.faults[i] = Fault();
  }
  seam.total = 0;
  seam.crash_at = 0;
}

uint64_t CallCount(Call call) {
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> hold(seam.lock);
  return seam.counts[static_cast<int>(call)];
}

uint64_t MutatingCallCount() {
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> hold(seam.lock);
  return seam.total;
}

bool FaultSeamArmed() {
  ArmFromEnvironmentOnce();
  Seam& seam = TheSeam();
  std::lock_guard<std::mutex> hold(seam.lock);
  if (seam.crash_at > seam.total) return true;
  for (int i = 0; i < kCallKinds; ++i) {
    if (seam.faults[i].first != 0 && seam.faults[i].last > seam.counts[i]) return true;
  }
  return false;
}

bool PassesFaultSeam(Call call) {
  ArmFromEnvironmentOnce();
  Seam& seam = TheSeam();
  int crash_signal = 0;
  int err = 0;
  {
    std::lock_guard<std::mutex> hold(seam.lock);
    const int i = static_cast<int>(call);
    const uint64_t n = ++seam.counts[i];
    if (++seam.total == seam.crash_at) crash_signal = seam.crash_signal;
    const Fault& fault = seam.faults[i];
    if (fault.first != 0 && n >= fault.first && n <= fault.last) err = fault.err;
  }
  if (crash_signal != 0) RaiseCrash(crash_signal);
  if (err == 0) return true;
  errno = err;
  return false;
}

}  // namespace TarvFile
