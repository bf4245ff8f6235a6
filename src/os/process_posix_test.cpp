#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "os/process.h"
#include "support/test_support.h"

namespace {

using OS::Process;

// Runs a shell snippet as the child, with its output in a file.
struct Child {
  tarvtest::ScopedTempDir dir;
  Process process;
  std::string out = dir.Sub("out");

  bool Start(const std::string& script, std::vector<std::string> extra_args = {},
             const std::string& cwd = "", const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {"/bin/sh", "-c", script, "child"};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    process.RedirectOutput(out, "");
    std::string error;
    bool ok = process.Start(argv, &error, cwd, env);
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  std::string Output() { return tarvtest::ReadFile(out); }
};

TEST(ProcessPosix, ArgumentsEnvironmentAndFolderReachTheChildUnchanged) {
  Child c;
  std::string folder = c.dir.Sub("work dir");
  tarvtest::MakeDirs(folder);
  ASSERT_TRUE(c.Start("printf '[%s]' \"$@\"; printf '\\n%s\\n%s\\n' \"$TARV_X\" \"$PWD\"",
                      {"a b", "\"q\"", "$HOME", "", "*"}, folder, {"TARV_X=one two"}));
  ASSERT_EQ(c.process.Wait(-1), Process::WaitResult::kExited);
  EXPECT_EQ(c.process.ExitCode(), 0);
  EXPECT_EQ(c.Output(), "[a b][\"q\"][$HOME][][*]\none two\n" + folder + "\n");
}

TEST(ProcessPosix, StandardInputIsEmptyAndOnlyStandardDescriptorsAreInherited) {
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 3);
  Child c;
  ASSERT_TRUE(c.Start("read line; echo \"read=$?\"; ls /proc/self/fd | sort -n | tr '\\n' ' '"));
  ASSERT_EQ(c.process.Wait(-1), Process::WaitResult::kExited);
  close(leaked);
  // "read" hits end of input at once (status 1); ls itself opens one
  // descriptor for the listing, numbered 3.
  EXPECT_EQ(c.Output(), "read=1\n0 1 2 3 ");
}

// A status from 128 up is an ordinary exit, never mistaken for a signal.
TEST(ProcessPosix, ExitStatusAndSignalAreKeptApart) {
  struct Case {
    const char* script;
    int code;
    int signal;
  } cases[] = {
      {"exit 0", 0, 0},
      {"exit 3", 3, 0},
      {"exit 137", 137, 0},
      {"exit 200", 200, 0},
      {"exit 255", 255, 0},
      {"kill -TERM $$", -1, SIGTERM},
      {"kill -SEGV $$", -1, SIGSEGV},
  };
  for (const auto& k : cases) {
    Child c;
    ASSERT_TRUE(c.Start(k.script));
    EXPECT_EQ(c.process.Wait(-1), Process::WaitResult::kExited) << k.script;
    EXPECT_EQ(c.process.ExitCode(), k.code) << k.script;
    EXPECT_EQ(c.process.TermSignal(), k.signal) << k.script;
    EXPECT_FALSE(c.process.Running());
  }
}

TEST(ProcessPosix, WaitsInSlicesUntilTheCallbackStopsThenTerminates) {
  Child c;
  ASSERT_TRUE(c.Start("while :; do sleep 1; done"));
  int slices = 0;
  EXPECT_EQ(c.process.WaitInSlices(10, [&] { return ++slices < 3; }),
            Process::WaitResult::kTimedOut);
  EXPECT_EQ(slices, 3);
  EXPECT_TRUE(c.process.Running());
  EXPECT_EQ(c.process.Wait(0), Process::WaitResult::kTimedOut);
  EXPECT_TRUE(c.process.Terminate());
  EXPECT_EQ(c.process.TermSignal(), SIGKILL);
  EXPECT_EQ(kill(c.process.Pid(), 0), -1);  // reaped, not a zombie
  EXPECT_TRUE(c.process.Terminate());       // already gone: still true

  Child quick;
  ASSERT_TRUE(quick.Start("exit 4"));
  int calls = 0;
  EXPECT_EQ(quick.process.WaitInSlices(10, [&] { return ++calls < 1000000; }),
            Process::WaitResult::kExited);
  EXPECT_EQ(quick.process.ExitCode(), 4);
}

TEST(ProcessPosix, StartFailuresAreReported) {
  struct Case {
    std::vector<std::string> argv;
  } cases[] = {{{}}, {{""}}, {{"/no/such/program"}}, {{"sh"}}};  // no PATH lookup
  for (const auto& k : cases) {
    Process p;
    std::string error;
    EXPECT_FALSE(p.Start(k.argv, &error)) << Process::Render(k.argv);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(p.Wait(0), Process::WaitResult::kFailed);
    EXPECT_FALSE(p.Terminate());
  }
  std::string error;
  EXPECT_EQ(OS::RunProgram({"/no/such/program"}, &error), -1);
  EXPECT_EQ(OS::RunProgram({"/bin/sh", "-c", "exit 9"}, &error), 9);
}

}  // namespace
