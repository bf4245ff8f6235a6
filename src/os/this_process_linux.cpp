#include <unistd.h>

#include "os/this_process.h"

namespace OS {

std::string ExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) return std::string();
    if (static_cast<size_t>(length) < path.size())
      return path.substr(0, static_cast<size_t>(length));
    path.resize(path.size() * 2);  // perhaps cut: read again with room to spare
  }
}

void WriteStandardError(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}

void ExitNow(int code) { _exit(code & 0xff); }

}  // namespace OS
