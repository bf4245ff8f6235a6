#include "session/installation_record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "data/file_util.h"
#include "os/messages.h"
#include "os/registry.h"
#include "support/test_support.h"

namespace {

using tarvtest::ScopedEnv;

// Both hives and a home folder below one temporary folder.
class InstallationRecordTest : public ::testing::Test {
 public:
  InstallationRecordTest()
      : machine_("OBELK_MACHINE_REGISTRY", dir_.Sub("machine.conf").c_str()),
        user_("OBELK_USER_REGISTRY", dir_.Sub("user.conf").c_str()),
        home_("HOME", dir_.Sub("home").c_str()),
        data_("XDG_DATA_HOME", nullptr) {}

  OS::RegistryKey& Machine() {
    if (!machine_key_.IsOpen())
      machine_key_.Create(OS::RegistryHive::kMachine, L"SOFTWARE\\Obelk\\Tarv");
    return machine_key_;
  }

  void SetLauncher(const OS::RegistryValue* installed) {
    OS::RegistryKey key;
    ASSERT_TRUE(key.Create(OS::RegistryHive::kUser, L"TarvLauncher"));
    key.DeleteValue(L"Installed");
    if (installed) {
      ASSERT_TRUE(key.SetValue(L"Installed", *installed));
    }
  }

  // Writes the five files and one that must stay into `folder`.
  void FillConfig(const std::string& folder) {
    for (const wchar_t* name : TarvPatch::kGameConfigurationFiles) {
      tarvtest::WriteFile(folder + "/" + TarvUtil::FsPath(name), "[Section]\n");
    }
    tarvtest::WriteFile(folder + "/Keep.ini", "mine");
  }

  std::vector<std::string> Left(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& [name, content] : tarvtest::SnapshotTree(folder)) names.push_back(name);
    return names;
  }

  tarvtest::ScopedTempDir dir_;
  ScopedEnv machine_, user_, home_, data_;
  OS::RegistryKey machine_key_;
};

TEST_F(InstallationRecordTest, MarkerIsLeftByAFailureAndClearedByTheNextSuccess) {
  // Without the key the marker is not written and the key not created.
  EXPECT_FALSE(TarvPatch::SetPatchingMarker());
  EXPECT_FALSE(TarvPatch::ClearPatchingMarker());
  OS::RegistryKey probe;
  EXPECT_FALSE(probe.Open(OS::RegistryHive::kMachine, TarvPatch::kInstallationKey,
                          OS::RegistryKey::Access::kRead));

  Machine();
  // A failing apply: set before, set again after the failure.
  EXPECT_TRUE(TarvPatch::SetPatchingMarker());
  EXPECT_TRUE(TarvPatch::SetPatchingMarker());
  OS::RegistryValue value;
  ASSERT_TRUE(Machine().QueryValue(L"IsPatching", &value));
  EXPECT_EQ(value, OS::RegistryValue::Dword(1));
  EXPECT_NE(tarvtest::ReadFile(dir_.Sub("machine.conf")).find("IsPatching=dword:00000001"),
            std::string::npos);
  // The next, successful apply.
  EXPECT_TRUE(TarvPatch::SetPatchingMarker());
  EXPECT_TRUE(TarvPatch::ClearPatchingMarker());
  EXPECT_FALSE(Machine().QueryValue(L"IsPatching", &value));
  EXPECT_FALSE(TarvPatch::ClearPatchingMarker());
}

TEST_F(InstallationRecordTest, ResetDeletesTheFilesOfTheRightFolder) {
  const std::string install = dir_.Sub("Games/Tarv");
  const std::string install_config = install + "/QXGame/Config";
  struct Case {
    const char* what;
    const char* xdg_data_home;  // nullptr: unset, so ~/.local/share
    std::optional<OS::RegistryValue> installed;
    std::string emptied;  // the folder whose five files go
  } cases[] = {
      {"launcher installed", nullptr, OS::RegistryValue::Dword(1),
       dir_.Sub("home/.local/share/MyGames/Tarv/QXGame/Config")},
      {"launcher installed, own data folder", "DATA", OS::RegistryValue::Dword(7),
       dir_.Sub("data/MyGames/Tarv/QXGame/Config")},
      {"launcher absent", nullptr, std::nullopt, install_config},
      {"launcher 0", nullptr, OS::RegistryValue::Dword(0), install_config},
      {"launcher value of 2 bytes", nullptr, OS::RegistryValue::Binary({1, 0}), install_config},
  };
  ASSERT_TRUE(Machine().SetString(L"InstallPath", TarvUtil::FromFsPath(install)));
  std::string data = dir_.Sub("data");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg_data_home ? data.c_str() : nullptr);
    SetLauncher(c.installed ? &*c.installed : nullptr);
    FillConfig(install_config);
    FillConfig(dir_.Sub("home/.local/share/MyGames/Tarv/QXGame/Config"));
    FillConfig(dir_.Sub("data/MyGames/Tarv/QXGame/Config"));
    TarvPatch::ResetGameConfiguration();
    for (const std::string& folder :
         {install_config, dir_.Sub("home/.local/share/MyGames/Tarv/QXGame/Config"),
          dir_.Sub("data/MyGames/Tarv/QXGame/Config")}) {
      size_t expected = folder == c.emptied ? 1 : 6;
      EXPECT_EQ(Left(folder).size(), expected) << folder;
    }
  }
}

TEST_F(InstallationRecordTest, InstallPathWithBackslashesAndMissingFolders) {
  // A record written on another system uses "\"; the data folder is made
  // when missing, as the shell's folder lookup does.
  std::string install = dir_.Sub("Win Games/Tarv");
  std::wstring registered = TarvUtil::FromFsPath(install);
  TarvUtil::NormalizeSeparators(registered, L'\\');
  ASSERT_TRUE(Machine().SetString(L"InstallPath", registered + L"\\"));
  FillConfig(install + "/QXGame/Config");
  TarvPatch::ResetGameConfiguration();
  EXPECT_EQ(Left(install + "/QXGame/Config"), std::vector<std::string>{"Keep.ini"});

  OS::RegistryValue one = OS::RegistryValue::Dword(1);
  SetLauncher(&one);
  std::wstring folder;
  ASSERT_TRUE(TarvPatch::GameConfigurationFolder(&folder));
  EXPECT_EQ(TarvUtil::FsPath(folder), dir_.Sub("home/.local/share/MyGames/Tarv/QXGame/Config/"));
  EXPECT_TRUE(tarvtest::FileExists(dir_.Sub("home/.local/share")));
}

TEST_F(InstallationRecordTest, UndeterminedFolderDeletesNothing) {
  // The five names relative to the current folder must survive.
  tarvtest::ScopedTempDir cwd;
  FillConfig(cwd.path());
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  struct Case {
    const char* what;
    void (*prepare)(InstallationRecordTest* t);
  } cases[] = {
      {"no record at all", [](InstallationRecordTest*) {}},
      {"no InstallPath", [](InstallationRecordTest* t) { t->Machine().SetDword(L"Other", 1); }},
      {"empty InstallPath",
       [](InstallationRecordTest* t) { t->Machine().SetString(L"InstallPath", L""); }},
      {"InstallPath over 259 characters",
       [](InstallationRecordTest* t) {
         t->Machine().SetString(L"InstallPath", L"/" + std::wstring(259, L'a'));
       }},
      {"launcher installed, no home",
       [](InstallationRecordTest* t) {
         OS::RegistryValue one = OS::RegistryValue::Dword(1);
         t->SetLauncher(&one);
         unsetenv("HOME");
       }},
  };
  for (const auto& c : cases) {
    c.prepare(this);
    std::wstring folder;
    EXPECT_FALSE(TarvPatch::GameConfigurationFolder(&folder)) << c.what;
    TarvPatch::ResetGameConfiguration();
    EXPECT_EQ(Left(cwd.path()).size(), 6u) << c.what;
  }
  ASSERT_EQ(chdir(previous), 0);
}

TEST_F(InstallationRecordTest, LanguageIdMustBeFourBytes) {
  struct Case {
    OS::RegistryValue value;
    TarvMessages::Language language;
  } cases[] = {
      {OS::RegistryValue::Dword(2), TarvMessages::Language::kGerman},
      {OS::RegistryValue::Dword(1), TarvMessages::Language::kFrench},
      {OS::RegistryValue::Binary({2, 0}), TarvMessages::Language::kEnglish},
      {OS::RegistryValue::Binary({2, 0, 0, 0, 0, 0, 0, 0}), TarvMessages::Language::kEnglish},
      {OS::RegistryValue::String(L"2"), TarvMessages::Language::kEnglish},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(Machine().SetValue(L"LanguageID", c.value));
    EXPECT_EQ(TarvMessages::SelectLanguage(), c.language) << OS::FormatRegistryValue(c.value);
  }
}

}  // namespace
