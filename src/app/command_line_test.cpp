#include "app/command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/init.h>
#include <wx/msgout.h>

#include <climits>
#include <optional>

#include "app/captured_output_for_tests.h"
#include "os/messages.h"
#include "session/patch_settings.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
    m_previous = wxMessageOutput::Set(&m_output);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    m_oldCwd = cwd;
    ASSERT_EQ(chdir(m_dir.path().c_str()), 0);
  }
  void TearDown() override {
    wxMessageOutput::Set(m_previous);
    TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
    EXPECT_EQ(chdir(m_oldCwd.c_str()), 0);
  }

  // Reads `args` (without the program path) into fresh settings.
  bool Read(std::vector<wxString> args) {
    args.insert(args.begin(), "/opt/tarv/tarv-patcher");
    OptionTable table;
    m_settings = std::make_unique<PatchSettings>();
    m_request = StartupRequest();
    m_errors.clear();
    return ReadCommandLine(args, table, *m_settings, &m_request,
                           [this](const wxString& text) { m_errors.push_back(text); });
  }

  wxInitializer m_wx;
  tarvtest::ScopedTempDir m_dir;
  std::string m_oldCwd;
  CapturedOutput m_output;
  wxMessageOutput* m_previous = nullptr;
  std::unique_ptr<PatchSettings> m_settings;
  StartupRequest m_request;
  std::vector<wxString> m_errors;
};

TEST_F(CommandLineTest, RefusedCommandLineIsOneLineThenTheUsage) {
  struct Case {
    std::vector<wxString> args;
    const char* first_line;
  };
  const Case cases[] = {
      {{}, "The required parameter 'current_install_version' was not specified."},
      {{"1.0"}, "The required parameter 'target_directory' was not specified."},
      {{"-x", "1.0", "/g"}, "Unknown option 'x'"},
      {{"1.0", "/g", "-s"}, "Option 's' requires a value."},
      {{"1.0", "/g", "extra"}, "Unexpected parameter 'extra'"},
      {{"--json=yes", "1.0", "/g"}, "Unexpected characters following option 'json'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first_line);
    m_output.m_text.clear();
    EXPECT_FALSE(Read(c.args));
    // Nothing reaches the toolkit's own output; the caller decides where
    // the refusal goes.
    EXPECT_EQ(m_output.m_text, "");
    ASSERT_EQ(m_errors.size(), 1u);
    const wxString& error = m_errors[0];
    EXPECT_EQ(error.BeforeFirst('\n'), c.first_line);
    EXPECT_TRUE(error.AfterFirst('\n').StartsWith("Usage: ")) << error;
    EXPECT_TRUE(error.Contains("-u, --unattended")) << error;
    EXPECT_TRUE(error.Contains("--limit-rate")) << error;
    EXPECT_TRUE(m_settings->GetCurrentVersion().empty());
  }
}

TEST(ScanProgramModeTest, UsageVersionAndUnattendedAreSeenBeforeParsing) {
  struct Case {
    std::vector<std::string> args;
    bool help, version, unattended;
  };
  const Case cases[] = {
      {{"p"}, false, false, false},
      {{"p", "-h"}, true, false, false},
      {{"p", "--bogus", "--help"}, true, false, false},
      {{"p", "--version", "1.0"}, false, true, false},
      {{"p", "-u", "1.0", "/g"}, false, false, true},
      {{"p", "1.0", "/g", "--unattended"}, false, false, true},
      // After "--" everything is a parameter, and other spellings are not
      // these switches.
      {{"p", "--", "-h", "--version", "-u"}, false, false, false},
      {{"p", "-help", "--vers", "-unattended", "--json"}, false, false, false},
      {{"-h"}, false, false, false},  // the program path itself
  };
  for (const Case& c : cases) {
    const ProgramMode mode = ScanProgramMode(c.args);
    EXPECT_EQ(mode.help, c.help) << c.args.size();
    EXPECT_EQ(mode.version, c.version) << c.args.size();
    EXPECT_EQ(mode.unattended, c.unattended) << c.args.size();
  }
}

TEST_F(CommandLineTest, SpeedCapOption) {
  struct Case {
    std::vector<wxString> args;
    bool accepted;
    uint64_t limit;
  };
  const Case cases[] = {
      {{"1.0", "/g"}, true, 0},
      {{"--limit-rate", "1M", "1.0", "/g"}, true, 1048576},
      {{"--limit-rate=500k", "1.0", "/g"}, true, 512000},
      {{"--limit-rate", "1.5M", "1.0", "/g"}, false, 0},
      {{"--limit-rate", "0", "1.0", "/g"}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(Read(c.args), c.accepted);
    EXPECT_EQ(m_settings->GetDownloadLimit(), c.limit);
    if (c.accepted) {
      EXPECT_TRUE(m_errors.empty());
      EXPECT_EQ(m_settings->GetCurrentVersion(), "1.0");
    } else {
      ASSERT_EQ(m_errors.size(), 1u);
      EXPECT_TRUE(m_errors[0].StartsWith("Not a download speed for --limit-rate")) << m_errors[0];
      // Nothing of a refused command line is taken.
      EXPECT_TRUE(m_settings->GetCurrentVersion().empty());
    }
  }
}

TEST_F(CommandLineTest, OptionsFillTheSettings) {
  tarvtest::WriteFile(m_dir.Sub("servers.txt"), "ftp://l1/\nftp://l2/");
  tarvtest::WriteFile(m_dir.Sub("empty.txt"), "");
  struct Expected {
    std::vector<std::wstring> servers;
    bool download = false;
    bool local_file = false;
    bool repair = false;
    bool help = false;
    bool admin = false;
    bool unattended = false;
    bool json = false;
    bool launch_on_exit = false;
    wxString on_exit;
    wxString final_version;
    std::wstring manual_path;
    std::vector<wxString> errors;
  };
  struct Case {
    const char* name;
    std::vector<wxString> args;
    Expected expected;
  };
  const Case cases[] = {
      {"parameters only", {"1.0", "/games/tarv"}, {}},
      {"help is recorded (main answers it first)", {"-h", "1.0", "/games/tarv"}, {.help = true}},
      {"one server",
       {"-s", "ftp://s/", "1.0", "/games/tarv"},
       {.servers = {L"ftp://s/"}, .download = true}},
      {"server then list lines",
       {"--list=servers.txt", "-s", "ftp://s/", "1.0", "/games/tarv"},
       {.servers = {L"ftp://s/", L"ftp://l1/", L"ftp://l2/"}, .download = true}},
      {"server value split at semicolons",
       {"--server=ftp://a/;;http://b/", "1.0", "/games/tarv"},
       {.servers = {L"ftp://a/", L"", L"http://b/"}, .download = true}},
      {"patch ignores servers",
       {"--patch", "/p/1", "-s", "ftp://s/", "-l", "servers.txt", "1.0", "/games/tarv"},
       {.local_file = true, .manual_path = L"/p/1"}},
      {"unreadable list",
       {"-l", "missing.txt", "1.0", "/games/tarv"},
       {.errors = {"Failed to read list of servers from missing.txt"}}},
      {"empty list keeps the server",
       {"-s", "ftp://s/", "-l", "empty.txt", "1.0", "/games/tarv"},
       {.servers = {L"ftp://s/"},
        .download = true,
        .errors = {"Failed to read list of servers from empty.txt"}}},
      {"repair final admin",
       {"-r", "-a", "--final", "2.0", "1.0", "/games/tarv"},
       {.repair = true, .admin = true, .final_version = "2.0"}},
      {"repair with a server",
       {"-r", "-s", "ftp://s/", "1.0", "/games/tarv"},
       {.servers = {L"ftp://s/"}, .download = true, .repair = true}},
      {"on-exit command",
       {"--onexit=/usr/bin/game --fast 'a b'", "1.0", "/games/tarv"},
       {.launch_on_exit = true, .on_exit = "/usr/bin/game --fast 'a b'"}},
      {"empty on-exit command", {"--onexit=", "1.0", "/games/tarv"}, {.launch_on_exit = true}},
      {"unattended with json",
       {"-u", "--json", "-s", "http://s/", "1.0", "/games/tarv"},
       {.servers = {L"http://s/"}, .download = true, .unattended = true, .json = true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_output.m_text.clear();
    ASSERT_TRUE(Read(c.args)) << m_output.m_text;
    const Expected& e = c.expected;
    EXPECT_EQ(m_settings->GetCurrentVersion(), "1.0");
    EXPECT_EQ(m_settings->GetTargetDirectory(), "/games/tarv");
    EXPECT_EQ(m_settings->GetServers(), e.servers);
    EXPECT_EQ(m_settings->IsDownload(), e.download);
    EXPECT_EQ(m_settings->IsLocalFile(), e.local_file);
    EXPECT_EQ(m_settings->IsRepair(), e.repair);
    EXPECT_EQ(m_settings->GetFinalVersion(), e.final_version);
    EXPECT_EQ(m_settings->GetManualPatchPath(), e.manual_path);
    EXPECT_EQ(m_request.help, e.help);
    EXPECT_EQ(m_output.m_text, "");
    EXPECT_EQ(m_request.unattended, e.unattended);
    EXPECT_EQ(m_request.json, e.json);
    EXPECT_EQ(m_request.admin, e.admin);
    EXPECT_EQ(m_request.launch_on_exit, e.launch_on_exit);
    EXPECT_EQ(m_request.on_exit_command, e.on_exit);
    EXPECT_EQ(m_errors, e.errors);
  }
}

// The program changes to its own folder after reading the command line; a
// path typed relative to the shell's folder must still mean that folder.
TEST_F(CommandLineTest, RelativePathsAreTakenFromTheStartFolder) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const wxString start = wxString::FromUTF8(cwd);
  const wxString parent = start.BeforeLast('/');
  struct {
    const char* name;
    std::vector<wxString> args;
    wxString target;
    std::wstring manual_path;
  } cases[] = {
      {"relative installation", {"1.0", "game"}, start + "/game", L""},
      {"dot folders folded", {"1.0", "./a/../game/"}, start + "/game/", L""},
      {"installation above the start folder", {"1.0", "../game"}, parent + "/game", L""},
      {"absolute installation as given", {"1.0", "/games/tarv"}, "/games/tarv", L""},
      {"relative offline folder",
       {"--patch", "server", "1.0", "/games/tarv"},
       "/games/tarv",
       (start + "/server").ToStdWstring()},
      {"relative offline archive",
       {"--patch=./p/1.0_to_1.1.zip", "1.0", "game"},
       start + "/game",
       (start + "/p/1.0_to_1.1.zip").ToStdWstring()},
      {"absolute offline folder as given", {"--patch=/p/1", "1.0", "/g"}, "/g", L"/p/1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Read(c.args)) << m_output.m_text;
    EXPECT_EQ(m_settings->GetTargetDirectory(), c.target);
    EXPECT_EQ(m_settings->GetManualPatchPath(), c.manual_path);
    EXPECT_EQ(m_request.start_folder, start);
  }
}

TEST_F(CommandLineTest, ListFileShapesReachTheSummary) {
  struct Case {
    const char* content;
    const char* candidates;
  };
  const Case cases[] = {
      {"ftp://a/\n", "Patch server candidate: ftp://a/\n"},
      {"ftp://a/\nftp://b/",
       "Patch server candidate: ftp://a/\nPatch server candidate: ftp://b/\n"},
      {"ftp://a/\n\nftp://b/\n",
       "Patch server candidate: ftp://a/\nPatch server candidate: \n"
       "Patch server candidate: ftp://b/\n"},
  };
  for (const Case& c : cases) {
    tarvtest::WriteFile(m_dir.Sub("list.txt"), c.content);
    ASSERT_TRUE(Read({"-l", "list.txt", "-f", "1.2", "1.0", "/games/tarv"}));
    EXPECT_EQ(m_settings->BuildStartupSummary(),
              wxString("Patch Installer Version: 30323\n"
                       "Patching Tarv install from version 1.0 to 1.2\n") +
                  c.candidates);
  }
}

TEST_F(CommandLineTest, UsageIsInTheThreadsLanguageWithUnchangedNames) {
  struct Case {
    TarvMessages::Language language;
    const char* description;
  };
  const Case cases[] = {
      {TarvMessages::Language::kEnglish, "run without a window, reporting to the terminal"},
      {TarvMessages::Language::kGerman, "Aufrufsyntax ausgeben"},
      {TarvMessages::Language::kFrench,
       "r\xc3\xa9parer le client au lieu de le mettre \xc3\xa0 jour"},
  };
  for (const Case& c : cases) {
    TarvMessages::SetThreadLanguage(c.language);
    const wxString usage = OptionTable().Usage();
    EXPECT_TRUE(usage.StartsWith("Usage: ")) << usage;
    EXPECT_TRUE(usage.Contains(wxString::FromUTF8(c.description))) << usage;
    for (const char* name : {"-h, --help", "--onexit", "-u, --unattended", "--json", "--version"}) {
      EXPECT_TRUE(usage.Contains(name)) << name;
    }
  }
}

TEST(OptionTableTest, EntriesFollowTheStringTable) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  OptionTable table;
  const auto& entries = table.Entries();
  struct Row {
    wxCmdLineEntryType kind;
    const char* short_name;
    const char* long_name;
    const char* description;
  };
  const Row rows[] = {
      {wxCMD_LINE_SWITCH, "h", "help", "print usage"},
      {wxCMD_LINE_SWITCH, "a", "admin", "suppress admin privilege escalation"},
      {wxCMD_LINE_PARAM, "c", "current", "current_install_version"},
      {wxCMD_LINE_OPTION, "l", "list", "text file of FTP patch servers"},
      {wxCMD_LINE_OPTION, "s", "server", "patch server address (http, https or ftp)"},
      {wxCMD_LINE_OPTION, "f", "final", "final version"},
      {wxCMD_LINE_PARAM, "t", "target", "target_directory"},
      {wxCMD_LINE_OPTION, "p", "patch", "patch details directory"},
      {wxCMD_LINE_SWITCH, "r", "repair", "repair client instead of patch"},
      {wxCMD_LINE_OPTION, "o", "onexit", "launch program onexit"},
      {wxCMD_LINE_SWITCH, "u", "unattended", "run without a window, reporting to the terminal"},
      {wxCMD_LINE_SWITCH, "", "json", "with --unattended: write the session as JSON lines"},
      {wxCMD_LINE_SWITCH, "", "version", "print the version and end"},
      {wxCMD_LINE_OPTION, "", "limit-rate",
       "caps the download speed (bytes per second, K, M or G)"},
      {wxCMD_LINE_SWITCH, "", "verbose", "with --unattended: the trace also on standard error"},
  };
  static_assert(std::size(rows) == OptionTable::kEntries - 1);
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(entries[i].kind, rows[i].kind) << i;
    EXPECT_STREQ(entries[i].shortName, rows[i].short_name);
    EXPECT_STREQ(entries[i].longName, rows[i].long_name);
    EXPECT_STREQ(entries[i].description, rows[i].description);
    EXPECT_EQ(entries[i].type, wxCMD_LINE_VAL_STRING);
    EXPECT_EQ(entries[i].flags, 0);
  }
  EXPECT_EQ(entries[OptionTable::kEntries - 1].kind, wxCMD_LINE_NONE);
  table.Clear();
  EXPECT_STREQ(entries[0].description, "");
}

TEST(RepairArgumentsTest, OnlyABackslashBeforeTheFinalQuoteLosesTheQuote) {
  struct Case {
    const char* before;
    const char* after;
  };
  const Case cases[] = {
      {"C:\\Games\\Tarv\\\"", "C:\\Games\\Tarv\\"},
      {"\\\"", "\\"},
      {"\"", "\""},
      {"a\"", "a\""},
      {"", ""},
      {"C:\\Games\\", "C:\\Games\\"},
      {"x\\\"\\\"", "x\\\"\\"},
  };
  std::vector<wxString> args;
  for (const Case& c : cases) args.push_back(c.before);
  RepairArguments(args);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(args[i], cases[i].after) << cases[i].before;
}

TEST(ProgramFolderTest, FolderOfTheProgramFile) {
  EXPECT_EQ(ProgramFolder("/opt/tarv/bin/tarv-patcher"), "/opt/tarv/bin/");
  EXPECT_EQ(ProgramFolder("./tarv-patcher"), "./");
  EXPECT_EQ(ProgramFolder("/tarv-patcher"), "/");
  // Started through PATH: the running executable's folder.
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  std::string path(self, static_cast<size_t>(length));
  EXPECT_EQ(ProgramFolder("tarv-patcher"), wxString::FromUTF8(path.substr(0, path.rfind('/') + 1)));
}

}  // namespace
}  // namespace TarvPatch
