#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "ui/terminal_io.h"

namespace TarvPatch {

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = write(fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

bool IsTerminal(int fd) { return isatty(fd) == 1; }

int TerminalColumns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace TarvPatch
