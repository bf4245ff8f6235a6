// The parts of a child program's life that do not touch the system: waiting
// in slices, rendering command lines for messages and for Windows programs.

#include "os/process.h"

namespace OS {

namespace {

// One argument as CommandLineToArgvW reads it back: quoted when it is empty
// or holds a blank, a tab or a quote; backslashes are literal except in
// front of a quote (and of the closing quote), where each one is doubled.
void AppendQuoted(const std::wstring& argument, std::wstring* line) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += argument;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    const size_t count = c == L'"' ? backslashes * 2 + 1 : backslashes;
    line->append(count, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

}  // namespace

Process::WaitResult Process::WaitInSlices(int slice_ms,
                                          const std::function<bool()>& between_slices) {
  for (;;) {
    WaitResult r = Wait(slice_ms);
    if (r != WaitResult::kTimedOut) return r;
    if (between_slices && !between_slices()) return WaitResult::kTimedOut;
  }
}

std::string Process::Render(const std::vector<std::string>& argv) {
  std::string out;
  for (const auto& a : argv) {
    if (!out.empty()) out += ' ';
    out += a;
  }
  return out;
}

std::wstring QuotedCommandLine(const std::vector<std::wstring>& argv) {
  std::wstring line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      // The program's own name is read up to the next quote, without any
      // escape; a path can hold no quote.
      line += L'"' + argv[0] + L'"';
      continue;
    }
    line += L' ';
    AppendQuoted(argv[i], &line);
  }
  return line;
}

int RunProgram(const std::vector<std::string>& argv, std::string* error) {
  Process p;
  if (!p.Start(argv, error)) return -1;
  if (p.Wait(-1) != Process::WaitResult::kExited) return -1;
  return p.ExitCode();
}

}  // namespace OS
