// The patcher without the rights it needs restarts itself through the
// elevation launcher (replaced here by a script that records each start and
// either runs the elevated copy or declines). Needs a display: the refusal
// box is found and closed with xdotool, as a player would close it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>
#include <string>

#include "os/process.h"
#include "support/test_support.h"

namespace {

const char kCaption[] = "Requires Administrator Privileges";

class RelaunchE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getenv("DISPLAY"), nullptr) << "run under a display (xvfb-run -a)";
    tarvtest::WriteFile(dir_.Sub("launcher"),
                        "#!/bin/sh\n"
                        "echo \"start $$ $*\" >> \"$LAUNCHES\"\n"
                        "[ -n \"$DECLINE\" ] && exit \"$DECLINE\"\n"
                        "exec \"$@\"\n");
    chmod(dir_.Sub("launcher").c_str(), 0755);
    // A hive below a plain file cannot be created or opened, not even by root.
    tarvtest::WriteFile(dir_.Sub("blocker"), "");
    tarvtest::MakeDirs(dir_.Sub("install/Binaries/LauncherApp"));
  }

  // Starts the first instance; its standard output goes to "stdout".
  void StartPatcher(const std::string& decline) {
    std::vector<std::string> env = {
        "TARV_ELEVATION_LAUNCHER=" + dir_.Sub("launcher"),
        "LAUNCHES=" + dir_.Sub("launches"),
        "DECLINE=" + decline,
        "OBELK_MACHINE_REGISTRY=" + dir_.Sub("blocker/registry.conf"),
        "OBELK_USER_REGISTRY=" + dir_.Sub("user.conf"),
        "TARV_PATCHER_LOG=" + dir_.Sub("session.log"),
        "TEMP=" + dir_.Sub("temp"),
    };
    patcher_.RedirectOutput(dir_.Sub("stdout"), dir_.Sub("stderr"));
    std::string error;
    ASSERT_TRUE(
        patcher_.Start({tarvtest::BinDir() + "/tarv-patcher", "3", dir_.Sub("install"),
                        "--server=a;b", "--final=5", "--list=" + dir_.Sub("none.txt"), "--onexit",
                        "/bin/cp " + dir_.Sub("session.log") + " " + dir_.Sub("on-exit-saw")},
                       &error, "", env))
        << error;
  }

  // The process id the launcher ran the elevated copy as (it execs in place).
  pid_t ElevatedPid() {
    std::string text;
    while (text.find('\n') == std::string::npos) {
      usleep(20 * 1000);
      if (tarvtest::FileExists(dir_.Sub("launches")))
        text = tarvtest::ReadFile(dir_.Sub("launches"));
    }
    std::istringstream line(text);
    std::string word;
    pid_t pid = 0;
    line >> word >> pid;
    return pid;
  }

  // Waits for the refusal box of process `pid` and presses Return in it.
  void CloseRefusalBox(pid_t pid) {
    tarvtest::RunResult found =
        tarvtest::Run({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--pid",
                       std::to_string(pid), "--name", std::string("^") + kCaption + "$"});
    ASSERT_EQ(found.exit_code, 0) << found.err;
    std::string window = found.out.substr(0, found.out.find('\n'));
    tarvtest::RunResult pressed = tarvtest::Run(
        {"/usr/bin/xdotool", "windowfocus", "--sync", window, "key", "--clearmodifiers", "Return"});
    ASSERT_EQ(pressed.exit_code, 0) << pressed.err;
  }

  std::string BoxLine() {
    return std::string("{\"box\":{\"caption\":\"") + kCaption +
           "\",\"text\":\"The current system user account does not have sufficient privileges "
           "to install necessary Tarv patches.\\nPlease login with Administrative access and try "
           "again.\"}}\n";
  }

  tarvtest::ScopedTempDir dir_;
  OS::Process patcher_;
};

TEST_F(RelaunchE2eTest, ElevatedCopyGetsAdminNeverRelaunchesAndOnExitFollowsIt) {
  StartPatcher("");
  // The elevated copy lacks access as well: with --admin it shows the
  // refusal instead of asking for elevation again.
  CloseRefusalBox(ElevatedPid());
  ASSERT_EQ(patcher_.Wait(-1), OS::Process::WaitResult::kExited);
  // The elevated copy could not patch either; its code is the first one's.
  EXPECT_EQ(patcher_.ExitCode(), 1);

  std::string launches = tarvtest::ReadFile(dir_.Sub("launches"));
  EXPECT_EQ(std::count(launches.begin(), launches.end(), '\n'), 1) << launches;
  EXPECT_NE(
      launches.find("/tarv-patcher --admin --server=a;b --final=5 3 " + dir_.Sub("install") + "\n"),
      std::string::npos)
      << launches;
  EXPECT_NE(launches.find(" /usr/bin/env "), std::string::npos);
  EXPECT_EQ(tarvtest::ReadFile(dir_.Sub("session.log")), BoxLine());
  // The first instance started its on-exit program after the elevated copy
  // had shown its box and ended; the elevated copy got no --onexit.
  EXPECT_EQ(tarvtest::ReadFile(dir_.Sub("on-exit-saw")), BoxLine());
  EXPECT_NE(
      tarvtest::ReadFile(dir_.Sub("stdout"))
          .find("parm: --admin --server=\"a;b\" --final=5 3 \"" + dir_.Sub("install") + "\"\n"),
      std::string::npos);
}

TEST_F(RelaunchE2eTest, DeclinedPromptIsNamedThenOnExit) {
  StartPatcher("126");
  CloseRefusalBox(patcher_.Pid());
  ASSERT_EQ(patcher_.Wait(-1), OS::Process::WaitResult::kExited);
  EXPECT_EQ(patcher_.ExitCode(), 1);  // no session could run
  std::string launches = tarvtest::ReadFile(dir_.Sub("launches"));
  EXPECT_EQ(std::count(launches.begin(), launches.end(), '\n'), 1) << launches;
  char real[PATH_MAX];
  ASSERT_NE(realpath((tarvtest::BinDir() + "/tarv-patcher").c_str(), real), nullptr);
  const std::string line = std::string("{\"box\":{\"caption\":\"") + kCaption +
                           "\",\"text\":\"The elevation prompt was declined, or pkexec could "
                           "not run the program: " +
                           real + "\"}}\n";
  EXPECT_EQ(tarvtest::ReadFile(dir_.Sub("session.log")), line);
  EXPECT_EQ(tarvtest::ReadFile(dir_.Sub("on-exit-saw")), line);
}

}  // namespace
