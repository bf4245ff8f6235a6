// Windows side of the pipe: an anonymous pipe whose two handles, neither
// inheritable (Process hands the write end on explicitly), stand in for the
// descriptors (handle values fit an int on 64-bit Windows). The read takes
// only what is in the pipe already, so a child that said nothing leaves an
// empty read instead of a wait.
#include <windows.h>

#include <algorithm>

#include "os/pipe.h"

namespace OS {
namespace {

void CloseEnd(int* end) {
  if (*end != -1) CloseHandle(LongToHandle(*end));
  *end = -1;
}

}  // namespace

Pipe::~Pipe() {
  CloseWriteEnd();
  CloseEnd(&m_read);
}

bool Pipe::Open() {
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 65536)) return false;
  m_read = HandleToLong(read_end);
  m_write = HandleToLong(write_end);
  return true;
}

void Pipe::CloseWriteEnd() { CloseEnd(&m_write); }

std::string Pipe::ReadAvailable(size_t limit) {
  std::string text;
  if (m_read == -1) return text;
  HANDLE handle = LongToHandle(m_read);
  char buffer[256];
  DWORD waiting = 0;
  while (text.size() < limit && PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr) &&
         waiting > 0) {
    DWORD got = 0;
    if (!ReadFile(handle, buffer, std::min<DWORD>(waiting, sizeof buffer), &got, nullptr) ||
        got == 0) {
      break;
    }
    text.append(buffer, got);
  }
  CloseEnd(&m_read);
  return text;
}

}  // namespace OS
