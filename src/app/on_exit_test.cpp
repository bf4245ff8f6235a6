#include "app/on_exit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "os/messages.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

// Waits for a child that LaunchOnExitProgram may already have reaped.
void WaitForChild(pid_t pid) {
  int status = 0;
  pid_t got = waitpid(pid, &status, 0);
  EXPECT_TRUE(got == pid || (got < 0 && errno == ECHILD));
}

class OnExitTest : public ::testing::Test {
 protected:
  void SetUp() override { TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish); }

  OnExitResult Launch(bool launch, const wxString& command, pid_t* pid = nullptr) {
    m_errors.clear();
    return LaunchOnExitProgram(
        launch, command, [this](const wxString& text) { m_errors.push_back(text); }, pid);
  }

  tarvtest::ScopedTempDir m_dir;
  std::vector<wxString> m_errors;
};

TEST_F(OnExitTest, NothingStartsWithoutACommandOrAfterACancel) {
  struct Case {
    bool launch;
    const char* command;
  };
  std::string marker = m_dir.Sub("ran");
  std::string touch = "/usr/bin/touch " + marker;
  const Case cases[] = {{true, ""}, {true, "   "}, {false, touch.c_str()}};
  for (const Case& c : cases) {
    EXPECT_EQ(Launch(c.launch, c.command), OnExitResult::kNothingToStart) << c.command;
    EXPECT_TRUE(m_errors.empty());
  }
  EXPECT_FALSE(tarvtest::FileExists(marker));
}

TEST_F(OnExitTest, CommandLineIsSplitLikeAShellWithoutOne) {
  struct Case {
    const char* arguments;  // after the program
    const char* received;   // each argument as the program saw it, then "|"
  };
  const Case cases[] = {
      {"a b", "a|b|"},
      {"'a b' \"c d\"", "a b|c d|"},
      {"x\\ y", "x y|"},
      {"'$HOME' ';' '&&' '>' '*'", "$HOME|;|&&|>|*|"},
  };
  for (const Case& c : cases) {
    std::string out = m_dir.Sub("args.txt");
    tarvtest::RemoveTree(out);
    wxString command =
        wxString::Format("/bin/sh -c 'for a in \"$@\"; do printf \"%%s|\" \"$a\"; done > %s' sh %s",
                         out, c.arguments);
    pid_t pid = -1;
    ASSERT_EQ(Launch(true, command, &pid), OnExitResult::kStarted) << command;
    WaitForChild(pid);
    EXPECT_EQ(tarvtest::ReadFile(out), c.received) << command;
  }
}

TEST_F(OnExitTest, ProgramIsFoundThroughPath) {
  std::string marker = m_dir.Sub("ran");
  pid_t pid = -1;
  ASSERT_EQ(Launch(true, wxString::FromUTF8("touch " + marker), &pid), OnExitResult::kStarted);
  WaitForChild(pid);
  EXPECT_TRUE(tarvtest::FileExists(marker));
  EXPECT_EQ(FindProgram("sh").back(), 'h');
  EXPECT_EQ(FindProgram("/x/y"), "/x/y");
  EXPECT_EQ(FindProgram("no-such-program-anywhere"), "");
}

TEST_F(OnExitTest, ARelativeProgramIsFoundFromTheStartFolder) {
  struct {
    const char* name;
    const char* start;
    const char* found;
  } cases[] = {
      {"bin/game", "/home/p", "/home/p/bin/game"}, {"./game", "/home/p", "/home/p/./game"},
      {"/opt/game", "/home/p", "/opt/game"},       {"bin/game", "", "bin/game"},
      {"no-such-program-anywhere", "/home/p", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FindProgram(c.name, c.start), c.found) << c.name;

  // Started from another folder than the current one.
  const std::string marker = m_dir.Sub("ran");
  tarvtest::WriteFile(m_dir.Sub("tools/run.sh"), "#!/bin/sh\ntouch '" + marker + "'\n");
  ASSERT_EQ(chmod(m_dir.Sub("tools/run.sh").c_str(), 0755), 0);
  pid_t pid = -1;
  m_errors.clear();
  ASSERT_EQ(LaunchOnExitProgram(
                true, "tools/run.sh", [this](const wxString& text) { m_errors.push_back(text); },
                &pid, wxString::FromUTF8(m_dir.path())),
            OnExitResult::kStarted);
  WaitForChild(pid);
  EXPECT_TRUE(tarvtest::FileExists(marker));
  EXPECT_TRUE(m_errors.empty());
}

TEST_F(OnExitTest, AProgramThatCannotStartIsReported) {
  tarvtest::WriteFile(m_dir.Sub("not-executable"), "#!/bin/sh\n");
  std::string not_executable = m_dir.Sub("not-executable");
  for (std::string command :
       {std::string("/no/such/program"), std::string("no-such-program-anywhere"), not_executable}) {
    EXPECT_EQ(Launch(true, wxString::FromUTF8(command)), OnExitResult::kFailed) << command;
    ASSERT_EQ(m_errors.size(), 1u) << command;
    EXPECT_TRUE(m_errors[0].StartsWith("Error creating process, code: ")) << m_errors[0];
    EXPECT_GT(m_errors[0].length(), wxString("Error creating process, code: ").length());
  }
}

// The patcher ends without waiting for the program to finish.
TEST_F(OnExitTest, TheLaunchedProgramOutlivesTheWait) {
  std::string fifo = m_dir.Sub("gate");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = -1;
  ASSERT_EQ(Launch(true, wxString::FromUTF8("/bin/sh -c 'read x < " + fifo + "'"), &pid),
            OnExitResult::kStarted);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);  // still running
  int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "go\n", 3), 3);
  close(fd);
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
}

}  // namespace
}  // namespace TarvPatch
