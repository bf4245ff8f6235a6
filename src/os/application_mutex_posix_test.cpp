#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "data/file_util.h"
#include "os/application_mutex.h"
#include "os/process.h"
#include "support/test_support.h"

namespace {

using TarvUtil::ApplicationMutexFileName;
using TarvUtil::ApplicationMutexName;
using TarvUtil::CloseApplicationMutex;
using TarvUtil::OpenApplicationMutex;

// A fresh folder name per test and the lock file it leaves, removed at the
// end (the program itself never removes lock files).
class ApplicationMutexTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CloseApplicationMutex();
    for (const auto& h : helpers_) h->Terminate();
    unlink(LockPath(folder_).c_str());
    unlink(LockPath(other_).c_str());
  }

  static std::string LockPath(const std::wstring& folder) {
    return TarvUtil::ApplicationMutexDirectory() + "/" + ApplicationMutexName(folder);
  }

  // Starts the stand-in game on `folder_` and waits until it reports the
  // outcome of its open; returns that first line.
  std::string StartGame(const std::string& mode, OS::Process** out) {
    helpers_.push_back(std::make_unique<OS::Process>());
    OS::Process* p = helpers_.back().get();
    std::string log = dir_.Sub("game" + std::to_string(helpers_.size()) + ".out");
    p->RedirectOutput(log, "");
    std::string error;
    *out = p;
    if (!p->Start({tarvtest::BinDir() + "/tarv-game-lock", TarvUtil::FsPath(folder_), mode},
                  &error)) {
      ADD_FAILURE() << error;
      return "";
    }
    std::string text;
    while (text.find('\n') == std::string::npos) {
      if (p->Wait(20) != OS::Process::WaitResult::kTimedOut) {
        text = tarvtest::ReadFile(log);
        break;
      }
      text = tarvtest::FileExists(log) ? tarvtest::ReadFile(log) : "";
    }
    return text.substr(0, text.find('\n'));
  }

  tarvtest::ScopedTempDir dir_;
  std::wstring folder_ = TarvUtil::FromFsPath(dir_.Sub("Tarv/Binaries"));
  std::wstring other_ = TarvUtil::FromFsPath(dir_.Sub("Other/Binaries"));
  std::vector<std::unique_ptr<OS::Process>> helpers_;
};

TEST_F(ApplicationMutexTest, SharedHolderBlocksExclusiveUntilItEnds) {
  for (bool killed : {false, true}) {
    OS::Process* game = nullptr;
    ASSERT_EQ(StartGame("shared", &game), "locked");
    EXPECT_FALSE(OpenApplicationMutex(folder_, true)) << "killed=" << killed;
    // A second reader is welcome while the game only shares the lock.
    EXPECT_TRUE(OpenApplicationMutex(folder_, false));
    CloseApplicationMutex();
    if (killed) {
      ASSERT_TRUE(game->Terminate());
      EXPECT_EQ(game->TermSignal(), SIGKILL);
    } else {
      kill(game->Pid(), SIGTERM);
      ASSERT_EQ(game->Wait(-1), OS::Process::WaitResult::kExited);
      EXPECT_EQ(game->ExitCode(), 0);
    }
    EXPECT_TRUE(OpenApplicationMutex(folder_, true)) << "killed=" << killed;
    CloseApplicationMutex();
  }
}

TEST_F(ApplicationMutexTest, ExclusiveHolderShutsEveryoneElseOut) {
  OS::Process* game = nullptr;
  ASSERT_EQ(StartGame("exclusive", &game), "locked");
  EXPECT_FALSE(OpenApplicationMutex(folder_, false));
  EXPECT_FALSE(OpenApplicationMutex(folder_, true));
  ASSERT_TRUE(game->Terminate());

  ASSERT_TRUE(OpenApplicationMutex(folder_, true));
  OS::Process* late = nullptr;
  EXPECT_EQ(StartGame("shared", &late), "refused");
  ASSERT_EQ(late->Wait(-1), OS::Process::WaitResult::kExited);
  EXPECT_EQ(late->ExitCode(), 2);
}

TEST_F(ApplicationMutexTest, BothSpellingsOfTheFolderMeetAtOneLock) {
  ASSERT_TRUE(OpenApplicationMutex(folder_, true));
  std::wstring respelled = folder_ + L"/";
  TarvUtil::NormalizeSeparators(respelled, L'\\');
  OS::Process* game = nullptr;
  folder_.swap(respelled);
  EXPECT_EQ(StartGame("shared", &game), "refused");
  folder_.swap(respelled);
}

// A deep installation folder gives a name longer than a file name may be:
// it is locked under a hashed file name that every program computes alike,
// and two long folders that differ only at their end stay apart.
TEST_F(ApplicationMutexTest, LongNamesAreHashedNotRefused) {
  std::wstring deep =
      folder_ + L"/" + std::wstring(150, L'a') + L"/" + std::wstring(150, L'b') + L"/Binaries";
  const std::string name = ApplicationMutexName(deep);
  ASSERT_GT(name.size(), 255u);
  const std::string file = ApplicationMutexFileName(name);
  EXPECT_EQ(file.size(), 255u);
  EXPECT_EQ(file.substr(0, 238), name.substr(0, 238));
  EXPECT_EQ(file[238], '~');
  EXPECT_NE(ApplicationMutexFileName(name + "2"), file);
  EXPECT_EQ(ApplicationMutexFileName("TARV_short"), "TARV_short");

  ASSERT_TRUE(OpenApplicationMutex(deep, true));
  OS::Process* game = nullptr;
  folder_.swap(deep);
  EXPECT_EQ(StartGame("shared", &game), "refused");
  folder_.swap(deep);
  CloseApplicationMutex();
  unlink((TarvUtil::ApplicationMutexDirectory() + "/" + file).c_str());
}

TEST_F(ApplicationMutexTest, SecondOpenInTheProcessDoesNotTouchTheSystem) {
  ASSERT_TRUE(OpenApplicationMutex(folder_, true));
  EXPECT_TRUE(OpenApplicationMutex(other_, true));
  EXPECT_TRUE(OpenApplicationMutex(other_, false));
  EXPECT_FALSE(tarvtest::FileExists(LockPath(other_)));
  CloseApplicationMutex();
  CloseApplicationMutex();  // nothing held: nothing happens
  EXPECT_TRUE(OpenApplicationMutex(other_, false));
  EXPECT_TRUE(tarvtest::FileExists(LockPath(other_)));
}

TEST_F(ApplicationMutexTest, LockFileIsOpenToEveryUserAndLinksAreRefused) {
  ASSERT_TRUE(OpenApplicationMutex(folder_, false));
  CloseApplicationMutex();
  struct stat st;
  ASSERT_EQ(stat(LockPath(folder_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  std::string target = dir_.Sub("planted");
  tarvtest::WriteFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), LockPath(other_).c_str()), 0);
  EXPECT_FALSE(OpenApplicationMutex(other_, true));
  EXPECT_EQ(tarvtest::ReadFile(target), "keep");
}

TEST(ApplicationMutexDeathTest, ExclusiveAfterSharedIsAnAssertion) {
  tarvtest::ScopedTempDir dir;
  std::wstring folder = TarvUtil::FromFsPath(dir.Sub("Binaries"));
  EXPECT_DEATH(
      {
        // The report goes to standard output; the death test reads stderr.
        dup2(STDERR_FILENO, STDOUT_FILENO);
        OpenApplicationMutex(folder, false);
        OpenApplicationMutex(folder, true);
      },
      "Assertion failed: TarvUtil::OpenApplicationMutex> unable to open mutex for exclusive "
      "access; already open for sharing\ncallstack: [0-9a-f ]+\n");
  unlink((TarvUtil::ApplicationMutexDirectory() + "/" + ApplicationMutexName(folder)).c_str());
}

}  // namespace
