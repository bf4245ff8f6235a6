// tarv-crash-test MODE
//
// Fails on purpose so that tests can look at what is left behind:
//   plain        crash dump set up without the framework; null write
//   wx           set up as the patcher does, through the framework's hook
//                and the application's fatal-exception report; null write
//   gui          the same in a GUI application on the GUI thread, where the
//                "Fatal Error" box is shown (needs a display)
//   thread       the same GUI application, the fault on a second thread
//   throw        an exception escapes the application's start-up
//   assert       a failed assertion
//   assert-true  an assertion that holds; prints "alive" and exits 0
//   deep         logs the call stack from 100 nested calls
// The dump lands in the current folder.
#include <sys/mman.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/thread.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "app/fatal_error.h"
#include "diag/assertion.h"
#include "diag/call_stack.h"
#include "diag/crash_dump.h"

// Writes into a page that may not be touched: a real fault, and not a null
// store, which the undefined-behaviour sanitizer would catch first.
extern "C" __attribute__((noinline)) void TarvCrashTestDeliberateFault(int value) {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  volatile int* volatile target = static_cast<volatile int*>(page);
  *target = value;
  fprintf(stderr, "still running\n");
}

namespace {

__attribute__((noinline)) int Nest(int depth) {
  if (depth == 0) {
    LogCallStack(false);
    return 0;
  }
  // A volatile local keeps one real frame per level.
  volatile int level = depth;
  int below = Nest(depth - 1);
  return below + (level > 0 ? 1 : 0);
}

__attribute__((noinline)) void TarvCrashTestThrow() { throw std::runtime_error("escaped"); }

class CrashApp : public wxAppConsole {
 public:
  explicit CrashApp(bool throws) : m_throws(throws) {}
  bool OnInit() override {
    TarvPatch::SetUpFatalExceptionHandling();
    if (m_throws) TarvCrashTestThrow();
    TarvCrashTestDeliberateFault(1);
    return false;
  }
  void OnFatalException() override { TarvPatch::ReportFatalException(); }
  void OnUnhandledException() override { TarvPatch::ReportFatalException(); }

 private:
  bool m_throws;
};

class CrashGuiApp : public wxApp {
 public:
  explicit CrashGuiApp(bool on_thread) : m_onThread(on_thread) {}
  bool OnInit() override {
    TarvPatch::SetUpFatalExceptionHandling();
    if (m_onThread) {
      std::thread([] { TarvCrashTestDeliberateFault(2); }).join();
    } else {
      TarvCrashTestDeliberateFault(1);
    }
    return false;
  }
  void OnFatalException() override { TarvPatch::ReportFatalException(); }

 private:
  bool m_onThread;
};

// The framework takes ownership of the application object.
int RunApp(int argc, char** argv, wxAppConsole* app) {
  wxApp::SetInstance(app);
  return wxEntry(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc == 2 ? argv[1] : "";
  if (strcmp(mode, "plain") == 0) {
    SetUpCrashDump(L"patcher");
    TarvCrashTestDeliberateFault(1);
  } else if (strcmp(mode, "wx") == 0 || strcmp(mode, "throw") == 0) {
    return RunApp(argc, argv, new CrashApp(strcmp(mode, "throw") == 0));
  } else if (strcmp(mode, "gui") == 0 || strcmp(mode, "thread") == 0) {
    return RunApp(argc, argv, new CrashGuiApp(strcmp(mode, "thread") == 0));
  } else if (strcmp(mode, "assert") == 0) {
    AssertFailed(false, "the invariant broke");
  } else if (strcmp(mode, "assert-true") == 0) {
    AssertFailed(true, "never shown");
    printf("alive\n");
    return 0;
  } else if (strcmp(mode, "deep") == 0) {
    return Nest(100) == 100 ? 0 : 3;
  }
  fprintf(stderr, "usage: %s plain|wx|gui|thread|throw|assert|assert-true|deep\n", argv[0]);
  return 1;
}
