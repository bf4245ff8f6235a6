// The publisher's tool end to end with the real programs: patches made from
// two trees turn the old tree into the new one through the patcher's own
// applier, unpack the same with tarv-unzip and Debian's miniunzip, and every
// error leaves nothing half-written behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "support/test_support.h"

namespace {

using tarvtest::FileExists;
using tarvtest::ReadFile;
using tarvtest::SnapshotTree;
using tarvtest::WriteFile;
using Snapshot = std::vector<std::pair<std::string, std::string>>;

std::string Bin(const std::string& name) { return tarvtest::BinDir() + "/" + name; }

tarvtest::RunResult Mkpatch(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {Bin("tarv-mkpatch")};
  argv.insert(argv.end(), args.begin(), args.end());
  return tarvtest::Run(argv);
}

// Files only (the applier never removes folders), compared so that a
// mismatch prints names rather than megabytes.
Snapshot Files(const std::string& root) {
  Snapshot out;
  for (auto& e : SnapshotTree(root)) {
    if (e.first.back() != '/') out.push_back(std::move(e));
  }
  return out;
}
bool SameTree(const std::string& a, const std::string& b) {
  Snapshot sa = Files(a), sb = Files(b);
  if (sa == sb) return true;
  for (size_t i = 0; i < std::max(sa.size(), sb.size()); ++i) {
    std::string na = i < sa.size() ? sa[i].first : "-", nb = i < sb.size() ? sb[i].first : "-";
    bool same = na == nb && sa[i].second == sb[i].second;
    if (!same) ADD_FAILURE() << "first difference: " << na << " / " << nb;
    if (!same) break;
  }
  return false;
}

void CopyTree(const std::string& from, const std::string& to) {
  auto r = tarvtest::Run({"/bin/cp", "-a", from + "/.", to});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

size_t LargeSize() { return tarvtest::Sanitized() ? (8u << 20) : (100u << 20); }

// An installation with every kind of change between its two versions.
void MakeTrees(const std::string& old_dir, const std::string& new_dir) {
  std::string tool = ReadFile(Bin("jpatch"));
  for (const auto& d : {old_dir, new_dir}) {
    WriteFile(d + "/Binaries/jpatchl-w32.exe", tool);
    chmod((d + "/Binaries/jpatchl-w32.exe").c_str(), 0755);
    WriteFile(d + "/same/unchanged.txt", "the same in both");
    WriteFile(d + "/same/empty", "");
  }
  std::string large = tarvtest::RandomBytes(LargeSize(), 21);
  WriteFile(old_dir + "/Data/Big Archive.pak", large);
  for (size_t i = 11; i < large.size(); i += 7777777) large[i] ^= 0x3c;
  large.insert(large.size() / 2, "a few bytes more");
  WriteFile(new_dir + "/Data/Big Archive.pak", large);

  std::string launcher = tarvtest::RandomBytes(200000, 22);
  WriteFile(old_dir + "/Bin/TarvLauncher.exe", launcher);
  WriteFile(new_dir + "/Bin/TarvLauncher.exe", launcher + "version 2");
  std::string text = tarvtest::RandomBytes(30000, 23);
  WriteFile(old_dir + "/Lang/Français/Menü Texte.txt", text);
  WriteFile(new_dir + "/Lang/Français/Menü Texte.txt", "neu " + text);
  WriteFile(old_dir + "/grows from empty", "");
  WriteFile(new_dir + "/grows from empty", "now with content");
  WriteFile(old_dir + "/becomes empty", "content that goes");
  WriteFile(new_dir + "/becomes empty", "");

  WriteFile(old_dir + "/Old Folder/removed.dat", "removed");
  WriteFile(old_dir + "/removed at top", "gone");
  WriteFile(new_dir + "/Neue Ordner/tief/hinzu ß.dat", tarvtest::RandomBytes(5000, 24));
  WriteFile(new_dir + "/added empty", "");
}

TEST(MkpatchToolTest, PatchThenApplyTurnsTheOldTreeIntoTheNewOne) {
  tarvtest::ScopedTempDir dir;
  const std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new"), inst = dir.Sub("game");
  MakeTrees(old_dir, new_dir);
  auto r = Mkpatch({"patch", "--level", "3", old_dir, new_dir, dir.Sub("p.zip")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(FileExists(dir.Sub("p.zip.part")));

  // Both unpackers give the same layout.
  r = tarvtest::Run({Bin("tarv-unzip"), "-o", "-x", dir.Sub("p.zip"), "-d", dir.Sub("ours")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  tarvtest::MakeDirs(dir.Sub("debian"));
  r = tarvtest::Run({"/usr/bin/miniunzip", "-o", "-x", dir.Sub("p.zip"), "-d", dir.Sub("debian")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(SameTree(dir.Sub("ours"), dir.Sub("debian")));
  EXPECT_TRUE(FileExists(dir.Sub("ours/data/Data/Big Archive.pak.diff")));
  EXPECT_TRUE(FileExists(dir.Sub("ours/data/Neue Ordner/tief/hinzu ß.dat")));
  EXPECT_FALSE(FileExists(dir.Sub("ours/data/same")));  // unchanged files are left out
  std::string patched = ReadFile(dir.Sub("ours/patchedFiles.txt"));
  EXPECT_NE(patched.find("Bin\\TarvLauncher.exe\r\n"), std::string::npos) << patched;
  EXPECT_NE(patched.find("Lang\\Français\\Menü Texte.txt\r\n"), std::string::npos) << patched;
  std::string deleted = ReadFile(dir.Sub("ours/deletedFiles.txt"));
  EXPECT_NE(deleted.find("Old Folder\\removed.dat\r\n"), std::string::npos) << deleted;

  tarvtest::MakeDirs(inst);
  CopyTree(old_dir, inst);
  r = Mkpatch({"apply", dir.Sub("p.zip"), inst});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(SameTree(inst, new_dir));

  // Again, from the unpacked folder: every patched file is already new.
  r = Mkpatch({"apply", dir.Sub("debian"), inst});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  size_t already = 0;
  for (size_t p = 0; (p = r.out.find("[1] Existing file appears to have been patched already: ",
                                     p)) != std::string::npos;
       ++p) {
    ++already;
  }
  size_t entries = 0;
  for (size_t p = 0; (p = patched.find("\r\n", p)) != std::string::npos; p += 2) ++entries;
  EXPECT_EQ(already, entries / 3) << r.out;
  EXPECT_EQ(r.out.find("[2]"), std::string::npos) << r.out;
  EXPECT_TRUE(SameTree(inst, new_dir));
}

TEST(MkpatchToolTest, ChangedFilesThatCannotBeDifferencedAreShippedWhole) {
  tarvtest::ScopedTempDir dir;
  const std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new");
  WriteFile(old_dir + "/random.bin", tarvtest::RandomBytes(4000, 1));
  WriteFile(new_dir + "/random.bin", tarvtest::RandomBytes(4000, 2));  // nothing in common
  WriteFile(old_dir + "/Binaries/jpatchl-w32.exe", "old tool " + tarvtest::RandomBytes(9000, 3));
  WriteFile(new_dir + "/Binaries/jpatchl-w32.exe", "new tool " + tarvtest::RandomBytes(9000, 3));
  if (!tarvtest::Sanitized()) {
    // An old version beyond the difference window (sparse, so cheap on disk).
    int fd = open((old_dir + "/huge.pak").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 2ll << 30), 0);
    close(fd);
    WriteFile(new_dir + "/huge.pak", "small now");
  }
  auto r = Mkpatch({"patch", "--level", "3", old_dir, new_dir, dir.Sub("p.zip")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = tarvtest::Run({Bin("tarv-unzip"), "-o", "-x", dir.Sub("p.zip"), "-d", dir.Sub("p")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir.Sub("p/patchedFiles.txt")), "");
  std::string added = ReadFile(dir.Sub("p/addedFiles.txt"));
  EXPECT_NE(added.find("random.bin\r\n"), std::string::npos);
  EXPECT_NE(added.find("Binaries\\jpatchl-w32.exe\r\n"), std::string::npos);
  if (!tarvtest::Sanitized()) {
    EXPECT_NE(added.find("huge.pak\r\n"), std::string::npos);
  }
  EXPECT_TRUE(ReadFile(dir.Sub("p/data/random.bin")) == ReadFile(new_dir + "/random.bin"));
}

TEST(MkpatchToolTest, ChainWritesArchivesAndCatalogue) {
  tarvtest::ScopedTempDir dir;
  WriteFile(dir.Sub("v10/a.txt"), "one " + tarvtest::RandomBytes(3000, 5));
  WriteFile(dir.Sub("v11/a.txt"), "two " + tarvtest::RandomBytes(3000, 5));
  WriteFile(dir.Sub("v11/b.txt"), "b");
  WriteFile(dir.Sub("v12/a.txt"), "three " + tarvtest::RandomBytes(3000, 5));
  auto r = Mkpatch({"chain", "--level", "3", dir.Sub("server"), "1.0=" + dir.Sub("v10"),
                    "1.1=" + dir.Sub("v11"), "1.2=" + dir.Sub("v12")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Each record names its archive's size and SHA-256; the repair
  // manifests' records follow the patch records.
  auto bound = [&](const std::string& step) {
    const std::string zip = ReadFile(dir.Sub("server/" + step + ".zip"));
    return "patch-data-size: " + std::to_string(zip.size()) +
           "\r\npatch-data-sha256: " + TarvCrypto::Sha256Hex(zip.data(), zip.size()) + "\r\n";
  };
  const std::string catalogue = ReadFile(dir.Sub("server/patches.txt"));
  EXPECT_EQ(catalogue.substr(0, catalogue.find("\r\n\r\nmanifest-") + 2),
            "source-version: 1.0\r\ntarget-version: 1.1\r\npatch-exe-url: 1.0_to_1.1.exe\r\n"
            "patch-data-url: 1.0_to_1.1.zip\r\n" +
                bound("1.0_to_1.1") +
                "\r\n"
                "source-version: 1.1\r\ntarget-version: 1.2\r\npatch-exe-url: 1.1_to_1.2.exe\r\n"
                "patch-data-url: 1.1_to_1.2.zip\r\n" +
                bound("1.1_to_1.2"));
  tarvtest::MakeDirs(dir.Sub("game/Binaries"));
  CopyTree(dir.Sub("v10"), dir.Sub("game"));
  WriteFile(dir.Sub("game/Binaries/jpatchl-w32.exe"), ReadFile(Bin("jpatch")));
  chmod(dir.Sub("game/Binaries/jpatchl-w32.exe").c_str(), 0755);
  for (const char* step : {"1.0_to_1.1.zip", "1.1_to_1.2.zip"}) {
    r = Mkpatch({"apply", dir.Sub("server/") + step, dir.Sub("game")});
    EXPECT_EQ(r.exit_code, 0) << step << r.out << r.err;
  }
  EXPECT_EQ(ReadFile(dir.Sub("game/a.txt")), ReadFile(dir.Sub("v12/a.txt")));
  EXPECT_FALSE(FileExists(dir.Sub("game/b.txt")));

  // A failing step leaves neither archives nor a catalogue behind.
  tarvtest::MakeDirs(dir.Sub("server2"));
  r = Mkpatch({"chain", "--level", "3", dir.Sub("server2"), "1.0=" + dir.Sub("v10"),
               "1.1=" + dir.Sub("v11"), "1.2=" + dir.Sub("missing")});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_TRUE(SnapshotTree(dir.Sub("server2")).empty());
}

TEST(MkpatchToolTest, ErrorsAreOneLineAndLeaveNothingBehind) {
  tarvtest::ScopedTempDir dir;
  WriteFile(dir.Sub("old/a.txt"), "a");
  WriteFile(dir.Sub("new/a.txt"), "b");
  WriteFile(dir.Sub("linked/a.txt"), "a");
  symlink("/etc/passwd", dir.Sub("linked/l").c_str());
  WriteFile(dir.Sub("kind/a.txt/inner"), "a file under a former file");
  WriteFile(dir.Sub("damaged.zip"), "PK but not really");
  tarvtest::MakeDirs(dir.Sub("game"));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string leftover;  // must not exist afterwards
  };
  const Case kCases[] = {
      {"unknown subcommand", {"frobnicate"}, ""},
      {"patch without arguments", {"patch"}, ""},
      {"level out of range",
       {"patch", "--level", "0", dir.Sub("old"), dir.Sub("new"), dir.Sub("x.zip")},
       dir.Sub("x.zip")},
      {"link in a tree",
       {"patch", dir.Sub("linked"), dir.Sub("new"), dir.Sub("x.zip")},
       dir.Sub("x.zip.part")},
      {"file becomes folder",
       {"patch", dir.Sub("old"), dir.Sub("kind"), dir.Sub("x.zip")},
       dir.Sub("x.zip")},
      {"old tree missing",
       {"patch", dir.Sub("none"), dir.Sub("new"), dir.Sub("x.zip")},
       dir.Sub("x.zip")},
      {"output folder missing",
       {"patch", dir.Sub("old"), dir.Sub("new"), dir.Sub("no/x.zip")},
       dir.Sub("no")},
      {"damaged archive", {"apply", dir.Sub("damaged.zip"), dir.Sub("game")}, ""},
      {"md5 of a missing file", {"md5", dir.Sub("none")}, ""},
      {"diff of a missing file",
       {"diff", dir.Sub("none"), dir.Sub("new/a.txt"), dir.Sub("d")},
       dir.Sub("d.part")},
      {"chain with a bad version",
       {"chain", dir.Sub("game"), "1 0=" + dir.Sub("old"), "2=" + dir.Sub("new")},
       dir.Sub("game/patches.txt")},
  };
  for (const auto& c : kCases) {
    auto r = Mkpatch(c.args);
    EXPECT_NE(r.exit_code, 0) << c.name;
    EXPECT_EQ(r.err.rfind("tarv-mkpatch: ", 0), 0u) << c.name << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
    if (!c.leftover.empty()) {
      EXPECT_FALSE(FileExists(c.leftover)) << c.name;
    }
  }
  EXPECT_TRUE(SnapshotTree(dir.Sub("game")).empty());
}

TEST(MkpatchToolTest, DiffMd5AndHelp) {
  tarvtest::ScopedTempDir dir;
  std::string old_content = tarvtest::RandomBytes(100000, 7);
  WriteFile(dir.Sub("old"), old_content);
  WriteFile(dir.Sub("new"), old_content + "tail");
  auto r = Mkpatch({"diff", "--level", "5", dir.Sub("old"), dir.Sub("new"), dir.Sub("d")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_LT(ReadFile(dir.Sub("d")).size(), 1000u);
  r = tarvtest::Run({Bin("jpatch"), dir.Sub("old"), dir.Sub("d"), dir.Sub("out")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir.Sub("out")) == old_content + "tail");
  // The standard zstd command reads our differences too.
  r = tarvtest::Run({"/usr/bin/zstd", "-q", "-d", "-f", "--long=31",
                     "--patch-from=" + dir.Sub("old"), dir.Sub("d"), "-o", dir.Sub("out2")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir.Sub("out2")) == old_content + "tail");

  WriteFile(dir.Sub("größe ü.txt"), "abc");
  r = Mkpatch({"md5", dir.Sub("größe ü.txt"), dir.Sub("old")});
  auto ref = tarvtest::Run({"/usr/bin/md5sum", dir.Sub("größe ü.txt"), dir.Sub("old")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, ref.out);

  r = Mkpatch({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* sub : {"diff", "md5", "patch", "apply", "chain"}) {
    EXPECT_NE(r.out.find(std::string("  ") + sub + " "), std::string::npos) << sub;
  }
}

TEST(MkpatchToolTest, ApplyReportsFailuresWithTheirLevel) {
  tarvtest::ScopedTempDir dir;
  std::string content = tarvtest::RandomBytes(20000, 9);
  WriteFile(dir.Sub("old/f.dat"), content);
  WriteFile(dir.Sub("new/f.dat"), content + "more");
  ASSERT_EQ(Mkpatch({"patch", "--level", "3", dir.Sub("old"), dir.Sub("new"), dir.Sub("p.zip")})
                .exit_code,
            0);
  WriteFile(dir.Sub("game/f.dat"), "damaged by the player");
  WriteFile(dir.Sub("game/Binaries/jpatchl-w32.exe"), ReadFile(Bin("jpatch")));
  chmod(dir.Sub("game/Binaries/jpatchl-w32.exe").c_str(), 0755);
  auto r = Mkpatch({"apply", dir.Sub("p.zip"), dir.Sub("game")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("[2] Existing file is damaged and cannot be patched: " + dir.Sub("game") +
                       "/f.dat\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFile(dir.Sub("game/f.dat")), "damaged by the player");
}

}  // namespace
