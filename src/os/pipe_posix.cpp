#include <fcntl.h>
#include <unistd.h>

#include "os/pipe.h"

namespace OS {

Pipe::~Pipe() {
  CloseWriteEnd();
  if (m_read >= 0) close(m_read);
}

bool Pipe::Open() {
  int ends[2] = {-1, -1};
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  m_read = ends[0];
  m_write = ends[1];
  return true;
}

void Pipe::CloseWriteEnd() {
  if (m_write >= 0) close(m_write);
  m_write = -1;
}

std::string Pipe::ReadAvailable(size_t limit) {
  std::string text;
  if (m_read < 0) return text;
  char buffer[256];
  ssize_t got;
  while (text.size() < limit && (got = read(m_read, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  close(m_read);
  m_read = -1;
  return text;
}

}  // namespace OS
