// The registry hive on a disk that fails: each write of a value meets a
// failed open, write, flush or rename, and the hive is then byte for byte
// what it was, with no temporary file beside it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

#include "data/file_faults.h"
#include "os/registry.h"
#include "support/test_support.h"

namespace OS {
namespace {

using TarvFile::Call;

TEST(RegistryFaults, FailedWriteLeavesTheHiveAsItWas) {
  struct Case {
    Call call;
    uint64_t nth;
    int err;
    const char* error_start;
  } cases[] = {
      {Call::kOpen, 1, EACCES, "cannot open registry lock"},  // the lock file
      {Call::kOpen, 2, EIO, "cannot read registry hive"},
      {Call::kOpen, 3, EACCES, "cannot write registry hive"},  // the temporary file
      {Call::kWrite, 1, ENOSPC, "cannot write registry hive"},
      {Call::kFsync, 1, EIO, "cannot write registry hive"},
      {Call::kRename, 1, EACCES, "cannot write registry hive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error_start + std::string(" / ") + std::strerror(c.err));
    tarvtest::ScopedTempDir dir;
    const std::string hive = dir.Sub("machine/registry.conf");
    tarvtest::ScopedEnv machine("OBELK_MACHINE_REGISTRY", hive);
    RegistryKey key;
    std::string error;
    ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"Software\\Obelk\\Tarv", &error)) << error;
    ASSERT_TRUE(key.SetDword(L"LanguageID", 2, &error)) << error;
    const std::string before = tarvtest::ReadFile(hive);
    {
      TarvFile::ScopedFault fault(c.call, c.nth, c.err);
      EXPECT_FALSE(key.SetString(L"Path", L"C:\\Games\\Tarv", &error));
    }
    EXPECT_EQ(error.rfind(c.error_start, 0), 0u) << error;
    EXPECT_NE(error.find(std::strerror(c.err)), std::string::npos) << error;
    EXPECT_EQ(tarvtest::ReadFile(hive), before);
    auto files = tarvtest::SnapshotTree(dir.Sub("machine"));
    ASSERT_EQ(files.size(), 2u) << "a temporary was left";  // the hive and its lock
    uint32_t number = 0;
    EXPECT_TRUE(key.QueryDword(L"LanguageID", &number));
    EXPECT_EQ(number, 2u);
  }
}

}  // namespace
}  // namespace OS
