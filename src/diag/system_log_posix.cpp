// Linux side of the trace: the journal stands in for the debugger output, and
// the console pipe is a FIFO that a listener creates for our pid before the
// process starts.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "diag/system_log.h"

namespace TarvDiag {
namespace {

bool g_pipe_open = false;
// The listener's FIFO. Only the trace writes into it: standard output stays
// what it was, so that whatever else writes there (the transfer layer, a
// started unpacker or difference tool) never puts 8-bit bytes into the
// listener's UTF-16LE stream.
int g_pipe_fd = -1;

std::string RuntimeDir() {
  const char* dir = getenv("XDG_RUNTIME_DIR");
  return dir && *dir ? dir : "/tmp";
}

// Opened during static initialisation so that every line of the program,
// including those written before main, reaches the listener. Without a
// listener standard output is left as it is.
struct ConsolePipe {
  ConsolePipe() {
    std::string path = ConsolePipePath(static_cast<long>(getpid()));
    // Non-blocking so that the open fails at once (ENXIO) when nobody reads.
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    // Only a listener's FIFO: a regular file or device planted under the
    // name (the fallback folder is shared) never receives the trace.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
      close(fd);
      return;
    }
    // Lines are then written whole, waiting for a slow listener.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    g_pipe_fd = fd;
    g_pipe_open = true;
  }
  ~ConsolePipe() {
    if (g_pipe_open) fsync(g_pipe_fd);
  }
};

ConsolePipe g_console_pipe;

}  // namespace

bool ConsolePipeOpen() { return g_pipe_open; }

std::string ConsolePipePath(long pid) { return RuntimeDir() + "/" + std::to_string(pid) + "cout"; }

void WriteDebuggerOutput(const std::string& utf8_line) {
  syslog(LOG_USER | LOG_DEBUG, "%s", utf8_line.c_str());
}

void WriteStandardOutput(const std::string& bytes) {
  const int fd = g_pipe_open ? g_pipe_fd : STDOUT_FILENO;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // failures are ignored
    done += static_cast<size_t>(n);
  }
}

}  // namespace TarvDiag
