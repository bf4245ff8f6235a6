#include "os/exit_cleanup.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace OS {
namespace {

// Undos run newest first and once; a finished registration leaves nothing;
// after the exit path, a new registration undoes at once.
TEST(ExitCleanup, RunsWhatIsStillRegisteredNewestFirst) {
  std::string ran;
  auto gone = std::make_unique<ExitCleanup>([&] { ran += "gone "; });
  ExitCleanup backup([&] { ran += "restore "; });
  ExitCleanup tool([&] { ran += "stop "; });
  gone.reset();
  RunExitCleanups();
  EXPECT_EQ(ran, "stop restore ");
  RunExitCleanups();
  EXPECT_EQ(ran, "stop restore ");
  ExitCleanup late([&] { ran += "late "; });
  EXPECT_EQ(ran, "stop restore late ");
}

}  // namespace
}  // namespace OS
