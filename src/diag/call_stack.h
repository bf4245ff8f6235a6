// Call-stack reports for the system log: the program-counter addresses of the
// calling thread in one line, then optionally one resolved line per frame
// (module, function, source file and line). Any thread; reports hold the
// diagnostics lock so that their lines are not interleaved with others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Logs "callstack: " with up to 64 addresses of the calling thread, then,
// when `resolve` is set, "  <module> <function> [<file>:<line>]" per frame.
// Frames without symbols show an empty module and function, "<unknown>" and
// -1. Never fails; what cannot be found is shown with those defaults.
void LogCallStack(bool resolve);

namespace TarvDiag {

constexpr size_t kMaxStackFrames = 64;
// The address line's buffer: at most 511 characters of addresses.
constexpr size_t kAddressListBytes = 512;

// One resolved frame; the defaults stand for "not found".
struct StackFrameInfo {
  std::wstring module;
  std::wstring function;
  std::wstring file = L"<unknown>";
  int32_t line = -1;
};

// Up to `max_frames` (at most 64) program-counter addresses of the calling
// thread, innermost first.
std::vector<uint64_t> CaptureStack(size_t max_frames = kMaxStackFrames);

// "%llx " per address, appending stopped as soon as the text reaches 511
// characters (the last address may be cut).
std::string FormatAddressList(const std::vector<uint64_t>& addresses);

// The path of the loaded module (the program or a shared library) that holds
// `address`; empty when none is known. Platform code (call_stack_posix.cpp).
std::wstring ModuleOf(const void* address);

// Module path, function, file and line of one address, as far as found.
StackFrameInfo ResolveFrame(uint64_t address);

}  // namespace TarvDiag
