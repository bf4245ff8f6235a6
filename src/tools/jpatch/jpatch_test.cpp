// The difference tool as a program: differences made by the standard zstd
// command apply; every bad input ends with its exit code, no output and no
// part file, and an existing output stays as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "support/test_support.h"

namespace {

using tarvtest::FileExists;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

std::string Jpatch() { return tarvtest::BinDir() + "/jpatch"; }

int Zstd(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/zstd", "-q", "-f"};
  argv.insert(argv.end(), args.begin(), args.end());
  return tarvtest::Run(argv).exit_code;
}

// Old and new content sharing most of their bytes, with the new one moved
// around so that the difference really refers to the old file.
struct Pair {
  std::string old_content, new_content;
};
Pair MakePair(size_t size, unsigned seed) {
  std::string base = tarvtest::RandomBytes(size, seed);
  std::string changed = base;
  for (size_t i = 0; i < changed.size(); i += 4093) changed[i] ^= 0x5a;
  return {base, "header" + changed + "trailer"};
}

TEST(JpatchTest, DifferencesOfTheZstdCommandApply) {
  tarvtest::ScopedTempDir dir;
  struct Case {
    const char* name;
    Pair pair;
    std::vector<std::string> options;
  };
  const Case kCases[] = {
      {"level 19 long", MakePair(300000, 1), {"-19", "--long=31"}},
      {"level 1", MakePair(300000, 2), {"-1"}},
      {"level 3 long", MakePair(70000, 3), {"-3", "--long=31"}},
      {"empty old", {"", "brand new content"}, {"-3"}},
  };
  for (const auto& c : kCases) {
    WriteFile(dir.Sub("old"), c.pair.old_content);
    WriteFile(dir.Sub("new"), c.pair.new_content);
    WriteFile(dir.Sub("out"), "previous output");
    std::vector<std::string> args = c.options;
    args.insert(args.end(),
                {"--patch-from=" + dir.Sub("old"), dir.Sub("new"), "-o", dir.Sub("diff")});
    ASSERT_EQ(Zstd(args), 0) << c.name;
    // The digest line goes to the descriptor the caller names.
    auto r = tarvtest::Run({"/bin/sh", "-c", "exec \"$@\" 3>\"$0\"", dir.Sub("digest"), Jpatch(),
                            dir.Sub("old"), dir.Sub("diff"), dir.Sub("out")},
                           {"TARV_DIGEST_FD=3"});
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    EXPECT_TRUE(ReadFile(dir.Sub("out")) == c.pair.new_content) << c.name;
    EXPECT_FALSE(FileExists(dir.Sub("out.part"))) << c.name;
    struct stat st;
    ASSERT_EQ(stat(dir.Sub("out").c_str(), &st), 0);
    const std::string md5 = tarvtest::Run({"/usr/bin/md5sum", dir.Sub("out")}).out.substr(0, 32);
    EXPECT_EQ(ReadFile(dir.Sub("digest")),
              md5 + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_dev) + " " +
                  std::to_string(st.st_ino) + " " +
                  std::to_string(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec) + "\n")
        << c.name;
  }
}

TEST(JpatchTest, BadInputEndsWithItsExitCodeAndLeavesNothing) {
  tarvtest::ScopedTempDir dir;
  const std::string old_path = dir.Sub("old"), diff = dir.Sub("diff"), out = dir.Sub("out");
  Pair pair = MakePair(200000, 5);
  auto rewrite = [&](const std::function<void(std::string&)>& change) {
    std::string d = ReadFile(diff);
    change(d);
    WriteFile(diff, d);
  };
  struct Case {
    const char* name;
    std::function<void()> setup;
    std::vector<std::string> argv;  // empty: OLD DIFF OUT
    int code;
  };
  const Case kCases[] = {
      {"no arguments", [] {}, {Jpatch()}, 1},
      {"two arguments", [] {}, {Jpatch(), old_path, diff}, 1},
      {"four arguments", [] {}, {Jpatch(), old_path, diff, out, out}, 1},
      {"empty argument", [] {}, {Jpatch(), old_path, "", out}, 1},
      {"old missing", [&] { unlink(old_path.c_str()); }, {}, 2},
      {"old is a folder", [&] { unlink(old_path.c_str()), mkdir(old_path.c_str(), 0755); }, {}, 2},
      {"difference missing", [&] { unlink(diff.c_str()); }, {}, 3},
      {"difference empty", [&] { WriteFile(diff, ""); }, {}, 3},
      {"not a zstd frame", [&] { WriteFile(diff, "PK\3\4 this is no difference"); }, {}, 3},
      {"byte flipped", [&] { rewrite([](std::string& d) { d[d.size() / 2] ^= 1; }); }, {}, 3},
      {"checksum flipped", [&] { rewrite([](std::string& d) { d.back() ^= 1; }); }, {}, 3},
      {"cut short", [&] { rewrite([](std::string& d) { d.resize(d.size() - 9); }); }, {}, 3},
      {"data after the frame", [&] { rewrite([](std::string& d) { d += "junk"; }); }, {}, 3},
      {"another old file", [&] { WriteFile(old_path, pair.old_content + "shifted"); }, {}, 3},
      {"no output size recorded",
       [&] {
         Zstd({"-3", "--no-content-size", "--patch-from=" + old_path, dir.Sub("new"), "-o", diff});
       },
       {},
       3},
      {"no checksum",
       [&] {
         Zstd({"-3", "--no-check", "--patch-from=" + old_path, dir.Sub("new"), "-o", diff});
       },
       {},
       3},
      {"output folder missing", [] {}, {Jpatch(), old_path, diff, dir.Sub("none/out")}, 4},
  };
  for (const auto& c : kCases) {
    tarvtest::RemoveTree(old_path);
    WriteFile(old_path, pair.old_content);
    WriteFile(dir.Sub("new"), pair.new_content);
    ASSERT_EQ(Zstd({"-3", "--patch-from=" + old_path, dir.Sub("new"), "-o", diff}), 0);
    WriteFile(out, "previous output");
    c.setup();
    std::vector<std::string> argv = c.argv;
    if (argv.empty()) argv = {Jpatch(), old_path, diff, out};
    auto r = tarvtest::Run(argv);
    EXPECT_EQ(r.exit_code, c.code) << c.name << ": " << r.err;
    EXPECT_FALSE(r.err.empty()) << c.name;
    EXPECT_TRUE(ReadFile(out) == "previous output") << c.name;
    EXPECT_FALSE(FileExists(out + ".part")) << c.name;
  }
}

TEST(JpatchTest, PlantedPartFileIsNeverWrittenThrough) {
  tarvtest::ScopedTempDir dir;
  Pair pair = MakePair(50000, 6);
  WriteFile(dir.Sub("old"), pair.old_content);
  WriteFile(dir.Sub("new"), pair.new_content);
  WriteFile(dir.Sub("victim"), "victim");
  ASSERT_EQ(Zstd({"--patch-from=" + dir.Sub("old"), dir.Sub("new"), "-o", dir.Sub("diff")}), 0);
  ASSERT_EQ(symlink(dir.Sub("victim").c_str(), dir.Sub("out.part").c_str()), 0);
  auto r = tarvtest::Run({Jpatch(), dir.Sub("old"), dir.Sub("diff"), dir.Sub("out")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir.Sub("victim")), "victim");
  EXPECT_TRUE(ReadFile(dir.Sub("out")) == pair.new_content);
}

// A large file with scattered small changes (smaller under the sanitizers,
// which slow every byte down).
TEST(JpatchTest, LargeFileWithScatteredChanges) {
  tarvtest::ScopedTempDir dir;
  size_t size = tarvtest::Sanitized() ? (8u << 20) : (100u << 20);
  std::string old_content = tarvtest::RandomBytes(size, 8);
  std::string new_content = old_content;
  for (size_t i = 7; i < new_content.size(); i += 1000003) new_content[i] ^= 0x77;
  new_content.insert(size / 3, "inserted in the middle");
  WriteFile(dir.Sub("old"), old_content);
  WriteFile(dir.Sub("new"), new_content);
  ASSERT_EQ(Zstd({"-1", "--long=31", "--patch-from=" + dir.Sub("old"), dir.Sub("new"), "-o",
                  dir.Sub("diff")}),
            0);
  // GNU time reports the peak resident size: the mapped files are dropped
  // as the decoder passes them, so the peak stays well below the file size.
  auto r = tarvtest::Run({"/usr/bin/time", "-f", "%M", "-o", dir.Sub("peak"), Jpatch(),
                          dir.Sub("old"), dir.Sub("diff"), dir.Sub("out")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir.Sub("out")) == new_content);
  if (!tarvtest::Sanitized()) {
    long peak_kib = std::stol(ReadFile(dir.Sub("peak")));
    EXPECT_LT(peak_kib * 1024, static_cast<long>(size)) << peak_kib << " KiB";
  }
}

}  // namespace
