#include "session/patch_settings.h"

#include <gtest/gtest.h>

#include <functional>

#include "os/messages.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

TEST(PatchSettingsTest, StartsEmpty) {
  PatchSettings settings;
  EXPECT_FALSE(settings.IsRepair() || settings.IsLocalFile() || settings.IsDownload());
  EXPECT_TRUE(settings.GetServers().empty());
  EXPECT_TRUE(settings.GetPatchName().empty() && settings.GetCurrentVersion().empty() &&
              settings.GetTargetVersion().empty() && settings.GetFinalVersion().empty() &&
              settings.GetTargetDirectory().empty() && settings.GetManualPatchPath().empty());
  EXPECT_EQ(&PatchSettings::Get(), &PatchSettings::Get());
}

TEST(PatchSettingsTest, VersionSettersRebuildThePatchName) {
  PatchSettings settings;
  settings.SetCurrentVersion("1.0");
  EXPECT_EQ(settings.GetPatchName(), "1.0_to_");
  settings.SetTargetVersion("1.1");
  EXPECT_EQ(settings.GetPatchName(), "1.0_to_1.1");
  settings.SetCurrentVersion("1.1");
  settings.SetTargetVersion("<none>");
  EXPECT_EQ(settings.GetPatchName(), "1.1_to_<none>");
}

TEST(PatchSettingsTest, AtMostOneModeIsOn) {
  using Step = std::function<void(PatchSettings&)>;
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool local_file;
    bool download;
  };
  Step local_on = [](PatchSettings& s) { s.SetLocalFile(true); };
  Step local_off = [](PatchSettings& s) { s.SetLocalFile(false); };
  Step download_on = [](PatchSettings& s) { s.SetDownload(true); };
  Step download_off = [](PatchSettings& s) { s.SetDownload(false); };
  const Case cases[] = {
      {"local", {local_on}, true, false},
      {"download", {download_on}, false, true},
      {"local then download", {local_on, download_on}, false, true},
      {"download then local", {download_on, local_on}, true, false},
      {"local off keeps download", {download_on, local_off}, false, true},
      {"download off keeps local", {local_on, download_off}, true, false},
      {"both off", {local_on, local_off}, false, false},
  };
  for (const Case& c : cases) {
    PatchSettings settings;
    for (const Step& step : c.steps) step(settings);
    EXPECT_EQ(settings.IsLocalFile(), c.local_file) << c.name;
    EXPECT_EQ(settings.IsDownload(), c.download) << c.name;
  }
}

TEST(PatchSettingsTest, ServerListLinesBecomeEntries) {
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file
    bool ok;
    std::vector<std::wstring> entries;
  };
  const Case cases[] = {
      {"one line", "ftp://a/\n", true, {L"ftp://a/"}},
      {"no final line end", "ftp://a/\nhttp://b/", true, {L"ftp://a/", L"http://b/"}},
      {"empty line between", "a\n\nb\n", true, {L"a", L"", L"b"}},
      {"every line end", "a\r\nb\rc\nd", true, {L"a", L"b", L"c", L"d"}},
      {"blanks and hashes stay", "  a  \n# b\n", true, {L"  a  ", L"# b"}},
      {"one empty line", "\n", true, {L""}},
      {"utf-8", "ftp://m\xc3\xbcller/\n", true, {L"ftp://m\u00fcller/"}},
      {"latin-1", "ftp://m\xfcller/\n", true, {L"ftp://m\u00fcller/"}},
      {"empty file", "", false, {}},
      {"missing file", nullptr, false, {}},
  };
  for (const Case& c : cases) {
    tarvtest::ScopedTempDir dir;
    std::string path = dir.Sub("servers.txt");
    if (c.content != nullptr) tarvtest::WriteFile(path, c.content);
    PatchSettings settings;
    settings.AddServer(L"first");
    EXPECT_EQ(settings.ReadServerList(wxString::FromUTF8(path)), c.ok) << c.name;
    std::vector<std::wstring> expected = {L"first"};
    expected.insert(expected.end(), c.entries.begin(), c.entries.end());
    EXPECT_EQ(settings.GetServers(), expected) << c.name;
  }
}

TEST(PatchSettingsTest, ServerListThatIsAFolderOrTooLargeIsRefused) {
  tarvtest::ScopedTempDir dir;
  PatchSettings settings;
  EXPECT_FALSE(settings.ReadServerList(wxString::FromUTF8(dir.path())));
  tarvtest::WriteFile(dir.Sub("big.txt"), std::string(2 * 1024 * 1024, 'a'));
  EXPECT_FALSE(settings.ReadServerList(wxString::FromUTF8(dir.Sub("big.txt"))));
  EXPECT_TRUE(settings.GetServers().empty());
}

TEST(PatchSettingsTest, StartupSummaryListsEverythingInOrder) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  PatchSettings full;
  full.SetManualPatchPath(L"/patches/p1");
  full.SetCurrentVersion("1.0");
  full.SetFinalVersion("1.5");
  full.SetLocalFile(true);
  full.SetRepair(true);
  full.AddServer(L"ftp://a/");
  full.AddServer(L"");
  full.AddServer(L"http://b/");
  full.AddServer(L"ftp://player:s3cret@c/pub/");
  EXPECT_EQ(full.BuildStartupSummary(),
            "Patch Installer Version: 30323\n"
            "ManualPatchPath:      /patches/p1\n"
            "Patching Tarv install from version 1.0 to 1.5\n"
            "Standalone mode.\n"
            "Repair client mode.\n"
            "Patch server candidate: ftp://a/\n"
            "Patch server candidate: \n"
            "Patch server candidate: http://b/\n"
            "Patch server candidate: ftp://player:***@c/pub/\n");
  // Only what is shown is masked: the session still uses the password.
  EXPECT_EQ(full.GetServers().back(), L"ftp://player:s3cret@c/pub/");

  PatchSettings bare;
  bare.SetCurrentVersion("2.0");
  EXPECT_EQ(bare.BuildStartupSummary(),
            "Patch Installer Version: 30323\nPatching Tarv install from version 2.0 to \n");

  TarvMessages::SetThreadLanguage(TarvMessages::Language::kGerman);
  EXPECT_TRUE(bare.BuildStartupSummary().StartsWith("Patch-Installer-Version: 30323\n"));
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
}

}  // namespace
}  // namespace TarvPatch
