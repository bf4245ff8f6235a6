// tarv-crash-test MODE
//
// Fails on purpose so that tests can look at what is left behind:
//   plain        crash dump set up without the framework; null write
//   wx           set up as the patcher does, through the framework's hook
//                and the application's fatal-exception report; null write
//   gui          the same in a GUI application on the GUI thread, where the
//                "Fatal Error" box is shown (needs a display)
//   thread       the same GUI application, the fault on a second thread
//   assert       a failed assertion
//   assert-true  an assertion that holds; prints "alive" and exits 0
//   deep         logs the call stack from 100 nested calls
// The dump lands in the current folder.
#include <wx/app.h>
#include <wx/init.h>
#include <wx/thread.h>

#include <thread>

#include <cstdio>
#include <cstring>

#include "app/fatal_error.h"
#include "diag/assertion.h"
#include "diag/call_stack.h"
#include "diag/crash_dump.h"

extern "C" __attribute__((noinline)) void TarvCrashTestDeliberateFault(int value) {
  volatile int* volatile target = nullptr;
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

class CrashApp : public wxAppConsole {
 public:
  bool OnInit() override {
    TarvPatch::SetUpFatalExceptionHandling();
    TarvCrashTestDeliberateFault(1);
    return false;
  }
  void OnFatalException() override { TarvPatch::ReportFatalException(); }
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

int RunGui(int argc, char** argv, bool on_thread) {
  wxApp::SetInstance(new CrashGuiApp(on_thread));
  return wxEntry(argc, argv);
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(CrashApp);

int main(int argc, char** argv) {
  const char* mode = argc == 2 ? argv[1] : "";
  if (strcmp(mode, "plain") == 0) {
    SetUpCrashDump(L"patcher");
    TarvCrashTestDeliberateFault(1);
  } else if (strcmp(mode, "wx") == 0) {
    return wxEntry(argc, argv);
  } else if (strcmp(mode, "gui") == 0 || strcmp(mode, "thread") == 0) {
    return RunGui(argc, argv, strcmp(mode, "thread") == 0);
  } else if (strcmp(mode, "assert") == 0) {
    AssertFailed(false, "the invariant broke");
  } else if (strcmp(mode, "assert-true") == 0) {
    AssertFailed(true, "never shown");
    printf("alive\n");
    return 0;
  } else if (strcmp(mode, "deep") == 0) {
    return Nest(100) == 100 ? 0 : 3;
  }
  fprintf(stderr, "usage: %s plain|wx|gui|thread|assert|assert-true|deep\n", argv[0]);
  return 1;
}
