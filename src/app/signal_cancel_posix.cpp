#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "app/signal_cancel.h"

namespace TarvPatch {
namespace {

int g_pipe[2] = {-1, -1};
std::atomic<bool>* g_flag = nullptr;
volatile sig_atomic_t g_signal = 0;

static_assert(std::atomic<bool>::is_always_lock_free, "the handler sets the flag");

void OnSignal(int number) {
  const int saved = errno;
  g_signal = number;
  if (g_flag != nullptr) g_flag->store(true);
  const char byte = 1;
  [[maybe_unused]] ssize_t ignored = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool SignalCancel::Install(std::atomic<bool>* flag) {
  if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  g_flag = flag;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // A reader that went away (`| head`) must not end a session half way: the
  // report's writes then simply fail. Started programs get the default back.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // A closed terminal or a lost remote session (SIGHUP) ends the session
  // the same careful way as Ctrl-C.
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
         sigaction(SIGHUP, &action, nullptr) == 0 && sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

bool SignalCancel::Wait(int milliseconds) {
  if (g_signal != 0) return true;
  pollfd waiting{g_pipe[0], POLLIN, 0};
  if (poll(&waiting, 1, milliseconds) > 0) {
    char bytes[16];
    while (read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
  }
  return g_signal != 0;
}

int SignalCancel::Received() { return g_signal; }

}  // namespace TarvPatch
