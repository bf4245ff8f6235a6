// What the patcher leaves behind when it fails: the crash dump (name, one
// file per process, readable by scripts/read-dump) and the assertion report.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "os/process.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

// A sanitizer build handles fatal signals itself unless told not to; the
// program's own handling is what these tests look at.
std::vector<std::string> CrashEnvironment() {
  const char* asan = getenv("ASAN_OPTIONS");
  std::string options = asan ? asan : "";
  options += ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";
  // No display: the fatal box is not shown, so nothing waits for a click.
  return {"DISPLAY=", "WAYLAND_DISPLAY=", "ASAN_OPTIONS=" + options};
}

// Runs `argv` with `dir` as its current folder; output is captured beside.
tarvtest::RunResult RunInFolder(const std::string& dir, const std::vector<std::string>& argv,
                                const std::vector<std::string>& env = CrashEnvironment()) {
  tarvtest::ScopedTempDir outputs;
  OS::Process process;
  process.RedirectOutput(outputs.Sub("out"), outputs.Sub("err"));
  tarvtest::RunResult r;
  std::string error;
  if (!process.Start(argv, &error, dir, env)) {
    ADD_FAILURE() << error;
    return r;
  }
  EXPECT_EQ(process.Wait(-1), OS::Process::WaitResult::kExited);
  // Kept in the shell's form, 128 + signal, as RunResult documents.
  r.exit_code = process.TermSignal() != 0 ? 128 + process.TermSignal() : process.ExitCode();
  r.out = tarvtest::ReadFile(outputs.Sub("out"));
  r.err = tarvtest::ReadFile(outputs.Sub("err"));
  return r;
}

tarvtest::RunResult RunCrashProgram(const std::string& dir, const std::string& mode) {
  return RunInFolder(dir, {tarvtest::BinDir() + "/tarv-crash-test", mode});
}

std::string StampOf(time_t t) {
  std::tm local = {};
  localtime_r(&t, &local);
  char text[32];
  strftime(text, sizeof text, "%Y.%m.%d-%H.%M.%S", &local);
  return text;
}

TEST(CrashDump, OneNamedDumpPerCrashThatNamesTheFaultingFunction) {
  struct Case {
    const char* mode;
    int exit_code;
  } cases[] = {
      {"plain", 128 + SIGSEGV},  // no framework hook: the signal's own end
      {"wx", 255},               // the application's report: exit code -1
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    tarvtest::ScopedTempDir dir;
    time_t before = time(nullptr);
    tarvtest::RunResult r = RunCrashProgram(dir.path(), c.mode);
    time_t after = time(nullptr);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(r.err.find("still running"), std::string::npos);

    std::vector<std::string> files = FilesIn(dir.path());
    ASSERT_EQ(files.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        files[0], m, std::regex(R"(patcher-v30323-(\d{4}\.\d\d\.\d\d-\d\d\.\d\d\.\d\d)\.dmp)")))
        << files[0];
    // The name carries the start time, which lies within the run.
    EXPECT_GE(m[1].str(), StampOf(before));
    EXPECT_LE(m[1].str(), StampOf(after));

    tarvtest::RunResult read = tarvtest::Run(
        {"/usr/bin/python3", tarvtest::SourceDir() + "/scripts/read-dump", dir.Sub(files[0])});
    EXPECT_EQ(read.exit_code, 0) << read.err;
    EXPECT_NE(read.out.find("signal 11"), std::string::npos) << read.out;
    std::istringstream lines(read.out);
    std::string line;
    std::getline(lines, line);  // the summary
    std::getline(lines, line);  // the faulting instruction
    EXPECT_NE(line.find("pc"), std::string::npos) << read.out;
    EXPECT_NE(line.find("TarvCrashTestDeliberateFault at "), std::string::npos) << read.out;
    EXPECT_NE(line.find("crash_main.cpp:"), std::string::npos) << read.out;
    // The unwound stack passes through main as well.
    EXPECT_NE(read.out.find(" main at "), std::string::npos) << read.out;
  }
}

// The player sees the box whichever thread faulted: a fault on another
// thread hands it to the GUI thread. Needs a display.
TEST(CrashDump, FatalErrorBoxFromTheGuiThreadWhicheverThreadFaulted) {
  ASSERT_NE(getenv("DISPLAY"), nullptr) << "run under a display (xvfb-run -a)";
  for (const char* mode : {"gui", "thread"}) {
    SCOPED_TRACE(mode);
    tarvtest::ScopedTempDir dir;
    OS::Process crash;
    std::string error;
    std::vector<std::string> env = CrashEnvironment();
    env.erase(env.begin(), env.begin() + 2);  // keep the display
    tarvtest::ScopedTempDir logs;
    env.push_back("TARV_PATCHER_LOG=" + logs.Sub("session.log"));
    ASSERT_TRUE(
        crash.Start({tarvtest::BinDir() + "/tarv-crash-test", mode}, &error, dir.path(), env))
        << error;
    {
      tarvtest::RunResult found =
          tarvtest::Run({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--pid",
                         std::to_string(crash.Pid()), "--name", "^Fatal Error$"});
      ASSERT_EQ(found.exit_code, 0) << found.err;
      // The dump is on disk while the box is up.
      EXPECT_EQ(FilesIn(dir.path()).size(), 1u);
      std::string window = found.out.substr(0, found.out.find('\n'));
      ASSERT_EQ(tarvtest::Run({"/usr/bin/xdotool", "windowfocus", "--sync", window, "key",
                               "--clearmodifiers", "Return"})
                    .exit_code,
                0);
    }
    ASSERT_EQ(crash.Wait(-1), OS::Process::WaitResult::kExited);
    EXPECT_EQ(crash.ExitCode(), 255);
    std::string log = tarvtest::FileExists(logs.Sub("session.log"))
                          ? tarvtest::ReadFile(logs.Sub("session.log"))
                          : "";
    EXPECT_EQ(log, "{\"box\":{\"caption\":\"Fatal Error\",\"text\":\"Unhandled Exception\"}}\n");
    std::vector<std::string> files = FilesIn(dir.path());
    ASSERT_EQ(files.size(), 1u);
    tarvtest::RunResult read = tarvtest::Run(
        {"/usr/bin/python3", tarvtest::SourceDir() + "/scripts/read-dump", dir.Sub(files[0])});
    EXPECT_NE(read.out.find("pc   0x"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("TarvCrashTestDeliberateFault at "), std::string::npos) << read.out;
  }
}

TEST(CrashDump, EscapedExceptionEndsLikeAFault) {
  tarvtest::ScopedTempDir dir;
  tarvtest::RunResult r = RunCrashProgram(dir.path(), "throw");
  EXPECT_EQ(r.exit_code, 255) << r.err;
  std::vector<std::string> files = FilesIn(dir.path());
  ASSERT_EQ(files.size(), 1u);
  tarvtest::RunResult read = tarvtest::Run(
      {"/usr/bin/python3", tarvtest::SourceDir() + "/scripts/read-dump", dir.Sub(files[0])});
  // No signal; the stack is the one that reported the exception.
  EXPECT_NE(read.out.find(", signal 0,"), std::string::npos) << read.out;
  EXPECT_EQ(read.out.find("\npc "), std::string::npos) << read.out;
  EXPECT_NE(read.out.find("TarvPatch::ReportFatalException() at "), std::string::npos) << read.out;
}

TEST(CrashDump, NothingIsSetUpUnderADebugger) {
  // strace traces the program the way a debugger does (TracerPid).
  tarvtest::ScopedTempDir dir;
  tarvtest::RunResult r = RunInFolder(dir.path(), {"/usr/bin/strace", "-f", "-o", "/dev/null",
                                                   tarvtest::BinDir() + "/tarv-crash-test", "wx"});
  // The fault is left to the tracer: the plain signal, no hook, no dump.
  EXPECT_EQ(r.exit_code, 128 + SIGSEGV) << r.err;
  EXPECT_TRUE(FilesIn(dir.path()).empty());
}

TEST(CrashDump, ReadDumpRefusesOtherFiles) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("x.dmp"), "MDMP\n");
  tarvtest::RunResult read = tarvtest::Run(
      {"/usr/bin/python3", tarvtest::SourceDir() + "/scripts/read-dump", dir.Sub("x.dmp")});
  EXPECT_EQ(read.exit_code, 2);
  EXPECT_NE(read.err.find("not a crash dump"), std::string::npos) << read.err;
}

TEST(Assertion, FailedAssertionLogsTextAndResolvedStackThenEnds) {
  tarvtest::ScopedTempDir dir;
  tarvtest::RunResult r = RunCrashProgram(dir.path(), "assert");
  EXPECT_EQ(r.exit_code, 128 + SIGABRT);
  EXPECT_TRUE(std::regex_search(r.out, std::regex("^Assertion failed: the invariant broke\n"
                                                  "callstack: ([0-9a-f]+ )+\n")))
      << r.out;
  // One resolved line per frame, the assertion's caller among them.
  std::regex frame(R"(\n  (/\S+) (\S.*) \[(.*):(-?\d+)\])");
  size_t frames = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), frame),
                                std::sregex_iterator());
  std::smatch m;
  std::string addresses = r.out.substr(0, r.out.find('\n', r.out.find("callstack: ")));
  size_t listed = std::count(addresses.begin(), addresses.end(), ' ') - 1;
  EXPECT_GE(frames, 3u) << r.out;
  EXPECT_LE(frames, listed) << r.out;
  EXPECT_TRUE(std::regex_search(
      r.out, m, std::regex(R"(  (\S+tarv-crash-test) main \[(\S+crash_main.cpp):(\d+)\])")))
      << r.out;
  EXPECT_TRUE(FilesIn(dir.path()).empty());  // an assertion is not a crash

  tarvtest::RunResult ok = RunCrashProgram(dir.path(), "assert-true");
  EXPECT_EQ(ok.exit_code, 0);
  EXPECT_EQ(ok.out, "alive\n");
}

TEST(CallStack, DeepStackIsCutAtSixtyFourAddresses) {
  tarvtest::ScopedTempDir dir;
  tarvtest::RunResult r = RunCrashProgram(dir.path(), "deep");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("callstack: ([0-9a-f ]*)\n"))) << r.out;
  std::string list = m[1];
  EXPECT_LE(list.size(), 511u);
  // Addresses of 12 hexadecimal digits and a blank: 39 fit whole into 511
  // characters, then one partly; a short address list would hold all 64.
  size_t blanks = std::count(list.begin(), list.end(), ' ');
  EXPECT_TRUE(list.size() == 511u || blanks == 64u) << list;
}

}  // namespace
