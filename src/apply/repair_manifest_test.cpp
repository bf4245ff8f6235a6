#include "apply/repair_manifest.h"

#include <gtest/gtest.h>

namespace {

using TarvPatch::ManifestEntry;
using TarvPatch::RepairManifest;

const std::string kA(64, 'a');

TEST(RepairManifest, ParsesWhatFormatWrites) {
  std::vector<ManifestEntry> entries = {{"Binaries\\Game.exe", 12345, kA},
                                        {"Data\\a file with blanks.dat", 0, std::string(64, '0')},
                                        {"top.txt", 9223372036854775807ull, kA}};
  RepairManifest m;
  std::string error;
  ASSERT_TRUE(m.Parse(RepairManifest::Format(entries), &error)) << error;
  ASSERT_EQ(m.Entries().size(), 3u);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(m.Entries()[i].path, entries[i].path);
    EXPECT_EQ(m.Entries()[i].size, entries[i].size);
    EXPECT_EQ(m.Entries()[i].sha256, entries[i].sha256);
  }
  EXPECT_EQ(TarvPatch::ObjectAddress(kA), "objects/aa/" + kA + ".zst");
}

TEST(RepairManifest, RefusesBadLinesNamingTheLine) {
  struct Case {
    std::string text;
    std::string error;  // empty: accepted
  };
  const std::string ok = kA + " 1 a.txt\n";
  const Case cases[] = {
      {"", ""},
      {ok, ""},
      {kA + " 1 a.txt", ""},        // no final line end
      {kA + " 1 a.txt\r\n", ""},    // CR LF
      {kA + " 1 dir/a.txt\n", ""},  // either separator
      {ok + "\n", "line 2: expected \"<sha256> <size> <path>\""},
      {ok + kA + " 1\n", "line 2: expected \"<sha256> <size> <path>\""},
      {std::string(64, 'A') + " 1 a\n",
       "line 1: the digest is not 64 lower-case hexadecimal digits"},
      {kA + "a 1 a\n", "line 1: the digest is not 64 lower-case hexadecimal digits"},
      {kA + " -1 a\n", "line 1: the size is not a decimal number"},
      {kA + " 01 a\n", "line 1: the size is not a decimal number"},
      {kA + " 9223372036854775808 a\n", "line 1: the size is not a decimal number"},
      {kA + " 99999999999999999999 a\n", "line 1: the size is not a decimal number"},
      {kA + " 1 ..\\x\n", "line 1: the path leaves the installation or names no file"},
      {kA + " 1 dir\\\n", "line 1: the path leaves the installation or names no file"},
      {kA + " 1 a\xff\n", "line 1: the path leaves the installation or names no file"},
      {ok + kA + " 2 A.txt\n" + kA + " 3 \\a.txt\n", "line 3: the path is listed twice"},
      {ok + kA + " 2 x\\..\\a.txt\n", "line 2: the path leaves the installation or names no file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RepairManifest m;
    std::string error;
    EXPECT_EQ(m.Parse(c.text, &error), c.error.empty());
    EXPECT_EQ(error, c.error);
    if (!c.error.empty()) {
      EXPECT_TRUE(m.Entries().empty());
    }
  }
}

}  // namespace
