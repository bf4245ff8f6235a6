#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "app/fatal_box.h"

namespace TarvPatch {
namespace {

// The GUI thread, which alone may show the box, and the signal by which a
// fault on another thread hands the box to it.
pthread_t g_guiThread;
volatile sig_atomic_t g_guiThreadKnown = 0;
void (*volatile g_show)() = nullptr;
volatile sig_atomic_t g_watchdogCode = 0;

int BoxSignal() { return SIGRTMIN + 2; }

void OnBoxSignal(int) { g_show(); }

void ExitAfterWatchdog(int) { _exit(g_watchdogCode & 0xff); }

}  // namespace

bool ListenForBoxRequests(void (*show)()) {
  g_show = show;
  g_guiThread = pthread_self();
  struct sigaction action = {};
  action.sa_handler = OnBoxSignal;
  sigemptyset(&action.sa_mask);
  if (sigaction(BoxSignal(), &action, nullptr) != 0) return false;
  g_guiThreadKnown = 1;
  return true;
}

void StartExitWatchdog(unsigned seconds, int code) {
  g_watchdogCode = code;
  signal(SIGALRM, ExitAfterWatchdog);
  alarm(seconds);
}

void HandBoxToGuiThread() {
  if (g_guiThreadKnown && pthread_kill(g_guiThread, BoxSignal()) == 0) {
    for (;;) pause();
  }
}

}  // namespace TarvPatch
