#include "app/relaunch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/init.h>

#include <cstdlib>
#include <memory>

#include "app/command_line.h"
#include "os/elevation.h"
#include "os/messages.h"
#include "support/test_support.h"

namespace {

using TarvPatch::PatchSettings;

void Fill(PatchSettings* s, bool repair, std::vector<std::wstring> servers, const wchar_t* final,
          const wchar_t* current, const wchar_t* folder) {
  s->SetRepair(repair);
  for (const auto& server : servers) s->AddServer(server);
  s->SetFinalVersion(final);
  s->SetCurrentVersion(current);
  s->SetTargetDirectory(folder);
}

TEST(RelaunchParameters, StringAndVectorDescribeTheSameSettings) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  struct Case {
    bool repair;
    std::vector<std::wstring> servers;
    const wchar_t* final;
    const wchar_t* current;
    const wchar_t* folder;
    const wchar_t* parameters;
    std::vector<std::string> args;
  } cases[] = {
      {true,
       {L"a", L"b"},
       L"5",
       L"3",
       L"F",
       L"--admin --repair --server=\"a;b\" --final=5 3 \"F\"",
       {"--admin", "--repair", "--server=a;b", "--final=5", "3", "F"}},
      {false, {}, L"", L"3", L"F", L"--admin --final= 3 \"F\"", {"--admin", "--final=", "3", "F"}},
      {false,
       {L"ftp://h/p", L"", L"http://x"},
       L"",
       L"1.0",
       L"/opt/My Games/Tarv",
       L"--admin --server=\"ftp://h/p;;http://x\" --final= 1.0 \"/opt/My Games/Tarv\"",
       {"--admin", "--server=ftp://h/p;;http://x", "--final=", "1.0", "/opt/My Games/Tarv"}},
  };
  for (const auto& c : cases) {
    PatchSettings s;
    Fill(&s, c.repair, c.servers, c.final, c.current, c.folder);
    EXPECT_EQ(TarvPatch::BuildRelaunchParameters(s), c.parameters);
    EXPECT_EQ(TarvPatch::BuildRelaunchArguments(s), c.args);
  }
  // The logged string never shows a password; the elevated copy gets it.
  PatchSettings s;
  Fill(&s, false, {L"ftp://player:s3cret@h/p", L"http://x"}, L"", L"1", L"F");
  EXPECT_EQ(TarvPatch::BuildRelaunchParameters(s),
            L"--admin --server=\"ftp://player:***@h/p;http://x\" --final= 1 \"F\"");
  EXPECT_EQ(TarvPatch::BuildRelaunchArguments(s)[1], "--server=ftp://player:s3cret@h/p;http://x");
}

// What a parsed command line asks for, in one comparable record.
struct ReadBack {
  std::vector<std::wstring> servers;
  wxString final_version, current, target;
  bool repair, local, download, admin, launch_on_exit;
  std::wstring patch;
  uint64_t limit;
  bool operator==(const ReadBack&) const = default;
};

// Parses `args` (without the program path) into `s` and describes the result.
bool ReadArguments(std::vector<wxString> args, PatchSettings* s, ReadBack* out) {
  args.insert(args.begin(), wxString("/opt/tarv/tarv-patcher"));
  const TarvPatch::OptionTable table;
  TarvPatch::StartupRequest request;
  if (!TarvPatch::ReadCommandLine(args, table, *s, &request, [](const wxString&) {})) return false;
  *out = {s->GetServers(),         s->GetFinalVersion(), s->GetCurrentVersion(),
          s->GetTargetDirectory(), s->IsRepair(),        s->IsLocalFile(),
          s->IsDownload(),         request.admin,        request.launch_on_exit,
          s->GetManualPatchPath(), s->GetDownloadLimit()};
  return true;
}

// Every option a patching window can be started with reaches the elevated
// copy: its argument vector reads back to the same settings. The on-exit
// program is the one exception on purpose: the copy that asked for the
// elevation starts it once the elevated copy has ended, as the player.
TEST(RelaunchParameters, EveryOptionSurvivesTheElevatedRelaunch) {
  wxInitializer toolkit;
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  tarvtest::ScopedTempDir dir;
  const std::string list = dir.Sub("servers.txt");
  tarvtest::WriteFile(list, "ftp://a/p\nhttp://user:pw@b/q\n");
  const std::vector<std::vector<wxString>> cases = {
      {"1.0", "/g"},
      {"-s", "http://h/p", "1.0", "/opt/My Games/Tarv"},
      {"--server=ftp://u:secret@h/p;http://x", "-f", "1.2", "1.0", "/g"},
      {"-l", list, "1.0", "/g"},
      {"-l", list, "-s", "http://first", "1.0", "/g"},
      {"-p", "/srv/patches", "1.0", "/g"},
      {"--patch=/srv/one archive.zip", "-f", "2.0", "1.0", "/g"},
      {"-r", "-s", "http://h/p", "1.0", "/g"},
      {"--repair", "-p", "/srv/patches", "1.0", "/g"},
      {"--limit-rate", "500K", "-s", "http://h/p", "1.0", "/g"},
      {"--limit-rate=1G", "-p", "/srv/patches", "1.0", "/g"},
      {"-o", "/usr/games/tarv", "-s", "http://h/p", "1.0", "/g"},
      {"-r", "-f", "3", "--limit-rate=7", "-l", list, "-o", "x", "2", "/g"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    ReadBack first, elevated;
    PatchSettings given, relaunch;
    ASSERT_TRUE(ReadArguments(args, &given, &first));
    std::vector<wxString> relaunched;
    for (const std::string& arg : TarvPatch::BuildRelaunchArguments(given)) {
      relaunched.push_back(wxString::FromUTF8(arg));
    }
    ASSERT_TRUE(ReadArguments(relaunched, &relaunch, &elevated));
    EXPECT_TRUE(elevated.admin);
    EXPECT_FALSE(elevated.launch_on_exit);
    elevated.admin = first.admin;
    elevated.launch_on_exit = first.launch_on_exit;
    EXPECT_TRUE(elevated == first);
    EXPECT_EQ(elevated.limit, first.limit);
    EXPECT_EQ(elevated.patch, first.patch);
    EXPECT_EQ(elevated.servers, first.servers);
  }
}

// Standard output of the test process, captured while alive (the system
// log writes there).
class CapturedStdout {
 public:
  explicit CapturedStdout(const std::string& path) : path_(path) {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  ~CapturedStdout() { Release(); }
  std::string Release() {
    if (saved_ >= 0) {
      fflush(stdout);
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
    return tarvtest::ReadFile(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// A replaced launcher that records each start and either runs the elevated
// program (exit 0 from the prompt) or ends like a declined prompt.
class RelaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
    launcher_ = dir_.Sub("launcher");
    tarvtest::WriteFile(launcher_,
                        "#!/bin/sh\n"
                        "echo start >> \"$LAUNCHES\"\n"
                        "[ -n \"$DECLINE\" ] && exit \"$DECLINE\"\n"
                        "exec \"$@\"\n");
    program_ = dir_.Sub("patcher");
    tarvtest::WriteFile(program_,
                        "#!/bin/sh\n"
                        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$ELEVATED\"\n"
                        "exit 3\n");
    chmod(launcher_.c_str(), 0755);
    chmod(program_.c_str(), 0755);
    setenv(OS::Elevation::kLauncherVariable, launcher_.c_str(), 1);
    setenv("LAUNCHES", dir_.Sub("launches").c_str(), 1);
    setenv("ELEVATED", dir_.Sub("elevated").c_str(), 1);
    unsetenv("DECLINE");
    Fill(&settings_, true, {L"a", L"b"}, L"5", L"3", L"F");
  }
  void TearDown() override {
    unsetenv(OS::Elevation::kLauncherVariable);
    unsetenv("DECLINE");
  }

  // Runs RelaunchElevated with access as given, recording what happened in
  // order.
  bool Relaunch(bool access, const std::string& program, std::vector<std::string>* events) {
    TarvPatch::RelaunchHooks hooks;
    hooks.has_access = [&](const std::wstring& folder) {
      events->push_back("access " + wxString(folder).utf8_string());
      return access;
    };
    hooks.show_refusal = [&] { events->push_back("refusal"); };
    hooks.show_box = [events](const std::wstring& text, const std::wstring& caption) {
      events->push_back("box " + wxString(caption).utf8_string() + ": " +
                        wxString(text).utf8_string());
    };
    hooks.launch_on_exit = [&] {
      events->push_back(tarvtest::FileExists(dir_.Sub("elevated")) ? "on-exit after elevated"
                                                                   : "on-exit");
    };
    return TarvPatch::RelaunchElevated(program, settings_, hooks);
  }

  tarvtest::ScopedTempDir dir_;
  std::string launcher_, program_;
  PatchSettings settings_;
};

TEST_F(RelaunchTest, AccessGrantedStartsNothing) {
  std::vector<std::string> events;
  EXPECT_FALSE(Relaunch(true, program_, &events));
  EXPECT_EQ(events, std::vector<std::string>{"access F"});
  EXPECT_FALSE(tarvtest::FileExists(dir_.Sub("launches")));
}

TEST_F(RelaunchTest, ElevatedCopyRunsWithAdminThenOnExitProgram) {
  std::vector<std::string> events;
  CapturedStdout out(dir_.Sub("stdout"));
  EXPECT_TRUE(Relaunch(false, program_, &events));
  std::string logged = out.Release();
  EXPECT_NE(logged.find("parm: --admin --repair --server=\"a;b\" --final=5 3 \"F\"\n"),
            std::string::npos)
      << logged;
  EXPECT_EQ(events, (std::vector<std::string>{"access F", "on-exit after elevated"}));
  EXPECT_EQ(tarvtest::ReadFile(dir_.Sub("launches")), "start\n");
  EXPECT_EQ(tarvtest::ReadFile(dir_.Sub("elevated")),
            "--admin\n--repair\n--server=a;b\n--final=5\n3\nF\n");
}

TEST_F(RelaunchTest, DeclinedOrMissingLauncherIsNamed) {
  const std::string could_not_run =
      "box Requires Administrator Privileges: The elevation prompt was declined, or pkexec "
      "could not run the program: " +
      program_;
  struct Case {
    const char* what;
    const char* decline;
    std::string launcher;  // replaces the test launcher when set
    std::string told;
  } cases[] = {
      {"dismissed, or the program could not be run", "126", "", could_not_run},
      {"authentication failed, or no such program", "127", "", could_not_run},
      {"launcher cannot start", nullptr, dir_.Sub("missing-launcher"), "refusal"},
      {"no pkexec on this system", nullptr, "-",
       "box Requires Administrator Privileges: Elevation is not available on this system: "
       "pkexec was not found.\nPlease start the patcher as an administrator."},
  };
  const std::string empty = dir_.Sub("empty");
  tarvtest::MakeDirs(empty);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.decline)
      setenv("DECLINE", c.decline, 1);
    else
      unsetenv("DECLINE");
    std::unique_ptr<tarvtest::ScopedEnv> path;
    if (c.launcher == "-") {
      unsetenv(OS::Elevation::kLauncherVariable);
      path = std::make_unique<tarvtest::ScopedEnv>("PATH", empty);
    } else if (!c.launcher.empty()) {
      setenv(OS::Elevation::kLauncherVariable, c.launcher.c_str(), 1);
    }
    std::vector<std::string> events;
    EXPECT_TRUE(Relaunch(false, program_, &events));
    EXPECT_EQ(events, (std::vector<std::string>{"access F", c.told, "on-exit"}));
    EXPECT_FALSE(tarvtest::FileExists(dir_.Sub("elevated")));
    setenv(OS::Elevation::kLauncherVariable, launcher_.c_str(), 1);
  }
}

// Problems no elevated copy could mend are named, and nothing is started.
TEST_F(RelaunchTest, ProblemsElevationCannotMendStartNothing) {
  for (bool admin : {false, true}) {
    SCOPED_TRACE(admin ? "elevated copy" : "first copy");
    std::vector<std::string> events;
    TarvPatch::RelaunchHooks hooks;
    hooks.check_access = [](const std::wstring& folder) {
      return TarvPatch::AccessCheck{TarvPatch::AccessProblem::kNoBinaries, folder};
    };
    hooks.show_refusal = [&] { events.push_back("refusal"); };
    hooks.show_box = [&](const std::wstring& text, const std::wstring& caption) {
      events.push_back(wxString(caption).utf8_string() + ": " + wxString(text).utf8_string());
    };
    hooks.launch_on_exit = [&] { events.push_back("on-exit"); };
    EXPECT_FALSE(TarvPatch::CheckInstallPrivileges(admin, settings_, hooks));
    std::vector<std::string> expected = {
        "Cannot Patch This Installation: The installation folder has no Binaries folder: F"};
    if (!admin) expected.push_back("on-exit");
    EXPECT_EQ(events, expected);
    EXPECT_FALSE(tarvtest::FileExists(dir_.Sub("launches")));
  }
}

TEST(RunningProgramPath, IsAbsoluteAndNamesThisProgram) {
  std::string path = TarvPatch::RunningProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_NE(path.find("tarv_app_tests"), std::string::npos) << path;
}

}  // namespace

namespace {

TEST_F(RelaunchTest, StartupPrivilegeStep) {
  struct Case {
    const char* what;
    bool admin;
    bool access;
    bool goes_on;
    std::vector<std::string> events;
    const char* launches;
  } cases[] = {
      {"elevated copy with access", true, true, true, {"access F"}, nullptr},
      {"elevated copy without access never relaunches",
       true,
       false,
       false,
       {"access F", "refusal"},
       nullptr},
      {"first copy with access", false, true, true, {"access F"}, nullptr},
      {"first copy without access, prompt declined",
       false,
       false,
       false,
       {"access F", "box", "on-exit"},
       "start\n"},
  };
  setenv("DECLINE", "126", 1);  // the test program itself must not be started
  for (const auto& c : cases) {
    unlink(dir_.Sub("launches").c_str());
    std::vector<std::string> events;
    TarvPatch::RelaunchHooks hooks;
    hooks.has_access = [&](const std::wstring& folder) {
      events.push_back("access " + wxString(folder).utf8_string());
      return c.access;
    };
    hooks.show_refusal = [&] { events.push_back("refusal"); };
    hooks.show_box = [&](const std::wstring&, const std::wstring&) { events.push_back("box"); };
    hooks.launch_on_exit = [&] { events.push_back("on-exit"); };
    EXPECT_EQ(TarvPatch::CheckInstallPrivileges(c.admin, settings_, hooks), c.goes_on) << c.what;
    EXPECT_EQ(events, c.events) << c.what;
    EXPECT_EQ(tarvtest::FileExists(dir_.Sub("launches")), c.launches != nullptr) << c.what;
  }
}

}  // namespace
