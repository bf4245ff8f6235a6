// A small program for the trace tests: writes lines with the system log so
// that a test can listen on its console pipe or read its standard output.
//   system_log_probe one            -> SystemLogW("parm: %s", L"-a")
//   system_log_probe threads N      -> 4 threads, N lines each, W and A mixed
//   system_log_probe long           -> one line formatted to 5000 characters
//   system_log_probe mixed          -> 8-bit bytes on standard output from the
//                                      probe and from a child, then "one"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/system_log.h"

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "one";
  if (mode == "one") {
    SystemLogW(L"parm: %s", L"-a");
  } else if (mode == "threads") {
    int n = argc > 2 ? atoi(argv[2]) : 100;
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t, n] {
        for (int i = 0; i < n; ++i) {
          if (i % 2) {
            SystemLogW(L"thread %d line %d \u00e4\u20ac %s", t, i,
                       std::wstring(40, L'a' + t).c_str());
          } else {
            SystemLogA("thread %d line %d \xc3\xa4\xe2\x82\xac %s", t, i,
                       std::string(40, 'a' + t).c_str());
          }
        }
      });
    }
    for (auto& th : threads) th.join();
  } else if (mode == "mixed") {
    fputs("raw \xe4 bytes\n", stdout);
    fflush(stdout);
    if (system("echo from a child") != 0) return 1;
    SystemLogW(L"parm: %s", L"-a");
  } else if (mode == "long") {
    SystemLogW(L"%s", std::wstring(5000, L'x').c_str());
  }
  return 0;
}
