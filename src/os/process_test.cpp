#include "os/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/this_process.h"
#include "support/test_support.h"

namespace {

using OS::Process;

#ifdef _WIN32
constexpr char kProgramSuffix[] = ".exe";
#else
constexpr char kProgramSuffix[] = "";
#endif

// The probe is built beside the test program.
std::string Probe() {
  const std::string self = OS::ExecutablePath();
  return self.substr(0, self.find_last_of("/\\") + 1) + "tarv-process-probe" + kProgramSuffix;
}

// The probe as the child, its standard output in a file of its own.
struct Child {
  std::filesystem::path out = std::filesystem::temp_directory_path() /
                              ("tarv-process-" + std::to_string(tarvtest::UniqueNumber()) + ".out");
  Process process;

  ~Child() {
    process.Terminate();
    std::error_code ignored;
    std::filesystem::remove(out, ignored);
  }
  bool Start(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), Probe());
    process.RedirectOutput(out.string(), "");
    std::string error;
    bool ok = process.Start(args, &error, "", env);
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  std::string Output() const {
    std::ifstream file(out, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string bytes = text.str();
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
    return bytes;
  }
};

// The command line a Windows child splits back into the same arguments.
TEST(QuotedCommandLine, QuotesOnlyWhatNeedsIt) {
  const struct {
    std::vector<std::wstring> argv;
    std::wstring line;
  } cases[] = {
      {{L"C:\\Tarv\\jpatch.exe"}, L"\"C:\\Tarv\\jpatch.exe\""},
      {{L"C:\\My Games\\a.exe", L"plain", L"two words"},
       L"\"C:\\My Games\\a.exe\" plain \"two words\""},
      {{L"p", L""}, L"\"p\" \"\""},
      {{L"p", L"C:\\dir\\"}, L"\"p\" C:\\dir\\"},
      {{L"p", L"C:\\my dir\\"}, L"\"p\" \"C:\\my dir\\\\\""},
      {{L"p", L"say \"hi\""}, L"\"p\" \"say \\\"hi\\\"\""},
      {{L"p", L"a\\\"b"}, L"\"p\" \"a\\\\\\\"b\""},
      {{L"p", L"\\\\server\\share"}, L"\"p\" \\\\server\\share"},
      {{L"p", L"tab\there"}, L"\"p\" \"tab\there\""},
  };
  for (const auto& c : cases) EXPECT_EQ(OS::QuotedCommandLine(c.argv), c.line);
}

TEST(Process, ArgumentsAndEnvironmentReachTheChildUnchanged) {
  Child c;
  const std::vector<std::string> args = {"a b", "\"q\"", "x\\",    "a\\\"b",      "",
                                         "*",   "$HOME", "%PATH%", "C:\\my dir\\"};
  std::vector<std::string> argv = {"args"};
  argv.insert(argv.end(), args.begin(), args.end());
  ASSERT_TRUE(c.Start(argv, {"TARV_X=one two"}));
  ASSERT_EQ(c.process.Wait(-1), Process::WaitResult::kExited);
  EXPECT_EQ(c.process.ExitCode(), 0);
  std::string expected;
  for (const auto& a : args) expected += "[" + a + "]";
  EXPECT_EQ(c.Output(), expected + "\nTARV_X=one two\nstdin=eof\n");
}

// A status from 128 up is an ordinary exit, never mistaken for a signal.
TEST(Process, ExitStatusesAreOrdinaryExits) {
  for (int code : {0, 3, 127, 137, 200, 255}) {
    Child c;
    ASSERT_TRUE(c.Start({"exit", std::to_string(code)}));
    EXPECT_EQ(c.process.Wait(-1), Process::WaitResult::kExited) << code;
    EXPECT_EQ(c.process.ExitCode(), code);
    EXPECT_EQ(c.process.TermSignal(), 0) << code;
    EXPECT_FALSE(c.process.Running());
  }
  std::string error;
  EXPECT_EQ(OS::RunProgram({Probe(), "exit", "9"}, &error), 9) << error;
}

TEST(Process, TerminatedChildReportsTheKillSignal) {
  Child c;
  ASSERT_TRUE(c.Start({"wait"}));
  int slices = 0;
  EXPECT_EQ(c.process.WaitInSlices(10, [&] { return ++slices < 3; }),
            Process::WaitResult::kTimedOut);
  EXPECT_EQ(slices, 3);
  EXPECT_TRUE(c.process.Running());
  EXPECT_TRUE(c.process.Terminate());
  EXPECT_EQ(c.process.TermSignal(), OS::KilledSignal());
  EXPECT_EQ(c.process.ExitCode(), -1);
  EXPECT_FALSE(c.process.Running());
  EXPECT_EQ(c.process.Wait(0), Process::WaitResult::kExited);
  EXPECT_TRUE(c.process.Terminate());  // already gone: still true
}

// The way out of another thread, which kills by process id alone.
TEST(Process, KillByIdReportsTheKilledSignal) {
  Child c;
  ASSERT_TRUE(c.Start({"wait"}));
  OS::KillProcess(c.process.Pid());
  ASSERT_EQ(c.process.Wait(10000), Process::WaitResult::kExited);
  EXPECT_EQ(c.process.TermSignal(), OS::KilledSignal());
  EXPECT_EQ(c.process.ExitCode(), -1);
}

TEST(Process, StartFailuresAreReported) {
  const std::vector<std::string> cases[] = {
      {}, {""}, {Probe() + ".missing"}, {"tarv-process-probe"}};  // no PATH lookup
  for (const auto& argv : cases) {
    Process p;
    std::string error;
    EXPECT_FALSE(p.Start(argv, &error)) << Process::Render(argv);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(p.Wait(0), Process::WaitResult::kFailed);
    EXPECT_FALSE(p.Terminate());
  }
  std::string error;
  EXPECT_EQ(OS::RunProgram({Probe() + ".missing"}, &error), -1);
}

}  // namespace
