#include "session/install_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "os/messages.h"
#include "os/registry.h"
#include "session/installation_record.h"
#include "support/test_support.h"

namespace {

using tarvtest::ScopedEnv;

// A machine hive, a temporary folder and an installation, all below one
// folder that other users may enter.
class InstallAccessTest : public ::testing::Test {
 protected:
  InstallAccessTest()
      : machine_(dir_.Sub("etc/registry.conf")),
        temp_(dir_.Sub("shared/temp")),
        install_(dir_.Sub("install")),
        index_(install_ + "/Binaries/LauncherApp/index.html"),
        machine_env_("OBELK_MACHINE_REGISTRY", machine_),
        user_env_("OBELK_USER_REGISTRY", dir_.Sub("user/registry.conf")),
        temp_env_("TEMP", temp_) {
    chmod(dir_.path().c_str(), 0755);
    tarvtest::MakeDirs(install_ + "/Binaries/LauncherApp");
    tarvtest::MakeDirs(dir_.Sub("etc"));
    tarvtest::MakeDirs(dir_.Sub("shared"));
  }

  bool KeyExists() {
    OS::RegistryKey key;
    return key.Open(OS::RegistryHive::kMachine, TarvPatch::kInstallationKey,
                    OS::RegistryKey::Access::kRead);
  }

  // Public for the table of breakages in EachStepCanFailTheTest.
 public:
  tarvtest::ScopedTempDir dir_;
  std::string machine_, temp_, install_, index_;

 protected:
  ScopedEnv machine_env_, user_env_, temp_env_;
};

TEST_F(InstallAccessTest, WritableInstallationGetsAnEmptyIndexAndPasses) {
  EXPECT_TRUE(TarvPatch::HasInstallAccess(TarvUtil::FromFsPath(install_)));
  EXPECT_TRUE(KeyExists());  // the registry key is made first
  EXPECT_TRUE(tarvtest::FileExists(temp_));
  ASSERT_TRUE(tarvtest::FileExists(index_));
  EXPECT_EQ(tarvtest::ReadFile(index_), "");

  // A second run keeps what the launcher page holds.
  tarvtest::WriteFile(index_, "<html>banner</html>");
  EXPECT_TRUE(TarvPatch::HasInstallAccess(TarvUtil::FromFsPath(install_ + "/")));
  EXPECT_EQ(tarvtest::ReadFile(index_), "<html>banner</html>");
}

TEST_F(InstallAccessTest, EachStepCanFailTheTest) {
  struct Case {
    const char* what;
    void (*breakage)(InstallAccessTest* t);
  } cases[] = {
      {"hive folder is a file",
       [](InstallAccessTest* t) {
         tarvtest::RemoveTree(t->dir_.Sub("etc"));
         tarvtest::WriteFile(t->dir_.Sub("etc"), "");
       }},
      {"temporary folder cannot be made",
       [](InstallAccessTest* t) {
         tarvtest::RemoveTree(t->dir_.Sub("shared"));
         tarvtest::WriteFile(t->dir_.Sub("shared"), "");
       }},
      {"no LauncherApp folder",
       [](InstallAccessTest* t) { tarvtest::RemoveTree(t->install_ + "/Binaries"); }},
      {"index.html is a folder", [](InstallAccessTest* t) { tarvtest::MakeDirs(t->index_); }},
  };
  for (const auto& c : cases) {
    c.breakage(this);
    EXPECT_FALSE(TarvPatch::HasInstallAccess(TarvUtil::FromFsPath(install_))) << c.what;
    // Put everything back for the next case.
    tarvtest::RemoveTree(dir_.Sub("etc"));
    tarvtest::RemoveTree(dir_.Sub("shared"));
    tarvtest::RemoveTree(install_);
    tarvtest::MakeDirs(dir_.Sub("etc"));
    tarvtest::MakeDirs(dir_.Sub("shared"));
    tarvtest::MakeDirs(install_ + "/Binaries/LauncherApp");
  }
  EXPECT_TRUE(TarvPatch::HasInstallAccess(TarvUtil::FromFsPath(install_)));
}

// Runs tarv-access-check as an unprivileged user: "nobody" when the tests
// run as root (as in CI), else the calling user, who cannot write a folder
// made read-only either.
tarvtest::RunResult RunUnprivileged(const std::string& install) {
  std::string helper = tarvtest::BinDir() + "/tarv-access-check";
  if (geteuid() == 0) {
    return tarvtest::Run({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                          helper, install});
  }
  return tarvtest::Run({helper, install});
}

TEST_F(InstallAccessTest, MachineHiveTheUserCannotWriteFailsAtStepTwo) {
  // The record exists and is readable by everyone, writable by its owner.
  ASSERT_TRUE(TarvPatch::HasInstallAccess(TarvUtil::FromFsPath(install_)));
  tarvtest::RemoveTree(temp_);
  unlink(index_.c_str());
  // The installation and the temporary folder's parent are open to the user.
  chmod(dir_.Sub("shared").c_str(), 0777);
  chmod(install_.c_str(), 0777);
  chmod((install_ + "/Binaries").c_str(), 0777);
  chmod((install_ + "/Binaries/LauncherApp").c_str(), 0777);
  chmod(machine_.c_str(), 0644);
  chmod(dir_.Sub("etc").c_str(), geteuid() == 0 ? 0755 : 0555);
  if (geteuid() != 0) chmod(machine_.c_str(), 0444);

  tarvtest::RunResult refused = RunUnprivileged(install_);
  EXPECT_EQ(refused.exit_code, 1) << refused.out << refused.err;
  EXPECT_EQ(refused.out, "refused\n");
  // The check stopped at the registry: no temporary folder, no index.html.
  EXPECT_FALSE(tarvtest::FileExists(temp_));
  EXPECT_FALSE(tarvtest::FileExists(index_));

  // The same user passes once the record is theirs to write.
  chmod(dir_.Sub("etc").c_str(), 0777);
  chmod(machine_.c_str(), 0666);
  tarvtest::RunResult granted = RunUnprivileged(install_);
  EXPECT_EQ(granted.exit_code, 0) << granted.out << granted.err;
  EXPECT_EQ(granted.out, "granted\n");
  EXPECT_TRUE(tarvtest::FileExists(temp_));
  EXPECT_TRUE(tarvtest::FileExists(index_));
}

// Problems elevation cannot mend are named with their path, and a machine
// hive that cannot be read whole is left byte for byte as it was.
TEST_F(InstallAccessTest, ProblemsThatElevationCannotMendAreNamed) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  struct Case {
    const char* what;
    std::string folder;
    TarvPatch::AccessProblem problem;
    std::string text;
  };
  tarvtest::WriteFile(dir_.Sub("plain-file"), "");
  tarvtest::MakeDirs(dir_.Sub("no-binaries/Data"));
  const Case cases[] = {
      {"missing", dir_.Sub("missing"), TarvPatch::AccessProblem::kFolderMissing,
       "The installation folder does not exist: " + dir_.Sub("missing")},
      {"a file", dir_.Sub("plain-file"), TarvPatch::AccessProblem::kNotAFolder,
       "The installation folder is not a folder: " + dir_.Sub("plain-file")},
      {"no Binaries", dir_.Sub("no-binaries"), TarvPatch::AccessProblem::kNoBinaries,
       "The installation folder has no Binaries folder: " + dir_.Sub("no-binaries")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TarvPatch::AccessCheck check =
        TarvPatch::CheckInstallAccess(TarvUtil::FromFsPath(c.folder));
    EXPECT_EQ(check.problem, c.problem);
    EXPECT_EQ(TarvText::ToUtf8(TarvPatch::AccessProblemText(check)), c.text);
    EXPECT_FALSE(KeyExists());  // nothing was created for a folder that is not there
  }
  // The access check and the hive reader agree: lines of other programs
  // pass both and stay; a hive that is no text is named and left alone.
  struct Hive {
    const char* what;
    std::string bytes;
    TarvPatch::AccessProblem problem;
  };
  const Hive hives[] = {
      {"Latin-1 text", "[SOFTWARE/Other]\nPath=/games/T\xe4rv\n", TarvPatch::AccessProblem::kNone},
      {"a line without a value", "[SOFTWARE/Other]\nsome words\n", TarvPatch::AccessProblem::kNone},
      {"NUL bytes", std::string("[SOFTWARE/Other]\n\0\0\n", 20),
       TarvPatch::AccessProblem::kRegistryUnreadable},
  };
  for (const Hive& h : hives) {
    SCOPED_TRACE(h.what);
    tarvtest::WriteFile(machine_, h.bytes);
    const TarvPatch::AccessCheck check =
        TarvPatch::CheckInstallAccess(TarvUtil::FromFsPath(install_));
    std::string path;
    EXPECT_EQ(OS::CheckRegistryHive(OS::RegistryHive::kMachine, &path),
              h.problem == TarvPatch::AccessProblem::kNone);
    EXPECT_EQ(check.problem, h.problem);
    if (h.problem == TarvPatch::AccessProblem::kNone) {
      EXPECT_TRUE(KeyExists());
      EXPECT_NE(tarvtest::ReadFile(machine_).find(h.bytes), std::string::npos);
    } else {
      EXPECT_EQ(TarvText::ToUtf8(TarvPatch::AccessProblemText(check)),
                "The registry file cannot be read completely and is left as it is: " + machine_);
      EXPECT_TRUE(tarvtest::ReadFile(machine_) == h.bytes);
    }
  }
  tarvtest::RemoveTree(machine_);
  tarvtest::MakeDirs(machine_);
  EXPECT_EQ(TarvPatch::CheckInstallAccess(TarvUtil::FromFsPath(install_)).problem,
            TarvPatch::AccessProblem::kRegistryUnreadable);
  EXPECT_EQ(TarvPatch::AccessProblemText({}), L"");
}

}  // namespace
