// tarv-mkpatch list: a publisher reads what a patch will do before shipping
// it. The listing must agree with the archive (every entry, its kind, the
// size it rebuilds, the format the difference is in) and must not hide an
// entry whose data is missing or damaged.
#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.h"

namespace {

using tarvtest::ReadFile;
using tarvtest::WriteFile;

tarvtest::RunResult Mkpatch(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tarvtest::BinDir() + "/tarv-mkpatch"};
  argv.insert(argv.end(), args.begin(), args.end());
  return tarvtest::Run(argv);
}

// "kind new-bytes format path" of each row, the data bytes left out.
std::vector<std::string> Rows(const std::string& out) {
  std::vector<std::string> rows;
  std::istringstream in(out);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, data, size, format, path;
    words >> kind >> data >> size >> format;
    std::getline(words >> std::ws, path);
    rows.push_back(kind + " " + size + " " + format + " " + path);
  }
  return rows;
}

class MkpatchList : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string code = tarvtest::RandomBytes(200000, 3);
    std::string edited = code;
    edited.replace(5000, 20, tarvtest::RandomBytes(20, 4));
    WriteFile(dir_.Sub("old/bin/game.bin"), code);
    WriteFile(dir_.Sub("new/bin/game.bin"), edited);
    WriteFile(dir_.Sub("old/gone.txt"), "deleted\n");
    WriteFile(dir_.Sub("new/maps/new map.txt"), "added\n");
  }
  tarvtest::ScopedTempDir dir_;
};

TEST_F(MkpatchList, EveryEntryWithItsSizeAndFormat) {
  for (const std::string format : {"1", "2"}) {
    SCOPED_TRACE(format);
    const std::string zip = dir_.Sub("p" + format + ".zip");
    ASSERT_EQ(Mkpatch({"patch", "--level", "3", "--format", format, dir_.Sub("old"),
                       dir_.Sub("new"), zip})
                  .exit_code,
              0);
    const std::vector<std::string> expected = {
        "added 6 whole maps/new map.txt",
        "deleted - - gone.txt",
        "patched 200000 " + format + " bin/game.bin",
    };
    auto listed = Mkpatch({"list", zip});
    EXPECT_EQ(listed.exit_code, 0) << listed.err;
    EXPECT_EQ(Rows(listed.out), expected) << listed.out;
    // The same patch unpacked, as the patcher's session folder holds it.
    const std::string project = dir_.Sub("project" + format);
    ASSERT_EQ(tarvtest::Run({tarvtest::BinDir() + "/tarv-unzip", zip, "-d", project}).exit_code, 0);
    auto unpacked = Mkpatch({"list", project});
    EXPECT_EQ(unpacked.exit_code, 0) << unpacked.err;
    EXPECT_EQ(unpacked.out, listed.out);
  }
}

TEST_F(MkpatchList, MissingOrDamagedDataIsShownAndFails) {
  const std::string zip = dir_.Sub("p.zip");
  ASSERT_EQ(
      Mkpatch({"patch", "--level", "3", "--format", "2", dir_.Sub("old"), dir_.Sub("new"), zip})
          .exit_code,
      0);
  struct {
    const char* name;
    std::function<void(const std::string& project)> spoil;
    std::string row;
  } cases[] = {
      {"difference cut short",
       [](const std::string& p) {
         const std::string diff = ReadFile(p + "/data/bin/game.bin.diff");
         WriteFile(p + "/data/bin/game.bin.diff", diff.substr(0, 60));
       },
       "patched - damaged bin/game.bin: not a difference of the second format"},
      {"difference missing",
       [](const std::string& p) { tarvtest::RemoveTree(p + "/data/bin/game.bin.diff"); },
       "patched - missing bin/game.bin"},
      {"added file missing",
       [](const std::string& p) { tarvtest::RemoveTree(p + "/data/maps/new map.txt"); },
       "added missing whole maps/new map.txt"},
      {"list broken",
       [](const std::string& p) { WriteFile(p + "/deletedFiles.txt", "one line only\r\n"); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string project = dir_.Sub(std::string("project ") + c.name);
    ASSERT_EQ(tarvtest::Run({tarvtest::BinDir() + "/tarv-unzip", zip, "-d", project}).exit_code, 0);
    c.spoil(project);
    auto r = Mkpatch({"list", project});
    EXPECT_EQ(r.exit_code, 1);
    const std::vector<std::string> rows = Rows(r.out);
    EXPECT_EQ(rows.size(), 3u) << r.out;  // every other entry is still listed
    if (!c.row.empty()) {
      EXPECT_NE(std::find(rows.begin(), rows.end(), c.row), rows.end()) << r.out;
    } else {
      EXPECT_NE(r.out.find("broken"), std::string::npos) << r.out;
    }
  }
  auto damaged = Mkpatch({"list", dir_.Sub("none.zip")});
  EXPECT_EQ(damaged.exit_code, 1);
  EXPECT_NE(damaged.err.find("none.zip: cannot be unpacked"), std::string::npos) << damaged.err;
}

}  // namespace
