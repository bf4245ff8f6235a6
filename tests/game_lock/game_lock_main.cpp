// tarv-game-lock FOLDER [shared|exclusive]
//
// Stands in for the game in tests: takes the application lock of FOLDER
// (shared unless told otherwise), prints "locked" or "refused" on standard
// output, and with the lock held waits until SIGTERM or SIGINT, when it
// releases the lock and exits 0. Exit 1: wrong arguments; 2: lock refused.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "data/file_util.h"
#include "os/application_mutex.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 ||
      (argc == 3 && strcmp(argv[2], "shared") != 0 && strcmp(argv[2], "exclusive") != 0)) {
    fprintf(stderr, "usage: %s FOLDER [shared|exclusive]\n", argv[0]);
    return 1;
  }
  bool exclusive = argc == 3 && strcmp(argv[2], "exclusive") == 0;
  struct sigaction action = {};
  action.sa_handler = OnStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigset_t stop_signals, previous;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, &previous);

  if (!TarvUtil::OpenApplicationMutex(TarvUtil::FromFsPath(argv[1]), exclusive)) {
    printf("refused\n");
    return 2;
  }
  printf("locked\n");
  fflush(stdout);
  while (!g_stop) sigsuspend(&previous);
  TarvUtil::CloseApplicationMutex();
  return 0;
}
