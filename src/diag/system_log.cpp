#include "diag/system_log.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "diag/text_encoding.h"

namespace TarvDiag {
namespace {

// Made on first use and never destroyed, so usable before any constructor of
// the program runs and after static destructors have run.
std::recursive_mutex& DiagLock() {
  static std::recursive_mutex* const lock = new std::recursive_mutex;
  return *lock;
}

constexpr size_t kLineChars = 4096;

// Microsoft's wide printf reads "%s" and "%c" as wide; glibc's reads them as
// narrow unless "l" is given. Rewrite the format so that callers keep the
// documented meaning.
std::wstring WidenConversions(const wchar_t* format) {
  std::wstring out;
  for (const wchar_t* p = format; *p; ++p) {
    out.push_back(*p);
    if (*p != L'%') continue;
    if (p[1] == L'%') {
      out.push_back(*++p);
      continue;
    }
    const wchar_t* q = p + 1;
    while (*q && wcschr(L"-+ #0123456789.*", *q)) out.push_back(*q++);
    if ((*q == L's' || *q == L'c')) {
      out.push_back(L'l');
    } else if (*q == L'h' && (q[1] == L's' || q[1] == L'c')) {
      ++q;  // "%hs": an explicitly narrow argument, glibc's plain "%s"
    }
    p = q - 1;
  }
  return out;
}

// Cuts the text to the line buffer and appends the line break the way the
// fixed-size buffer forces: a text that fills the buffer gives up its last
// character to the break.
template <typename Str>
void TerminateLine(Str* text) {
  if (text->size() > kLineChars - 1) text->resize(kLineChars - 1);
  if (text->size() == kLineChars - 1)
    text->back() = '\n';
  else
    text->push_back('\n');
}

}  // namespace

DiagnosticsLock::DiagnosticsLock() { DiagLock().lock(); }
DiagnosticsLock::~DiagnosticsLock() { DiagLock().unlock(); }

void EmitLine(const std::wstring& wide, const std::string& narrow) {
  DiagnosticsLock lock;
  WriteDebuggerOutput(narrow);
  WriteStandardOutput(ConsolePipeOpen() ? TarvText::ToUtf16Le(wide) : narrow);
}

}  // namespace TarvDiag

void SystemLogW(const wchar_t* format, ...) {
  TarvDiag::DiagnosticsLock lock;
  wchar_t buffer[TarvDiag::kLineChars];
  buffer[0] = 0;
  std::wstring fmt = TarvDiag::WidenConversions(format ? format : L"");
  va_list args;
  va_start(args, format);
  if (!fmt.empty()) vswprintf(buffer, TarvDiag::kLineChars, fmt.c_str(), args);
  va_end(args);
  buffer[TarvDiag::kLineChars - 1] = 0;
  std::wstring text(buffer);
  TarvDiag::TerminateLine(&text);
  TarvDiag::EmitLine(text, TarvText::ToUtf8(text));
}

void SystemLogA(const char* format, ...) {
  TarvDiag::DiagnosticsLock lock;
  char buffer[TarvDiag::kLineChars];
  buffer[0] = 0;
  va_list args;
  va_start(args, format);
  if (format != nullptr) vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  buffer[TarvDiag::kLineChars - 1] = 0;
  std::string text(buffer);
  TarvDiag::TerminateLine(&text);
  TarvDiag::EmitLine(TarvText::FromUtf8(text), text);
}
