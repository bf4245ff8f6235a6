#include "session/physx.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "data/file_util.h"
#include "os/messages.h"
#include "os/registry.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using tarvtest::WriteFile;

// A private machine hive and a game folder; the hive variables point at the
// temporary folder for the test's duration.
class PhysXTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("OBELK_MACHINE_REGISTRY", dir_.Sub("machine.conf").c_str(), 1);
    setenv("OBELK_USER_REGISTRY", dir_.Sub("user.conf").c_str(), 1);
    TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  }
  void TearDown() override {
    unsetenv("OBELK_MACHINE_REGISTRY");
    unsetenv("OBELK_USER_REGISTRY");
  }

  void SetMachineString(const std::wstring& key_path, const std::wstring& name,
                        const std::string& value) {
    OS::RegistryKey key;
    ASSERT_TRUE(key.Create(OS::RegistryHive::kMachine, key_path));
    ASSERT_TRUE(key.SetString(name, TarvUtil::FromFsPath(value)));
  }
  void SetRuntime(const std::string& folder) {
    SetMachineString(L"SOFTWARE\\AGEIA Technologies", L"PhysXCore Path", folder);
  }
  // An installer that records that it ran, after a pause, so that a caller
  // that did not wait would find no record.
  void MakeInstaller(const std::string& body = "sleep 1; echo ran > \"$0.ran\"") {
    SetMachineString(L"SOFTWARE\\Obelk\\Tarv", L"InstallPath", dir_.Sub("Tarv"));
    WriteFile(Installer(), "#!/bin/sh\n" + body + "\n");
    chmod(Installer().c_str(), 0755);
  }
  std::string Installer() const {
    return dir_.Sub("Tarv/Binaries/PhysX_7.06.25_SystemSoftware.exe");
  }

  std::vector<std::pair<int, std::wstring>> Check() {
    std::vector<std::pair<int, std::wstring>> lines;
    CheckPhysXRuntime(
        [&](int level, const std::wstring& text) { lines.emplace_back(level, text); });
    return lines;
  }

  tarvtest::ScopedTempDir dir_;
};

TEST_F(PhysXTest, Detection) {
  struct Case {
    const char* name;
    std::vector<std::string> files;  // under <dir>/physx
    bool registered;
    bool installed;
  };
  const Case cases[] = {
      {"no key", {"v2.6.4/PhysXCore.dll", "v2.6.4/PhysXCooking.dll"}, false, false},
      {"both libraries", {"v2.6.4/PhysXCore.dll", "v2.6.4/PhysXCooking.dll"}, true, true},
      {"core only", {"v2.6.4/PhysXCore.dll"}, true, false},
      {"cooking only", {"v2.6.4/PhysXCooking.dll"}, true, false},
      {"no v2.6.4 folder", {"v2.7.0/PhysXCore.dll", "v2.7.0/PhysXCooking.dll"}, true, false},
      {"libraries as folders",
       {"v2.6.4/PhysXCore.dll/x", "v2.6.4/PhysXCooking.dll/x"},
       true,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tarvtest::RemoveTree(dir_.Sub("physx"));
    tarvtest::RemoveTree(dir_.Sub("machine.conf"));
    for (const auto& f : c.files) WriteFile(dir_.Sub("physx/" + f), "");
    if (c.registered) SetRuntime(dir_.Sub("physx"));
    EXPECT_EQ(IsPhysXInstalled(), c.installed);
  }
  SetRuntime("");
  EXPECT_FALSE(IsPhysXInstalled());
}

TEST_F(PhysXTest, InstalledRuntimeRunsNothing) {
  WriteFile(dir_.Sub("physx/v2.6.4/PhysXCore.dll"), "");
  WriteFile(dir_.Sub("physx/v2.6.4/PhysXCooking.dll"), "");
  SetRuntime(dir_.Sub("physx"));
  MakeInstaller();
  EXPECT_TRUE(Check().empty());
  EXPECT_FALSE(tarvtest::FileExists(Installer() + ".ran"));
}

TEST_F(PhysXTest, MissingRuntimeRunsTheInstallerAndWaitsForIt) {
  MakeInstaller();
  const auto lines = Check();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, 0);
  EXPECT_EQ(lines[0].second, L"PhysX wasn't detected on your system. This is needed to run Tarv.");
  EXPECT_TRUE(tarvtest::FileExists(Installer() + ".ran"));
}

TEST_F(PhysXTest, NoInstallerGivesTheMessageOnly) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"no InstallPath", [] {}},
      {"empty InstallPath",
       [&] { SetMachineString(L"SOFTWARE\\Obelk\\Tarv", L"InstallPath", ""); }},
      {"installer missing",
       [&] {
         SetMachineString(L"SOFTWARE\\Obelk\\Tarv", L"InstallPath", dir_.Sub("Tarv"));
         tarvtest::MakeDirs(dir_.Sub("Tarv/Binaries"));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tarvtest::RemoveTree(dir_.Sub("machine.conf"));
    c.arrange();
    EXPECT_EQ(FindPhysXInstaller(), L"");
    EXPECT_EQ(Check().size(), 1u);
  }
}

TEST_F(PhysXTest, InstallerThatCannotStartIsReportedOnStandardError) {
  MakeInstaller();
  chmod(Installer().c_str(), 0644);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Check().size(), 1u);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error creating process, code: ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
}

}  // namespace
}  // namespace TarvPatch
