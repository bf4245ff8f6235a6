#include "session/unpacker.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using tarvtest::ReadFile;
using tarvtest::WriteFile;

std::wstring Wide(const std::string& s) { return TarvUtil::FromFsPath(s); }

// An installation whose Binaries/miniunz.exe is a shell script: it records
// its arguments and its pid, sleeps, and exits with the given code.
struct FakeInstallation {
  tarvtest::ScopedTempDir dir;
  std::string root;
  std::string Record() const { return dir.Sub("argv.txt"); }
  std::string PidFile() const { return dir.Sub("pid.txt"); }

  FakeInstallation(const std::string& folder_name, const std::string& body)
      : root(dir.Sub(folder_name)) {
    const std::string script = "#!/bin/sh\necho $$ > '" + PidFile() +
                               "'\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + Record() +
                               "'\n" + body + "\n";
    WriteFile(root + "/Binaries/miniunz.exe", script);
    chmod((root + "/Binaries/miniunz.exe").c_str(), 0755);
  }

  UnpackRequest Request(std::function<bool()> cancelled = nullptr) const {
    UnpackRequest r;
    r.install_dir = Wide(root);
    r.archive = Wide(dir.Sub("tmp/1.0_to_1.1.zip"));
    r.work_folder = Wide(dir.Sub("tmp/file17"));
    r.cancelled = std::move(cancelled);
    return r;
  }
};

TEST(Unpacker, ExitCodeDecidesTheOutcome) {
  struct Case {
    const char* body;
    UnpackOutcome outcome;
  };
  const Case cases[] = {
      {"exit 0", UnpackOutcome::kUnpacked},
      {"exit 1", UnpackOutcome::kFailed},
      {"exit 255", UnpackOutcome::kFailed},
      {"kill -SEGV $$", UnpackOutcome::kFailed},
      {"sleep 2.5; exit 0", UnpackOutcome::kUnpacked},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    FakeInstallation inst("Tarv", c.body);
    EXPECT_EQ(RunUnpacker(inst.Request()), c.outcome);
  }
}

TEST(Unpacker, StartedWithTheDocumentedArgumentsAndNoShell) {
  // Blanks and a quote in the folder must reach the unpacker untouched.
  FakeInstallation inst("Program Files/Tarv 'Gold'", "exit 0");
  ASSERT_EQ(RunUnpacker(inst.Request()), UnpackOutcome::kUnpacked);
  EXPECT_EQ(ReadFile(inst.Record()), "-o\n-x\n" + inst.dir.Sub("tmp/1.0_to_1.1.zip") + "\n-d\n" +
                                         inst.dir.Sub("tmp/file17") + "\n");
}

TEST(Unpacker, CommandLineAsShown) {
  EXPECT_EQ(
      UnpackerCommandLine(L"C:\\Games\\Tarv", L"C:\\temp\\1.0_to_1.1.zip", L"C:\\temp\\file5"),
      L"C:\\Games\\Tarv\\Binaries\\miniunz.exe -o -x \"C:\\temp\\1.0_to_1.1.zip\" -d "
      L"\"C:\\temp\\file5\"");
  const auto argv = UnpackerArgv(L"/opt/Tarv Gold", L"/t/a.zip", L"/t/file1");
  EXPECT_EQ(argv, (std::vector<std::string>{"/opt/Tarv Gold/Binaries/miniunz.exe", "-o", "-x",
                                            "/t/a.zip", "-d", "/t/file1"}));
}

TEST(Unpacker, MissingOrUnstartableUnpacker) {
  tarvtest::ScopedTempDir dir;
  UnpackRequest r;
  r.install_dir = Wide(dir.Sub("nothing-here"));
  r.archive = Wide(dir.Sub("a.zip"));
  r.work_folder = Wide(dir.Sub("w"));
  EXPECT_EQ(RunUnpacker(r), UnpackOutcome::kNotStarted);
  WriteFile(dir.Sub("nothing-here/Binaries/miniunz.exe"), "#!/bin/sh\nexit 0\n");  // not executable
  EXPECT_EQ(RunUnpacker(r), UnpackOutcome::kNotStarted);
}

TEST(Unpacker, WaitsInSlicesAndAsksAfterEachUnfinishedOne) {
  FakeInstallation inst("Tarv", "sleep 2.5; exit 0");
  std::atomic<int> asked{0};
  EXPECT_EQ(RunUnpacker(inst.Request([&] { return ++asked, false; })), UnpackOutcome::kUnpacked);
  // 2.5 s in slices of 1000 ms: at least two slices end unfinished.
  EXPECT_GE(asked.load(), 2);
}

TEST(Unpacker, CancelTerminatesTheUnpacker) {
  FakeInstallation inst("Tarv", "exec sleep 600");
  int asked = 0;
  EXPECT_EQ(RunUnpacker(inst.Request([&] { return ++asked == 2; })), UnpackOutcome::kCancelled);
  EXPECT_EQ(asked, 2);
  const int pid = std::stoi(ReadFile(inst.PidFile()));
  EXPECT_NE(kill(pid, 0), 0) << "the unpacker still runs";
}

TEST(Unpacker, ArchiveAndWorkFolderNames) {
  tarvtest::ScopedTempDir dir;
  tarvtest::MakeDirs(dir.Sub("t"));
  const std::wstring temp = Wide(dir.Sub("t"));
  std::wstring archive;
  ASSERT_TRUE(MakeArchivePath(temp, L"1.0_to_1.1", &archive));
  EXPECT_EQ(archive, temp + L"/1.0_to_1.1.zip");
  EXPECT_EQ(ReadFile(dir.Sub("t/1.0_to_1.1.zip")), "");
  for (const wchar_t* bad : {L"", L"../x", L"a\\b"}) {
    EXPECT_FALSE(MakeArchivePath(temp, bad, &archive)) << bad;
    EXPECT_EQ(archive, L"");
  }
  std::wstring first, second;
  ASSERT_TRUE(MakeWorkFolder(temp, &first));
  ASSERT_TRUE(MakeWorkFolder(temp, &second));
  EXPECT_NE(first, second);
  struct stat st;
  ASSERT_EQ(lstat(TarvUtil::FsPath(first).c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(first.rfind(temp + L"/file", 0), 0u);
  WriteFile(dir.Sub("blocker"), "x");
  std::wstring blocked;
  EXPECT_FALSE(MakeWorkFolder(Wide(dir.Sub("blocker")), &blocked));
}

// Names planted in the folder before the session takes them are never used
// as they are: not written through, not extracted into.
TEST(Unpacker, PlantedNamesAreNeverUsed) {
  tarvtest::ScopedTempDir dir;
  tarvtest::MakeDirs(dir.Sub("t"));
  tarvtest::MakeDirs(dir.Sub("elsewhere"));
  WriteFile(dir.Sub("victim"), "keep");
  const std::wstring temp = Wide(dir.Sub("t"));
  ASSERT_EQ(symlink(dir.Sub("victim").c_str(), dir.Sub("t/1_to_2.zip").c_str()), 0);
  ASSERT_EQ(symlink(dir.Sub("missing").c_str(), dir.Sub("t/2_to_3.zip").c_str()), 0);
  std::wstring archive;
  EXPECT_FALSE(MakeArchivePath(temp, L"1_to_2", &archive));
  EXPECT_FALSE(MakeArchivePath(temp, L"2_to_3", &archive));
  EXPECT_EQ(ReadFile(dir.Sub("victim")), "keep");
  EXPECT_FALSE(tarvtest::FileExists(dir.Sub("missing")));

  // The counter's next name is planted as a link to another folder.
  const std::wstring probe = TarvUtil::MakeTempFilePath(temp);
  const unsigned long next =
      std::stoul(TarvUtil::FsPath(probe).substr(dir.Sub("t/file").size())) + 1;
  const std::string planted = dir.Sub("t/file" + std::to_string(next));
  ASSERT_EQ(symlink(dir.Sub("elsewhere").c_str(), planted.c_str()), 0);
  std::wstring work;
  ASSERT_TRUE(MakeWorkFolder(temp, &work));
  EXPECT_NE(TarvUtil::FsPath(work), planted);
  struct stat st;
  ASSERT_EQ(lstat(TarvUtil::FsPath(work).c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
}  // namespace TarvPatch

namespace TarvPatch {
namespace {

// A real archive unpacked by the real unpackers an installation may carry:
// ours (tarv-unzip) and Debian's miniunzip, which takes the same command
// line. A flipped byte inside an entry must fail ours.
TEST(Unpacker, RealUnpackers) {
  struct Case {
    const char* name;
    std::string program;
    bool flip;
    UnpackOutcome outcome;
  };
  const Case cases[] = {
      {"tarv-unzip", tarvtest::BinDir() + "/tarv-unzip", false, UnpackOutcome::kUnpacked},
      {"tarv-unzip, flipped byte", tarvtest::BinDir() + "/tarv-unzip", true,
       UnpackOutcome::kFailed},
      {"miniunzip", "/usr/bin/miniunzip", false, UnpackOutcome::kUnpacked},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.program == "/usr/bin/miniunzip" && !tarvtest::FileExists(c.program)) {
      GTEST_SKIP() << "Debian's miniunzip is not installed";
    }
    ASSERT_TRUE(tarvtest::FileExists(c.program)) << c.program;
    tarvtest::ScopedTempDir dir;
    const std::string payload = tarvtest::RandomBytes(50000, 3);
    tarvtest::MakeDirs(dir.Sub("tmp"));
    WriteFile(dir.Sub("src/addedFiles.txt"), "Data\\a b.pak\nx\ny\n");
    WriteFile(dir.Sub("src/data/Data/a b.pak"), payload);
    const auto zipped =
        tarvtest::Run({"/usr/bin/python3", "-c",
                       "import sys, zipfile\n"
                       "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n"
                       "  z.write(sys.argv[2] + '/addedFiles.txt', 'addedFiles.txt')\n"
                       "  z.write(sys.argv[2] + '/data/Data/a b.pak', 'data/Data/a b.pak')\n",
                       dir.Sub("tmp/p.zip"), dir.Sub("src")});
    ASSERT_EQ(zipped.exit_code, 0) << zipped.err;
    if (c.flip) {
      std::string bytes = ReadFile(dir.Sub("tmp/p.zip"));
      const size_t at = bytes.find(payload.substr(20000, 32));
      ASSERT_NE(at, std::string::npos);
      bytes[at] ^= 0x01;
      WriteFile(dir.Sub("tmp/p.zip"), bytes);
    }
    const std::string root = dir.Sub("Tarv Game");
    WriteFile(root + "/Binaries/miniunz.exe", ReadFile(c.program));
    chmod((root + "/Binaries/miniunz.exe").c_str(), 0755);
    tarvtest::MakeDirs(dir.Sub("tmp/file1"));
    UnpackRequest r;
    r.install_dir = Wide(root);
    r.archive = Wide(dir.Sub("tmp/p.zip"));
    r.work_folder = Wide(dir.Sub("tmp/file1"));
    EXPECT_EQ(RunUnpacker(r), c.outcome);
    if (c.outcome == UnpackOutcome::kUnpacked) {
      EXPECT_TRUE(ReadFile(dir.Sub("tmp/file1/data/Data/a b.pak")) == payload);
      EXPECT_EQ(ReadFile(dir.Sub("tmp/file1/addedFiles.txt")), "Data\\a b.pak\nx\ny\n");
    }
  }
}

}  // namespace
}  // namespace TarvPatch
