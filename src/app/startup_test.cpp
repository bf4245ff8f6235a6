#include "app/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/init.h>
#include <wx/msgout.h>

#include <climits>
#include <string>
#include <vector>

#include "app/captured_output_for_tests.h"
#include "os/messages.h"
#include "session/patch_settings.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

std::string CurrentFolder() {
  char cwd[PATH_MAX];
  return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
}

// Runs the sequence from a start folder with the program in another folder,
// recording the steps and where the process stood at each of them.
class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_oldCwd = CurrentFolder();
    m_previous = wxMessageOutput::Set(&m_output);
    tarvtest::MakeDirs(m_dir.Sub("start"));
    tarvtest::MakeDirs(m_dir.Sub("program"));
    m_program = m_dir.Sub("program/tarv-patcher");
    setenv("OBELK_MACHINE_REGISTRY", m_dir.Sub("machine.conf").c_str(), 1);
    ASSERT_EQ(chdir(m_dir.Sub("start").c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(m_oldCwd.c_str()), 0);
    unsetenv("OBELK_MACHINE_REGISTRY");
    wxMessageOutput::Set(m_previous);
    TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  }

  bool Run(std::vector<wxString> args, bool privileges = true, bool window = true) {
    args.insert(args.begin(), wxString::FromUTF8(m_program));
    m_steps.clear();
    m_settings = std::make_unique<PatchSettings>();
    m_state = StartupState();
    StartupSteps steps;
    steps.set_up_crash_dumps = [this] { m_steps.push_back("crash"); };
    steps.check_privileges = [this, privileges](const StartupRequest&) {
      m_steps.push_back("privileges in " + CurrentFolder());
      return privileges;
    };
    steps.create_window = [this, window] {
      m_steps.push_back("window");
      return window;
    };
    steps.report_error = [this](const wxString& text) { m_errors.push_back(text); };
    return RunStartup(args, *m_settings, &m_state, steps);
  }

  wxInitializer m_wx;
  tarvtest::ScopedTempDir m_dir;
  std::string m_oldCwd;
  std::string m_program;
  CapturedOutput m_output;
  wxMessageOutput* m_previous = nullptr;
  std::vector<std::string> m_steps;
  std::vector<wxString> m_errors;
  std::unique_ptr<PatchSettings> m_settings;
  StartupState m_state;
};

TEST_F(StartupTest, StepsRunInOrderAndAFailedStepEndsStartUp) {
  std::string in_program = "privileges in " + m_dir.Sub("program");
  struct Case {
    const char* name;
    std::vector<wxString> args;
    bool privileges;
    bool window;
    bool result;
    std::vector<std::string> steps;
  };
  const Case cases[] = {
      {"normal", {"1.0", "/g"}, true, true, true, {"crash", in_program, "window"}},
      {"refused command line", {"1.0"}, true, true, false, {"crash"}},
      {"refused privileges", {"1.0", "/g"}, false, true, false, {"crash", in_program}},
      {"no window", {"1.0", "/g"}, true, false, false, {"crash", in_program, "window"}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(chdir(m_dir.Sub("start").c_str()), 0);
    EXPECT_EQ(Run(c.args, c.privileges, c.window), c.result) << c.name;
    EXPECT_EQ(m_steps, c.steps) << c.name;
  }
}

TEST_F(StartupTest, RelativeListIsReadFromTheStartFolderBeforeTheFolderChanges) {
  tarvtest::WriteFile(m_dir.Sub("start/servers.txt"), "ftp://one/\n\nftp://two/");
  ASSERT_TRUE(Run({"--list", "servers.txt", "1.0", "/g"}));
  EXPECT_EQ(m_settings->GetServers(),
            (std::vector<std::wstring>{L"ftp://one/", L"", L"ftp://two/"}));
  EXPECT_TRUE(m_settings->IsDownload());
  EXPECT_TRUE(m_errors.empty());
  EXPECT_EQ(CurrentFolder(), m_dir.Sub("program"));
  // Relative to the program's folder it would not have been found.
  ASSERT_EQ(chdir(m_dir.Sub("start").c_str()), 0);
  tarvtest::RemoveTree(m_dir.Sub("start/servers.txt"));
  tarvtest::WriteFile(m_dir.Sub("program/servers.txt"), "ftp://wrong/\n");
  ASSERT_TRUE(Run({"--list", "servers.txt", "1.0", "/g"}));
  EXPECT_TRUE(m_settings->GetServers().empty());
  EXPECT_EQ(m_errors.back(), "Failed to read list of servers from servers.txt");
}

TEST_F(StartupTest, QuotedFolderEndingInABackslashLosesOnlyTheQuote) {
  ASSERT_TRUE(Run({"1.0", "C:\\Games\\Tarv\\\""}));
  // A drive path is relative on Linux: it is then taken below the start folder.
  EXPECT_TRUE(m_settings->GetTargetDirectory().EndsWith("C:\\Games\\Tarv\\"))
      << m_settings->GetTargetDirectory();
  EXPECT_EQ(m_state.args[2], "C:\\Games\\Tarv\\");
}

TEST_F(StartupTest, LanguageComesFromTheMachineHiveBeforeTheCommandLine) {
  tarvtest::WriteFile(m_dir.Sub("machine.conf"),
                      "[SOFTWARE/Obelk/Tarv]\nLanguageID=dword:00000002\n");
  // The usage that follows a refusal is already in the hive's language.
  ASSERT_FALSE(Run({"-o", "", "1.0"}));
  EXPECT_EQ(TarvMessages::ThreadLanguage(), TarvMessages::Language::kGerman);
  ASSERT_FALSE(m_errors.empty());
  EXPECT_TRUE(m_errors.back().Contains("Aufrufsyntax ausgeben")) << m_errors.back();
  EXPECT_TRUE(m_errors.back().Contains("--help")) << m_errors.back();
  ASSERT_TRUE(Run({"-h", "-o", "", "1.0", "/g"}));
  EXPECT_TRUE(m_state.request.launch_on_exit);
  EXPECT_TRUE(m_state.request.on_exit_command.empty());
  EXPECT_TRUE(m_settings->BuildStartupSummary().StartsWith("Patch-Installer-Version: 30323\n"));
}

}  // namespace
}  // namespace TarvPatch
