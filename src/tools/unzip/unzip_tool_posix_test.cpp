// The unpacker as a program, against archives made by Python's zipfile and
// by the zip command: every kind of ordinary entry comes out byte for byte;
// damaged archives fail; entries that try to leave the folder, and links,
// are refused without anything written outside it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using tarvtest::ReadFile;
using tarvtest::SnapshotTree;
using tarvtest::WriteFile;

std::string Unzip() { return tarvtest::BinDir() + "/tarv-unzip"; }

// Writes an archive with Python's zipfile. Each entry: name, content, and a
// kind: "stored", "deflated", "link" (a Unix symbolic link to the content),
// "dir".
struct Entry {
  std::string name, content, kind;
};
void PythonZip(const std::string& archive, const std::vector<Entry>& entries) {
  std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
      "a = sys.argv[2:]\n"
      "for i in range(0, len(a), 3):\n"
      "    name, data, kind = a[i], open(a[i+1], 'rb').read(), a[i+2]\n"
      "    info = zipfile.ZipInfo(name)\n"
      "    info.create_system = 3\n"
      "    info.external_attr = 0o100644 << 16\n"
      "    info.compress_type = zipfile.ZIP_DEFLATED if kind == 'deflated' else "
      "zipfile.ZIP_STORED\n"
      "    if kind == 'link': info.external_attr = 0o120777 << 16\n"
      "    if kind == 'dir': info.external_attr = (0o40755 << 16) | 0x10\n"
      "    z.writestr(info, data)\n"
      "z.close()\n";
  std::vector<std::string> argv = {"/usr/bin/python3", "-c", script, archive};
  std::vector<std::string> content_files;
  for (const auto& e : entries) {
    content_files.push_back(archive + ".content" + std::to_string(content_files.size()));
    WriteFile(content_files.back(), e.content);
    argv.insert(argv.end(), {e.name, content_files.back(), e.kind});
  }
  auto r = tarvtest::Run(argv);
  for (const auto& f : content_files) unlink(f.c_str());
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

TEST(UnzipToolTest, OrdinaryEntriesComeOutWhole) {
  tarvtest::ScopedTempDir dir;
  std::string big = tarvtest::RandomBytes(3 << 20, 4) + std::string(1 << 20, 'z');
  PythonZip(dir.Sub("p.zip"), {{"addedFiles.txt", "a\r\nb\r\nc\r\n", "deflated"},
                               {"data/", "", "dir"},
                               {"data/Sub Dir/Größe ü.txt", "umlaut", "stored"},
                               {"data/empty.txt", "", "stored"},
                               {"data/deep/er/big.bin", big, "deflated"},
                               {"data/日本/名前.dat", "kanji", "deflated"}});
  auto r = tarvtest::Run({Unzip(), "-o", "-x", dir.Sub("p.zip"), "-d", dir.Sub("out")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(SnapshotTree(dir.Sub("out")), (std::vector<std::pair<std::string, std::string>>{
                                              {"addedFiles.txt", "a\r\nb\r\nc\r\n"},
                                              {"data/", ""},
                                              {"data/Sub Dir/", ""},
                                              {"data/Sub Dir/Größe ü.txt", "umlaut"},
                                              {"data/deep/", ""},
                                              {"data/deep/er/", ""},
                                              {"data/deep/er/big.bin", big},
                                              {"data/empty.txt", ""},
                                              {"data/日本/", ""},
                                              {"data/日本/名前.dat", "kanji"}}));

  // The zip command, with its folder entries; an existing file is replaced.
  WriteFile(dir.Sub("tree/top.txt"), "top");
  WriteFile(dir.Sub("tree/Ä b/c.txt"), tarvtest::RandomBytes(100000, 2));
  WriteFile(dir.Sub("tree/Ä b/empty"), "");
  auto z = tarvtest::Run({"/bin/sh", "-c", "cd '" + dir.Sub("tree") + "' && zip -q -r ../z.zip ."});
  ASSERT_EQ(z.exit_code, 0) << z.err;
  WriteFile(dir.Sub("out2/top.txt"), "older content that is longer");
  r = tarvtest::Run({Unzip(), "-o", "-x", dir.Sub("z.zip"), "-d", dir.Sub("out2")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(SnapshotTree(dir.Sub("out2")), SnapshotTree(dir.Sub("tree")));
}

TEST(UnzipToolTest, DamagedArchivesFail) {
  tarvtest::ScopedTempDir dir;
  std::string content = tarvtest::RandomBytes(50000, 3);
  PythonZip(dir.Sub("good.zip"), {{"a.bin", content, "stored"}, {"b.bin", content, "deflated"}});
  std::string good = ReadFile(dir.Sub("good.zip"));
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;  // part of the message
  };
  std::string flipped_stored = good, flipped_deflated = good;
  flipped_stored[30 + 5 + 1000] ^= 0x01;  // inside a.bin's stored data
  flipped_deflated[good.size() / 2 + 25000] ^= 0x01;
  const Case kCases[] = {
      {"byte flipped in a stored entry", flipped_stored, "a.bin: has a wrong CRC"},
      {"byte flipped in a deflated entry", flipped_deflated, "b.bin: "},
      {"cut short", good.substr(0, good.size() - 30), "damaged"},
      {"cut in the middle", good.substr(0, good.size() / 2), "damaged"},
      {"not an archive", "this is not an archive", "damaged"},
  };
  for (const auto& c : kCases) {
    WriteFile(dir.Sub("bad.zip"), c.bytes);
    tarvtest::RemoveTree(dir.Sub("out"));
    auto r = tarvtest::Run({Unzip(), "-o", "-x", dir.Sub("bad.zip"), "-d", dir.Sub("out")});
    EXPECT_NE(r.exit_code, 0) << c.name;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << c.name << ": " << r.err;
    // Nothing wrong stays under an entry's name, and no temporary file.
    for (const auto& [path, data] : SnapshotTree(dir.Sub("out"))) {
      EXPECT_TRUE(data == content) << c.name << ": " << path;
    }
  }
}

TEST(UnzipToolTest, EntriesLeavingTheFolderAndLinksAreRefused) {
  tarvtest::ScopedTempDir dir;
  WriteFile(dir.Sub("secret.txt"), "secret");
  const std::vector<Entry> kCases[] = {
      {{"ok.txt", "ok", "stored"}, {"../evil.txt", "evil", "stored"}},
      {{"a/../../evil.txt", "evil", "deflated"}},
      {{"..\\evil.txt", "evil", "stored"}},
      {{"/tmp/evil-absolute.txt", "evil", "stored"}},
      {{"C:\\evil.txt", "evil", "stored"}},
      {{"link", dir.Sub("secret.txt"), "link"}},
      {{"dirlink", dir.path(), "link"}, {"dirlink/evil.txt", "evil", "stored"}},
  };
  auto outside_before = SnapshotTree(dir.path());
  int n = 0;
  for (const auto& entries : kCases) {
    std::string archive = dir.Sub("archives/" + std::to_string(n++) + ".zip");
    tarvtest::MakeDirs(dir.Sub("archives"));
    PythonZip(archive, entries);
    auto r = tarvtest::Run({Unzip(), "-o", "-x", archive, "-d", dir.Sub("work/out")});
    EXPECT_EQ(r.exit_code, 3) << entries.back().name << ": " << r.err;
    EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
    for (const auto& [path, data] : SnapshotTree(dir.Sub("work/out"))) {
      EXPECT_TRUE(path == "ok.txt") << path;
    }
    tarvtest::RemoveTree(dir.Sub("work"));
  }
  tarvtest::RemoveTree(dir.Sub("archives"));
  EXPECT_EQ(SnapshotTree(dir.path()), outside_before);
  EXPECT_FALSE(tarvtest::FileExists("/tmp/evil-absolute.txt"));
}

// Links planted inside the destination folder (a top folder, a nested one,
// the entry's own name) are never followed: the entry is refused with its
// reason naming the link, and nothing outside changes.
TEST(UnzipToolTest, LinksPlantedInTheFolderAreNotFollowed) {
  struct Case {
    const char* entry;
    const char* link;  // inside the destination, to the outside folder
    const char* to;
    const char* reason;
  };
  const Case cases[] = {
      {"Data/evil.txt", "Data", "", "refused: Data in the folder is a link"},
      {"Real/Sub/Deeper/evil.txt", "Real/Sub", "", "refused: Real/Sub in the folder is a link"},
      {"Real/Sub/", "Real/Sub", "", "refused: Real/Sub in the folder is a link"},
      {"victim.txt", "victim.txt", "/victim.txt", "refused: it is a link in the folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    tarvtest::ScopedTempDir dir;
    const std::string out = dir.Sub("out"), outside = dir.Sub("outside");
    WriteFile(outside + "/victim.txt", "outside");
    tarvtest::MakeDirs(out + "/Real");
    ASSERT_EQ(symlink((outside + c.to).c_str(), (out + "/" + c.link).c_str()), 0);
    const std::string name = c.entry;
    PythonZip(dir.Sub("p.zip"),
              {{name, name.back() == '/' ? "" : "evil", name.back() == '/' ? "dir" : "stored"}});
    const auto outside_before = SnapshotTree(outside);
    const auto out_before = SnapshotTree(out);
    auto r = tarvtest::Run({Unzip(), "-o", "-x", dir.Sub("p.zip"), "-d", out});
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(SnapshotTree(outside), outside_before);
    EXPECT_EQ(SnapshotTree(out), out_before);
  }
}

TEST(UnzipToolTest, ListingShowsEachEntryAndWhatUnpackingWouldRefuse) {
  tarvtest::ScopedTempDir dir;
  PythonZip(dir.Sub("p.zip"), {{"addedFiles.txt", "a\r\nb\r\nc\r\n", "deflated"},
                               {"data/", "", "dir"},
                               {"data/Größe ü.txt", "umlaut", "stored"},
                               {"../evil.txt", "evil", "stored"},
                               {"link", "/etc/passwd", "link"}});
  auto r = tarvtest::Run({Unzip(), "-l", dir.Sub("p.zip")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "      Length  Name\n"
            "------------  ----\n"
            "           9  addedFiles.txt\n"
            "           0  data/\n"
            "           6  data/Größe ü.txt\n"
            "           4  ../evil.txt  (refused: the name leaves the folder)\n"
            "          11  link  (refused: a link)\n"
            "------------  ----\n"
            "          30  5 entries\n");
  // Nothing is unpacked by a listing.
  EXPECT_FALSE(tarvtest::FileExists("addedFiles.txt"));
  auto missing = tarvtest::Run({Unzip(), "-l", dir.Sub("missing.zip")});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.out, "");
}

TEST(UnzipToolTest, CommandLine) {
  tarvtest::ScopedTempDir dir;
  PythonZip(dir.Sub("p.zip"), {{"f.txt", "f", "stored"}});
  const std::vector<std::string> kBad[] = {
      {Unzip()},
      {Unzip(), "-o", "-x"},
      {Unzip(), "-l"},
      {Unzip(), "-o", "-x", dir.Sub("p.zip"), "-d"},
      {Unzip(), dir.Sub("p.zip"), dir.Sub("p.zip")},
  };
  for (const auto& argv : kBad) {
    EXPECT_EQ(tarvtest::Run(argv).exit_code, 1) << argv.size();
  }
  EXPECT_EQ(
      tarvtest::Run({Unzip(), "-o", "-x", dir.Sub("missing.zip"), "-d", dir.Sub("o")}).exit_code,
      2);
  // The folder is made with its parents when missing.
  auto r = tarvtest::Run({Unzip(), "-o", "-x", dir.Sub("p.zip"), "-d", dir.Sub("new/deeper")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir.Sub("new/deeper/f.txt")), "f");
}

}  // namespace
