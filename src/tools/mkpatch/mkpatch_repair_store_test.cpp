// The repair half of a server folder made by the real tarv-mkpatch, checked
// with independent tools: sha256sum for every digest, the zstd program for
// every object.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

std::string Bin(const std::string& name) { return tarvtest::BinDir() + "/" + name; }

// sha256sum's digest of one file.
std::string Sha256Sum(const std::string& path) {
  auto r = tarvtest::Run({"/usr/bin/sha256sum", "-b", path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out.substr(0, 64);
}

// The manifest a version should have: "<sha256> <size> <path with \>" for
// every file, sorted by path, from sha256sum and stat.
std::string ExpectedManifest(const std::string& root) {
  std::vector<std::string> rel;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) rel.push_back(fs::relative(e.path(), root).generic_string());
  }
  std::sort(rel.begin(), rel.end());
  std::string out;
  for (std::string r : rel) {
    std::string path = root + "/" + r;
    std::replace(r.begin(), r.end(), '/', '\\');
    out += Sha256Sum(path) + " " + std::to_string(fs::file_size(path)) + " " + r + "\n";
  }
  return out;
}

// Every object: its name's digest must be the digest of its decompressed
// content, and it must lie under its first two digits.
std::set<std::string> CheckedObjects(const std::string& server, const std::string& scratch) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(server + "/objects")) {
    if (!e.is_regular_file()) continue;
    std::string name = e.path().stem().string();
    EXPECT_EQ(e.path().extension(), ".zst");
    EXPECT_EQ(e.path().parent_path().filename().string(), name.substr(0, 2));
    auto r = tarvtest::Run({"/usr/bin/zstd", "-q", "-d", "-f", e.path().string(), "-o", scratch});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Sha256Sum(scratch), name);
    names.insert(name);
  }
  return names;
}

TEST(MkpatchRepairStore, ThreeVersionsShareObjectsAndManifestsMatchSha256sum) {
  tarvtest::ScopedTempDir dir;
  const std::string shared = tarvtest::RandomBytes(200000, 1), a = tarvtest::RandomBytes(5000, 2);
  for (const char* v : {"v1", "v2", "v3"}) {
    WriteFile(dir.Sub(std::string(v) + "/Binaries/Game.exe"), shared);
    WriteFile(dir.Sub(std::string(v) + "/Data/a file.dat"), a);
    WriteFile(dir.Sub(std::string(v) + "/Data/same as a.dat"), a);  // one object for both
    WriteFile(dir.Sub(std::string(v) + "/empty"), "");
  }
  WriteFile(dir.Sub("v1/ver.txt"), "1");
  WriteFile(dir.Sub("v2/ver.txt"), "2");
  WriteFile(dir.Sub("v3/ver.txt"), "3");
  WriteFile(dir.Sub("v2/new.txt"), "only in 2 and 3");
  WriteFile(dir.Sub("v3/new.txt"), "only in 2 and 3");
  // Distinct contents: shared, a, empty, 1, 2, 3, "only in 2 and 3".
  const size_t kDistinct = 7;
  const std::string server = dir.Sub("server");
  auto r = tarvtest::Run({Bin("tarv-mkpatch"), "chain", "--level", "3", server,
                          "1=" + dir.Sub("v1"), "2=" + dir.Sub("v2"), "3=" + dir.Sub("v3")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("3 manifests, 7 objects written, 0 kept"), std::string::npos) << r.out;

  std::set<std::string> objects = CheckedObjects(server, dir.Sub("scratch"));
  EXPECT_EQ(objects.size(), kDistinct);
  const std::string catalogue = ReadFile(server + "/patches.txt");
  for (const char* v : {"1", "2", "3"}) {
    SCOPED_TRACE(v);
    const std::string manifest = server + "/manifests/" + v + ".txt";
    EXPECT_EQ(ReadFile(manifest), ExpectedManifest(dir.Sub(std::string("v") + v)));
    EXPECT_NE(
        catalogue.find(std::string("manifest-version: ") + v + "\r\nmanifest-url: manifests/" + v +
                       ".txt\r\nmanifest-sha256: " + Sha256Sum(manifest) + "\r\n"),
        std::string::npos)
        << catalogue;
  }

  // Publishing again into the same folder keeps every object.
  r = tarvtest::Run({Bin("tarv-mkpatch"), "chain", "--level", "3", server, "2=" + dir.Sub("v2"),
                     "3=" + dir.Sub("v3")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("2 manifests, 0 objects written, 6 kept"), std::string::npos) << r.out;
  EXPECT_EQ(CheckedObjects(server, dir.Sub("scratch")), objects);
}

}  // namespace
