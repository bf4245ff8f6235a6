// The tools' outputs on a disk that fails: each tool is run with one file
// call made to fail (through the fault seam's environment), and must then
// exit with failure, leave an earlier output of the same name as it was,
// and leave no part file.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using tarvtest::FileExists;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

std::string Bin(const std::string& name) { return tarvtest::BinDir() + "/" + name; }

std::string Fault(const char* call, int nth, int err) {
  return std::string("TARV_FILE_FAULT=") + call + ":" + std::to_string(nth) + ":" +
         std::to_string(err);
}

TEST(ToolOutputFaults, FailedOutputLeavesTheEarlierOneAndNoPart) {
  tarvtest::ScopedTempDir dir;
  const std::string old_bytes = tarvtest::RandomBytes(300000, 3);
  WriteFile(dir.Sub("old/a.bin"), old_bytes);
  WriteFile(dir.Sub("new/a.bin"), old_bytes + "more");
  WriteFile(dir.Sub("new/b.txt"), "added");
  auto made = tarvtest::Run(
      {Bin("tarv-mkpatch"), "diff", dir.Sub("old/a.bin"), dir.Sub("new/a.bin"), dir.Sub("a.diff")});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  made = tarvtest::Run({Bin("tarv-mkpatch"), "diff", "--format", "2", dir.Sub("old/a.bin"),
                        dir.Sub("new/a.bin"), dir.Sub("a2.diff")});
  ASSERT_EQ(made.exit_code, 0) << made.err;

  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::string fault;
    std::string output;  // holds "earlier" before the run and must keep it
    std::string part;    // must not exist afterwards
  } cases[] = {
      {"rebuild: output cannot be created",
       {Bin("jpatch"), dir.Sub("old/a.bin"), dir.Sub("a.diff"), dir.Sub("out")},
       Fault("open", 1, EACCES),
       dir.Sub("out"),
       dir.Sub("out.part")},
      {"rebuild from the second format: disk full",
       {Bin("jpatch"), dir.Sub("old/a.bin"), dir.Sub("a2.diff"), dir.Sub("out")},
       Fault("write", 1, ENOSPC),
       dir.Sub("out"),
       dir.Sub("out.part")},
      {"rebuild: flush fails",
       {Bin("jpatch"), dir.Sub("old/a.bin"), dir.Sub("a.diff"), dir.Sub("out")},
       Fault("fsync", 1, EIO),
       dir.Sub("out"),
       dir.Sub("out.part")},
      {"rebuild: rename fails",
       {Bin("jpatch"), dir.Sub("old/a.bin"), dir.Sub("a.diff"), dir.Sub("out")},
       Fault("rename", 1, ENOSPC),
       dir.Sub("out"),
       dir.Sub("out.part")},
      {"difference: disk full",
       {Bin("tarv-mkpatch"), "diff", dir.Sub("old/a.bin"), dir.Sub("new/a.bin"), dir.Sub("d")},
       Fault("write", 1, ENOSPC),
       dir.Sub("d"),
       dir.Sub("d.part")},
      {"difference: flush fails",
       {Bin("tarv-mkpatch"), "diff", dir.Sub("old/a.bin"), dir.Sub("new/a.bin"), dir.Sub("d")},
       Fault("fsync", 1, EIO),
       dir.Sub("d"),
       dir.Sub("d.part")},
      {"archive: flush fails",
       {Bin("tarv-mkpatch"), "patch", dir.Sub("old"), dir.Sub("new"), dir.Sub("p.zip")},
       Fault("fsync", 1, EIO),
       dir.Sub("p.zip"),
       dir.Sub("p.zip.part")},
      {"archive: rename fails",
       {Bin("tarv-mkpatch"), "patch", dir.Sub("old"), dir.Sub("new"), dir.Sub("p.zip")},
       Fault("rename", 1, EACCES),
       dir.Sub("p.zip"),
       dir.Sub("p.zip.part")},
      {"catalogue: rename fails",
       {Bin("tarv-mkpatch"), "chain", dir.Sub("server"), "1=" + dir.Sub("old"),
        "2=" + dir.Sub("new")},
       Fault("rename", 2, EIO),
       dir.Sub("server/patches.txt"),
       dir.Sub("server/patches.txt.part")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(c.output, "earlier");
    auto r = tarvtest::Run(c.argv, {c.fault});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(ReadFile(c.output), "earlier");
    EXPECT_FALSE(FileExists(c.part));
  }
  // The chain's archive was removed again when its catalogue failed.
  EXPECT_FALSE(FileExists(dir.Sub("server/1_to_2.zip")));
}

}  // namespace
