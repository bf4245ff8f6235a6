#include <gtest/gtest.h>

#include <filesystem>

#include "os/pipe.h"
#include "os/process.h"
#include "os/this_process.h"

namespace {

TEST(ThisProcess, ExecutablePathNamesThisTestProgram) {
  const std::string path = OS::ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(std::filesystem::path(path).is_absolute());
  EXPECT_EQ(std::filesystem::path(path).filename(), "tarv_os_tests");
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

// The exit status is the code's low byte, and nothing registered to run at
// exit runs.
TEST(ThisProcessDeathTest, ExitNowEndsWithTheCodesLowByte) {
  for (int code : {0, 3, 255, -1, 256 + 7}) {
    EXPECT_EXIT(
        {
          std::atexit([] { OS::WriteStandardError("atexit ran\n"); });
          OS::WriteStandardError("ending\n");
          OS::ExitNow(code);
        },
        ::testing::ExitedWithCode(code & 0xff), "^ending\n$")
        << code;
  }
}

// A child's line on the pipe reaches the parent; a silent child, or a
// pipe never handed on, leaves nothing; the limit holds.
TEST(Pipe, CarriesWhatTheChildWrote) {
  struct Row {
    const char* script;
    size_t limit;
    std::string wanted;
  };
  const Row rows[] = {
      {"printf 'digest 12\\n' >&3", 1024, "digest 12\n"},
      {"true", 1024, ""},
      {"head -c 5000 /dev/zero >&3", 1024, std::string(1024, '\0')},
  };
  for (const Row& row : rows) {
    OS::Pipe pipe;
    ASSERT_TRUE(pipe.Open());
    OS::Process child;
    child.PassDescriptor(pipe.WriteEnd());
    std::string error;
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", row.script}, &error)) << error;
    pipe.CloseWriteEnd();
    ASSERT_EQ(child.Wait(10000), OS::Process::WaitResult::kExited);
    EXPECT_EQ(pipe.ReadAvailable(row.limit), row.wanted) << row.script;
    EXPECT_EQ(pipe.ReadAvailable(row.limit), "");  // the read end is closed
  }
}

TEST(Process, KillProcessEndsTheChildWithTheKilledSignal) {
  OS::Process child;
  std::string error;
  ASSERT_TRUE(child.Start({"/bin/sleep", "30"}, &error)) << error;
  OS::KillProcess(child.Pid());
  ASSERT_EQ(child.Wait(10000), OS::Process::WaitResult::kExited);
  EXPECT_EQ(child.TermSignal(), OS::KilledSignal());
  EXPECT_EQ(child.ExitCode(), -1);
}

}  // namespace
