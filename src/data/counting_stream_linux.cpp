#include <stdio.h>

#include "data/counting_stream.h"

namespace TarvFile {
namespace {

ssize_t CountWrite(void* cookie, const char* /*data*/, size_t n) {
  static_cast<CountingStream*>(cookie)->Wrote(n);
  return static_cast<ssize_t>(n);
}

int CountSeek(void* cookie, off64_t* offset, int whence) {
  int64_t at = 0;
  if (!static_cast<CountingStream*>(cookie)->Seek(*offset, whence, &at)) return -1;
  *offset = static_cast<off64_t>(at);
  return 0;
}

}  // namespace

CountingStream::~CountingStream() { Close(); }

FILE* CountingStream::Open() {
  cookie_io_functions_t io = {nullptr, CountWrite, CountSeek, nullptr};
  m_stream = fopencookie(this, "w", io);
  return m_stream;
}

bool CountingStream::Close() {
  if (m_stream == nullptr) return true;
  const bool ok = fclose(m_stream) == 0;
  m_stream = nullptr;
  return ok;
}

}  // namespace TarvFile
