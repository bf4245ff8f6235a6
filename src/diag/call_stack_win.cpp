// Windows side of the call stacks: RtlCaptureStackBackTrace for the
// addresses, DbgHelp for the names. DbgHelp is single-threaded and keeps
// process-wide state, so every use of it holds one lock, and its symbol
// handler is started once, on first use, with line numbers turned on.
#include <windows.h>
// After windows.h, which they need.
#include <dbghelp.h>

#include <mutex>

#include "diag/call_stack.h"
#include "diag/text_encoding.h"

namespace TarvDiag {
namespace {

std::mutex g_symbol_lock;

// REQUIRES: g_symbol_lock held.
bool SymbolsReady() {
  static bool ready = false;
  static bool tried = false;
  if (!tried) {
    tried = true;
    SymSetOptions(SymGetOptions() | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
    ready = SymInitializeW(GetCurrentProcess(), nullptr, TRUE) != FALSE;
  }
  return ready;
}

std::wstring FunctionAt(DWORD64 address) {
  alignas(SYMBOL_INFOW) BYTE buffer[sizeof(SYMBOL_INFOW) + MAX_SYM_NAME * sizeof(wchar_t)];
  auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(buffer);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
  symbol->MaxNameLen = MAX_SYM_NAME;
  DWORD64 displacement = 0;
  if (!SymFromAddrW(GetCurrentProcess(), address, &displacement, symbol)) return std::wstring();
  return std::wstring(symbol->Name, symbol->NameLen);
}

}  // namespace

std::vector<uint64_t> CaptureStack(size_t max_frames) {
  if (max_frames > kMaxStackFrames) max_frames = kMaxStackFrames;
  void* frames[kMaxStackFrames];
  // Frame 0 would be this function itself.
  USHORT count = RtlCaptureStackBackTrace(1, static_cast<DWORD>(max_frames), frames, nullptr);
  std::vector<uint64_t> addresses;
  for (USHORT i = 0; i < count; ++i) addresses.push_back(reinterpret_cast<uintptr_t>(frames[i]));
  return addresses;
}

std::wstring ModuleOf(const void* address) {
  HMODULE module = nullptr;
  const DWORD flags =
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!GetModuleHandleExW(flags, static_cast<const wchar_t*>(address), &module)) {
    return std::wstring();
  }
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

StackFrameInfo ResolveFrame(uint64_t address) {
  StackFrameInfo info;
  std::lock_guard<std::mutex> lock(g_symbol_lock);
  if (!SymbolsReady()) return info;
  info.function = FunctionAt(address);
  if (info.function.empty()) return info;
  IMAGEHLP_LINEW64 line = {};
  line.SizeOfStruct = sizeof line;
  DWORD displacement = 0;
  if (SymGetLineFromAddrW64(GetCurrentProcess(), address, &displacement, &line)) {
    info.file = line.FileName;
    info.line = static_cast<int32_t>(line.LineNumber);
  }
  // Addresses come from a captured stack; turning them back into pointers is
  // the point here.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  info.module = ModuleOf(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)));
  return info;
}

}  // namespace TarvDiag
