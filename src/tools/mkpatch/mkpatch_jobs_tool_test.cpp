// A patch made on many machines: `jobs` writes the plan and the commands,
// an engine runs them, `assemble` writes the archive. What a publisher must
// be able to rely on: the archive is the one `patch` makes, byte for byte,
// and an unfinished or outdated work folder is refused, never assembled.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"

namespace {

using tarvtest::ReadFile;
using tarvtest::WriteFile;

tarvtest::RunResult Mkpatch(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tarvtest::BinDir() + "/tarv-mkpatch"};
  argv.insert(argv.end(), args.begin(), args.end());
  return tarvtest::Run(argv);
}

// Versions with every kind of entry: changed files with small and large
// edits (a difference each), a file shipped whole (its difference would not
// be smaller), added files in new folders, deleted ones, unchanged ones.
void MakeTrees(const tarvtest::ScopedTempDir& dir) {
  const std::string data = tarvtest::RandomBytes(300000, 7);
  std::string edited = data;
  edited.replace(1000, 50, tarvtest::RandomBytes(50, 8));
  edited += "tail";
  WriteFile(dir.Sub("old/data/big.bin"), data);
  WriteFile(dir.Sub("new/data/big.bin"), edited);
  WriteFile(dir.Sub("old/readme.txt"), "version one\n");
  WriteFile(dir.Sub("new/readme.txt"), "version two\n");
  WriteFile(dir.Sub("old/noise.bin"), tarvtest::RandomBytes(4000, 1));
  WriteFile(dir.Sub("new/noise.bin"), tarvtest::RandomBytes(4000, 2));
  WriteFile(dir.Sub("old/same.txt"), "unchanged\n");
  WriteFile(dir.Sub("new/same.txt"), "unchanged\n");
  WriteFile(dir.Sub("old/gone.txt"), "deleted\n");
  WriteFile(dir.Sub("new/maps/it's new.txt"), "added, with a quote in its name\n");
}

// Runs each line of jobs.txt with the shell, as any engine would.
void RunJobsWithShell(const std::string& work) {
  auto r = tarvtest::Run({"/bin/sh", "-e", work + "/jobs.txt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

TEST(MkpatchJobs, AssembledArchiveIsTheArchivePatchMakes) {
  tarvtest::ScopedTempDir dir;
  MakeTrees(dir);
  for (const std::string format : {"1", "2", "best"}) {
    SCOPED_TRACE(format);
    const std::string work = dir.Sub("work-" + format);
    auto planned =
        Mkpatch({"jobs", "--level", "5", "--format", format, dir.Sub("old"), dir.Sub("new"), work});
    ASSERT_EQ(planned.exit_code, 0) << planned.err;
    // Three differences: the whole-shipped one is only known once made.
    EXPECT_NE(planned.out.find(": 3 differences to make"), std::string::npos) << planned.out;
    RunJobsWithShell(work);
    auto assembled = Mkpatch({"assemble", work, dir.Sub("assembled-" + format + ".zip")});
    ASSERT_EQ(assembled.exit_code, 0) << assembled.err;
    auto made = Mkpatch({"patch", "--level", "5", "--format", format, dir.Sub("old"),
                         dir.Sub("new"), dir.Sub("patch-" + format + ".zip")});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(ReadFile(dir.Sub("assembled-" + format + ".zip")),
              ReadFile(dir.Sub("patch-" + format + ".zip")));
    // The same summary line, under the archive's own name.
    const std::string summary = made.out.substr(made.out.rfind(".zip: "));
    EXPECT_EQ(assembled.out.substr(assembled.out.rfind(".zip: ")), summary);
  }
}

TEST(MkpatchJobs, GnuParallelRunsTheJobs) {
  if (access("/usr/bin/parallel", X_OK) != 0) GTEST_SKIP() << "GNU parallel is not installed";
  tarvtest::ScopedTempDir dir;
  MakeTrees(dir);
  const std::string work = dir.Sub("work");
  ASSERT_EQ(Mkpatch({"jobs", "--level", "3", dir.Sub("old"), dir.Sub("new"), work}).exit_code, 0);
  // ":" is the local machine as a login of its own; two jobs at a time.
  auto ran = tarvtest::Run(
      {"/bin/sh", "-c",
       "/usr/bin/parallel --will-cite -S : -j 2 --halt now,fail=1 < '" + work + "/jobs.txt'"});
  ASSERT_EQ(ran.exit_code, 0) << ran.err;
  ASSERT_EQ(Mkpatch({"assemble", work, dir.Sub("a.zip")}).exit_code, 0);
  ASSERT_EQ(Mkpatch({"patch", "--level", "3", dir.Sub("old"), dir.Sub("new"), dir.Sub("p.zip")})
                .exit_code,
            0);
  EXPECT_EQ(ReadFile(dir.Sub("a.zip")), ReadFile(dir.Sub("p.zip")));
}

TEST(MkpatchJobs, AnUnfinishedOrOutdatedWorkFolderIsRefused) {
  tarvtest::ScopedTempDir dir;
  MakeTrees(dir);
  struct {
    const char* name;
    std::function<void(const std::string& work)> spoil;
    std::string error;  // after the work folder's path
  } cases[] = {
      {"a job not run", [](const std::string& w) { unlink((w + "/diffs/0.diff").c_str()); },
       "/diffs/0.diff: the difference of data/big.bin is missing (its job has not run, or "
       "failed)"},
      {"a new file rebuilt after the jobs",
       [&](const std::string&) { WriteFile(dir.Sub("new/readme.txt"), "version two, rebuilt\n"); },
       ""},
      {"a damaged plan", [](const std::string& w) { WriteFile(w + "/plan.json", "{\"x\":"); },
       "/plan.json: not a plan written by this version of `tarv-mkpatch jobs`"},
      {"no plan", [](const std::string& w) { unlink((w + "/plan.json").c_str()); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir.Sub("new/readme.txt"), "version two\n");
    const std::string work = dir.Sub(std::string("work-") + c.name);
    ASSERT_EQ(Mkpatch({"jobs", dir.Sub("old"), dir.Sub("new"), work}).exit_code, 0);
    RunJobsWithShell(work);
    c.spoil(work);
    auto r = Mkpatch({"assemble", work, dir.Sub("out.zip")});
    EXPECT_EQ(r.exit_code, 1);
    if (!c.error.empty()) {
      EXPECT_EQ(r.err, "tarv-mkpatch: " + work + c.error + "\n");
    }
    EXPECT_FALSE(tarvtest::FileExists(dir.Sub("out.zip")));
  }
  // The rebuilt file is named.
  WriteFile(dir.Sub("new/readme.txt"), "version two\n");
  ASSERT_EQ(Mkpatch({"jobs", dir.Sub("old"), dir.Sub("new"), dir.Sub("w")}).exit_code, 0);
  RunJobsWithShell(dir.Sub("w"));
  WriteFile(dir.Sub("new/readme.txt"), "version 2!\n");
  auto r = Mkpatch({"assemble", dir.Sub("w"), dir.Sub("out.zip")});
  EXPECT_EQ(r.err, "tarv-mkpatch: " + dir.Sub("new") +
                       "/readme.txt: changed since `tarv-mkpatch jobs`; make the jobs again\n");
}

}  // namespace
