#include "os/application_mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "os/process.h"
#include "os/this_process.h"
#include "support/test_support.h"

namespace TarvUtil {
namespace {

TEST(ApplicationMutexName, FollowsTheNameRule) {
  struct Case {
    const wchar_t* folder;
    const char* name;
  } cases[] = {
      {L"C:\\Games\\Tarv\\Binaries", "TARV_c__games_tarv_binaries"},
      {L"c:/games/tarv/binaries/", "TARV_c__games_tarv_binaries"},
      {L"C:\\Games\\Tarv\\Binaries\\", "TARV_c__games_tarv_binaries"},
      {L"/home/Ann/My Games/Tarv-1.2/Binaries", "TARV__home_ann_my_games_tarv-1.2_binaries"},
      {L"/opt/caf\u00e9/\u00abx\u00bb", "TARV__opt_caf___x_"},
      {L"", "TARV"},  // "x" alone: the rule drops "_x" of "TARV_x"
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplicationMutexName(c.folder), c.name) << TarvUtil::FsPath(c.folder);
  }
}

#ifdef _WIN32
constexpr char kProgramSuffix[] = ".exe";
#else
constexpr char kProgramSuffix[] = "";
#endif

// Other programs of the installation, played by the process probe: each
// takes the lock of a folder in a given mode, says "locked" or "refused",
// and holds it until it is killed.
class ApplicationMutexAcrossProcesses : public ::testing::Test {
 protected:
  void TearDown() override {
    CloseApplicationMutex();
    for (auto& h : holders_) h.process->Terminate();
    std::error_code ignored;
    for (auto& h : holders_) std::filesystem::remove(h.out, ignored);
  }

  // The probe's first line: "locked" or "refused".
  std::string StartHolder(const std::wstring& folder, const char* mode) {
    holders_.push_back({std::make_unique<OS::Process>(),
                        std::filesystem::temp_directory_path() /
                            ("tarv-holder-" + std::to_string(tarvtest::UniqueNumber()) + ".out")});
    Holder& h = holders_.back();
    h.process->RedirectOutput(h.out.string(), "");
    // The probe is built beside the test program.
    const std::string self = OS::ExecutablePath();
    std::string probe =
        self.substr(0, self.find_last_of("/\\") + 1) + "tarv-process-probe" + kProgramSuffix;
    std::string error;
    if (!h.process->Start({probe, "lock", TarvText::ToUtf8(folder), mode}, &error)) {
      ADD_FAILURE() << error;
      return "";
    }
    for (int i = 0; i < 1000; ++i) {
      bool ended = h.process->Wait(10) == OS::Process::WaitResult::kExited;
      std::ifstream file(h.out);
      std::string line;
      if (std::getline(file, line) && !line.empty()) return line.substr(0, line.find('\r'));
      if (ended) break;
    }
    return "";
  }

  struct Holder {
    std::unique_ptr<OS::Process> process;
    std::filesystem::path out;
  };
  // Tests of this fixture run side by side in processes of their own: each
  // needs a lock and output files no other one shares.
  std::wstring folder_ =
      L"C:\\Games\\Tarv test " + std::to_wstring(tarvtest::UniqueNumber()) + L"\\Binaries";
  std::vector<Holder> holders_;
};

TEST_F(ApplicationMutexAcrossProcesses, SharedHolderBlocksExclusiveUntilItEnds) {
  ASSERT_EQ(StartHolder(folder_, "shared"), "locked");
  EXPECT_FALSE(OpenApplicationMutex(folder_, true));
  // A second reader is welcome while the game only shares the lock.
  EXPECT_TRUE(OpenApplicationMutex(folder_, false));
  CloseApplicationMutex();
  ASSERT_EQ(StartHolder(folder_, "shared"), "locked");
  ASSERT_TRUE(holders_[0].process->Terminate());
  EXPECT_FALSE(OpenApplicationMutex(folder_, true));  // the second still shares it
  ASSERT_TRUE(holders_[1].process->Terminate());
  EXPECT_TRUE(OpenApplicationMutex(folder_, true));
}

TEST_F(ApplicationMutexAcrossProcesses, ExclusiveHolderShutsEveryoneElseOut) {
  ASSERT_EQ(StartHolder(folder_, "exclusive"), "locked");
  EXPECT_FALSE(OpenApplicationMutex(folder_, false));
  EXPECT_FALSE(OpenApplicationMutex(folder_, true));
  ASSERT_TRUE(holders_[0].process->Terminate());

  ASSERT_TRUE(OpenApplicationMutex(folder_, true));
  // Both spellings of the folder meet at one lock.
  std::wstring respelled = folder_ + L"/";
  for (wchar_t& c : respelled) {
    if (c == L'\\') c = L'/';
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  EXPECT_EQ(StartHolder(respelled, "shared"), "refused");
  EXPECT_EQ(StartHolder(respelled, "exclusive"), "refused");
  // Another folder is another lock.
  EXPECT_EQ(StartHolder(folder_ + L"2", "exclusive"), "locked");
}

}  // namespace
}  // namespace TarvUtil
