#include <sys/ioctl.h>
#include <unistd.h>

#include "ui/terminal_io.h"

namespace TarvPatch {

bool IsTerminal(int fd) { return isatty(fd) == 1; }

int TerminalColumns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace TarvPatch
