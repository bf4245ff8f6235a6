#include <dlfcn.h>

#include <boost/stacktrace.hpp>
#include <exception>
#include <mutex>

#include "diag/call_stack.h"
#include "diag/text_encoding.h"

namespace TarvDiag {

namespace {

// Symbol lookup through libbacktrace keeps process-wide state that is not
// safe for concurrent use, so resolution is serialised like the stack walk.
// Constant-initialised, so usable from any constructor.
std::mutex g_symbol_lock;

class SymbolLock {
 public:
  SymbolLock() { g_symbol_lock.lock(); }
  ~SymbolLock() { g_symbol_lock.unlock(); }
  SymbolLock(const SymbolLock&) = delete;
  SymbolLock& operator=(const SymbolLock&) = delete;
};

}  // namespace

std::vector<uint64_t> CaptureStack(size_t max_frames) {
  if (max_frames > kMaxStackFrames) max_frames = kMaxStackFrames;
  SymbolLock lock;
  boost::stacktrace::stacktrace trace(0, max_frames);
  std::vector<uint64_t> addresses;
  for (const auto& frame : trace) {
    addresses.push_back(reinterpret_cast<uintptr_t>(frame.address()));
  }
  return addresses;
}

std::wstring ModuleOf(const void* address) {
  Dl_info dl = {};
  if (dladdr(address, &dl) == 0 || dl.dli_fname == nullptr) return std::wstring();
  return TarvText::FromUtf8(dl.dli_fname);
}

StackFrameInfo ResolveFrame(uint64_t address) {
  StackFrameInfo info;
  // Addresses come from a captured stack; turning them back into pointers is
  // the point here.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  const void* pc = reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
  SymbolLock lock;
  try {
    boost::stacktrace::frame frame(pc);
    std::string name = frame.name();
    if (name.empty()) return info;
    info.function = TarvText::FromUtf8(name);
    std::string file = frame.source_file();
    if (!file.empty()) {
      info.file = TarvText::FromUtf8(file);
      info.line = static_cast<int32_t>(frame.source_line());
    }
    info.module = ModuleOf(pc);
  } catch (const std::exception&) {
    // A failure while reading symbols leaves the record as far as filled.
  }
  return info;
}

}  // namespace TarvDiag
