#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "os/elevation.h"
#include "support/test_support.h"

namespace {

using tarvtest::ScopedEnv;

// A stand-in for pkexec: records its arguments one per line, then either
// ends with the code in FAKE_LAUNCHER_EXIT or runs the rest of its command
// line, as pkexec does after a granted prompt.
class ElevationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    launcher_ = dir_.Sub("fake launcher");
    tarvtest::WriteFile(launcher_,
                        "#!/bin/sh\n"
                        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$FAKE_LAUNCHER_LOG\"\n"
                        "[ -n \"$FAKE_LAUNCHER_EXIT\" ] && exit \"$FAKE_LAUNCHER_EXIT\"\n"
                        "exec \"$@\"\n");
    program_ = dir_.Sub("program");
    tarvtest::WriteFile(program_,
                        "#!/bin/sh\n"
                        "{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo;\n"
                        "  echo \"data=$XDG_DATA_HOME\"; echo \"user=$OBELK_USER_REGISTRY\"; }"
                        " > \"$FAKE_PROGRAM_LOG\"\n"
                        "exit 7\n");
    chmod(launcher_.c_str(), 0755);
    chmod(program_.c_str(), 0755);
  }

  tarvtest::ScopedTempDir dir_;
  std::string launcher_, program_;
};

TEST_F(ElevationTest, CommandIsLauncherEnvProgramArguments) {
  std::string variable = "'" + launcher_ + "' --keep \"two words\"";
  std::string home = "/home/ann";
  ScopedEnv launcher(OS::Elevation::kLauncherVariable, &variable);
  ScopedEnv h("HOME", &home);
  ScopedEnv data("XDG_DATA_HOME", nullptr);
  std::vector<std::string> argv =
      OS::Elevation::Command("/opt/tarv/tarv-patcher", {"--admin", "3"});
  ASSERT_GE(argv.size(), 7u);
  EXPECT_EQ(argv[0], launcher_);
  EXPECT_EQ(argv[1], "--keep");
  EXPECT_EQ(argv[2], "two words");
  EXPECT_EQ(argv[3], "/usr/bin/env");
  EXPECT_EQ(argv[argv.size() - 3], "/opt/tarv/tarv-patcher");
  EXPECT_EQ(argv[argv.size() - 2], "--admin");
  EXPECT_EQ(argv.back(), "3");
  std::vector<std::string> carried(argv.begin() + 4, argv.end() - 3);
  EXPECT_NE(std::find(carried.begin(), carried.end(), "XDG_DATA_HOME=/home/ann/.local/share"),
            carried.end());
  EXPECT_TRUE(std::any_of(carried.begin(), carried.end(), [](const std::string& e) {
    return e.rfind("OBELK_USER_REGISTRY=/", 0) == 0;
  }));
}

TEST_F(ElevationTest, OutcomeFollowsTheLauncher) {
  std::string log = dir_.Sub("launcher.log"), program_log = dir_.Sub("program.log");
  std::string data = "/srv/data", quoted = "'" + launcher_ + "'";
  ScopedEnv launcher(OS::Elevation::kLauncherVariable, &quoted);
  ScopedEnv l("FAKE_LAUNCHER_LOG", &log);
  ScopedEnv p("FAKE_PROGRAM_LOG", &program_log);
  ScopedEnv d("XDG_DATA_HOME", &data);
  struct Case {
    const char* launcher_exit;
    OS::Elevation::Outcome outcome;
    int exit_code;
  } cases[] = {
      {nullptr, OS::Elevation::Outcome::kFinished, 7},
      {"126", OS::Elevation::Outcome::kDeclined, 126},
      {"127", OS::Elevation::Outcome::kDeclined, 127},
      {"0", OS::Elevation::Outcome::kFinished, 0},
  };
  for (const auto& c : cases) {
    std::string code = c.launcher_exit ? c.launcher_exit : "";
    ScopedEnv e("FAKE_LAUNCHER_EXIT", c.launcher_exit ? &code : nullptr);
    unlink(program_log.c_str());
    int exit_code = -1;
    std::string error;
    EXPECT_EQ(OS::Elevation::Run(program_, {"--admin", "a b", "\"q\""}, &exit_code, &error),
              c.outcome)
        << code << error;
    EXPECT_EQ(exit_code, c.exit_code) << code;
    EXPECT_EQ(tarvtest::FileExists(program_log), c.launcher_exit == nullptr);
  }
  // The elevated program got its arguments unchanged and the user's folders.
  ScopedEnv e("FAKE_LAUNCHER_EXIT", nullptr);
  int exit_code = -1;
  std::string error;
  ASSERT_EQ(OS::Elevation::Run(program_, {"--admin", "a b", "\"q\""}, &exit_code, &error),
            OS::Elevation::Outcome::kFinished);
  std::string seen = tarvtest::ReadFile(program_log);
  EXPECT_EQ(seen.substr(0, seen.find('\n')), "[--admin][a b][\"q\"]");
  EXPECT_NE(seen.find("data=/srv/data\n"), std::string::npos) << seen;
}

TEST_F(ElevationTest, MissingLauncherIsNotStarted) {
  std::string variable = dir_.Sub("no such launcher");
  ScopedEnv launcher(OS::Elevation::kLauncherVariable, &variable);
  int exit_code = -1;
  std::string error;
  EXPECT_EQ(OS::Elevation::Run(program_, {}, &exit_code, &error),
            OS::Elevation::Outcome::kNotStarted);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(exit_code, -1);

  std::string empty_path = dir_.Sub("empty");
  tarvtest::MakeDirs(empty_path);
  ScopedEnv no_launcher(OS::Elevation::kLauncherVariable, nullptr);
  ScopedEnv path("PATH", &empty_path);
  EXPECT_EQ(OS::Elevation::Run(program_, {}, &exit_code, &error),
            OS::Elevation::Outcome::kNoLauncher);
  EXPECT_NE(error.find("pkexec"), std::string::npos) << error;
}

}  // namespace

namespace {

TEST(PolkitAction, ShippedActionNamesTheInstalledPatcher) {
  tarvtest::ScopedTempDir actions;
  std::string text = tarvtest::ReadFile(tarvtest::SourceDir() +
                                        "/resources/polkit/org.obelk.tarv.patcher.policy.in");
  const std::string placeholder = "@TARV_PATCHER_PATH@";
  ASSERT_NE(text.find(placeholder), std::string::npos);
  // As configure_file does: every occurrence.
  for (size_t at; (at = text.find(placeholder)) != std::string::npos;) {
    text.replace(at, placeholder.size(), "/usr/bin/tarv-patcher");
  }
  EXPECT_NE(text.find("org.freedesktop.policykit.exec.allow_gui\">true<"), std::string::npos);
  tarvtest::WriteFile(actions.Sub("org.obelk.tarv.patcher.policy"), text);
  tarvtest::WriteFile(actions.Sub("other.txt"),
                      "\"org.freedesktop.policykit.exec.path\">/opt/x</annotate>");

  EXPECT_TRUE(OS::HasPolkitAction("/usr/bin/tarv-patcher", actions.path()));
  EXPECT_FALSE(OS::HasPolkitAction("/usr/bin/tarv", actions.path()));
  EXPECT_FALSE(OS::HasPolkitAction("/opt/x", actions.path()));  // not a .policy file
  EXPECT_FALSE(OS::HasPolkitAction("", actions.path()));
  EXPECT_FALSE(OS::HasPolkitAction("/usr/bin/tarv-patcher", actions.Sub("missing")));

  std::vector<std::string> direct =
      OS::Elevation::CommandFor({"/usr/bin/pkexec"}, "/usr/bin/tarv-patcher", {"--admin"}, true);
  EXPECT_EQ(direct,
            (std::vector<std::string>{"/usr/bin/pkexec", "/usr/bin/tarv-patcher", "--admin"}));
  std::vector<std::string> wrapped =
      OS::Elevation::CommandFor({"/usr/bin/pkexec"}, "/opt/t/tarv-patcher", {"--admin"}, false);
  ASSERT_GE(wrapped.size(), 4u);
  EXPECT_EQ(wrapped[1], "/usr/bin/env");
  EXPECT_EQ(wrapped[wrapped.size() - 2], "/opt/t/tarv-patcher");
}

TEST(AdoptInvokingUser, PointsAtTheInvokingUsersFolders) {
  std::string uid = "65534";
  ScopedEnv pkexec("PKEXEC_UID", &uid);
  ScopedEnv user("OBELK_USER_REGISTRY", nullptr);
  ScopedEnv data("XDG_DATA_HOME", nullptr);
  OS::Elevation::AdoptInvokingUser();
  if (getuid() != 0) {
    // Only a copy running as root was started by pkexec.
    EXPECT_EQ(getenv("OBELK_USER_REGISTRY"), nullptr);
    return;
  }
  passwd* nobody = getpwuid(65534);
  ASSERT_NE(nobody, nullptr);
  EXPECT_EQ(std::string(getenv("OBELK_USER_REGISTRY")),
            std::string(nobody->pw_dir) + "/.config/obelk/registry.conf");
  EXPECT_EQ(std::string(getenv("XDG_DATA_HOME")), std::string(nobody->pw_dir) + "/.local/share");

  // What the user set explicitly is kept.
  std::string mine = "/srv/hive.conf";
  ScopedEnv explicit_hive("OBELK_USER_REGISTRY", &mine);
  OS::Elevation::AdoptInvokingUser();
  EXPECT_EQ(std::string(getenv("OBELK_USER_REGISTRY")), mine);
}

}  // namespace
