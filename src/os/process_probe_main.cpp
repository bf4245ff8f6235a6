// A child for the process tests, the same on every platform:
//   tarv-process-probe args A B ...  -> "[A][B]...", then "TARV_X=<value>"
//                                        and "stdin=eof" or "stdin=data"
//   tarv-process-probe exit N        -> exits with status N
//   tarv-process-probe wait          -> sleeps until killed (at most 60 s)
//   tarv-process-probe lock FOLDER shared|exclusive
//                                    -> takes the application lock of FOLDER,
//                                       prints "locked" (and holds it until
//                                       killed, at most 60 s) or "refused"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "diag/text_encoding.h"
#include "os/application_mutex.h"

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  if (std::strcmp(argv[1], "exit") == 0 && argc == 3) return std::atoi(argv[2]);
  if (std::strcmp(argv[1], "lock") == 0 && argc == 4) {
    const bool exclusive = std::strcmp(argv[3], "exclusive") == 0;
    if (!TarvUtil::OpenApplicationMutex(TarvText::FromUtf8(argv[2]), exclusive)) {
      std::printf("refused\n");
      return 2;
    }
    std::printf("locked\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
  }
  if (std::strcmp(argv[1], "wait") == 0) {
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
  }
  if (std::strcmp(argv[1], "args") != 0) return 101;
  for (int i = 2; i < argc; ++i) std::printf("[%s]", argv[i]);
  const char* x = std::getenv("TARV_X");
  std::printf("\nTARV_X=%s\nstdin=%s\n", x != nullptr ? x : "(unset)",
              std::getchar() == EOF ? "eof" : "data");
  return 0;
}
