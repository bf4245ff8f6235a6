// The uninstaller-log update against a real full file system and against
// system calls that fail on purpose: the log must stay byte-identical and no
// temporary copy may stay behind.
#include <gtest/gtest.h>

#include "e2e/uninstall_log_reader.h"
#include "support/test_support.h"

namespace {

namespace unins = tarvtest::unins;

std::string TwoBlockLog() {
  std::vector<unins::Record> records;
  for (int i = 0; i < 12; ++i) records.push_back(unins::Filler(0x20, 900, 'a' + i));
  records.push_back(unins::Filler(0x81, 28, 'F'));
  return unins::Build(records);
}

std::string Tool() { return tarvtest::BinDir() + "/tarv-unins-check"; }

TEST(UninstallLogWriteFailure, InjectedSystemCallFailures) {
  if (!tarvtest::FileExists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  const std::string before = TwoBlockLog();
  const char* injections[] = {
      "write:error=ENOSPC:when=1", "write:error=ENOSPC:when=2", "write:error=EIO:when=3",
      "fsync:error=EIO",           "rename:error=EXDEV",        "fchmod:error=EPERM",
  };
  for (const char* inject : injections) {
    SCOPED_TRACE(inject);
    tarvtest::ScopedTempDir dir;
    tarvtest::WriteFile(dir.Sub("inst/unins000.dat"), before);
    const auto r = tarvtest::Run({"/usr/bin/strace", "-f", "-o", "/dev/null", "-e",
                                  std::string("inject=") + inject, Tool(), "--update",
                                  dir.Sub("inst"), "Data\\new1.pak", "Data\\new2.pak"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("update refused"), std::string::npos) << r.err;
    EXPECT_TRUE(tarvtest::ReadFile(dir.Sub("inst/unins000.dat")) == before) << "log changed";
    EXPECT_FALSE(tarvtest::FileExists(dir.Sub("inst/unins000_temp.dat")));
  }
}

// A small tmpfs mounted in a private mount namespace and filled so that the
// copy cannot be written whole. Needs the right to mount (CI runs as root).
TEST(UninstallLogWriteFailure, FullFileSystem) {
  const std::string before = TwoBlockLog();
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("unins000.dat"), before);
  tarvtest::MakeDirs(dir.Sub("mnt"));
  const std::string script =
      "set -e; mount -t tmpfs -o size=32k tmpfs \"$1\" || exit 77\n"
      "cp \"$2/unins000.dat\" \"$1/\"\n"
      "dd if=/dev/zero of=\"$1/filler\" bs=4096 count=4 2>/dev/null\n"
      "set +e; \"$3\" --update \"$1\" 'Data\\new1.pak' 'Data\\new2.pak'; rc=$?\n"
      "cp \"$1/unins000.dat\" \"$2/after.dat\"; ls \"$1\" > \"$2/listing\"; exit $rc\n";
  const auto r = tarvtest::Run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, "sh",
                                dir.Sub("mnt"), dir.path(), Tool()});
  if (r.exit_code == 77 || (r.exit_code != 1 && r.err.find("unshare") != std::string::npos)) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << r.err;
  }
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  EXPECT_TRUE(tarvtest::ReadFile(dir.Sub("after.dat")) == before) << "log changed";
  EXPECT_EQ(tarvtest::ReadFile(dir.Sub("listing")), "filler\nunins000.dat\n");
}

// The same tool with room to spare: the update goes through and the reader
// finds the two new records, so the failures above are the injection's doing.
TEST(UninstallLogWriteFailure, WithoutInjectionTheUpdateSucceeds) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("inst/unins000.dat"), TwoBlockLog());
  const auto r =
      tarvtest::Run({Tool(), "--update", dir.Sub("inst"), "Data\\new1.pak", "Data\\new2.pak"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const unins::Log log = unins::Parse(tarvtest::ReadFile(dir.Sub("inst/unins000.dat")));
  ASSERT_EQ(log.error, "");
  ASSERT_EQ(log.count, 15);
  bool ok = false;
  EXPECT_EQ(unins::DeletePath(log.records[13], &ok), dir.Sub("inst") + "\\Data\\new2.pak");
  EXPECT_TRUE(ok);
}

}  // namespace
