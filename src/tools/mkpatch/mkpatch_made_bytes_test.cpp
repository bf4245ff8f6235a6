// The archives tarv-mkpatch makes for a chain of versions, pinned: for fixed
// trees each archive and the catalogue are the same bytes, digest for
// digest, so a publisher who remakes a chain gets what the servers already
// hold. A new compression library may legitimately change the pins: then
// check that the archives still apply and are no larger before taking the
// new digests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "support/test_support.h"

namespace {

using tarvtest::RandomBytes;
using tarvtest::ReadFile;
using tarvtest::WriteFile;

// Bytes changed every `every` bytes from `from`.
std::string Edited(const std::string& data, size_t from, size_t every) {
  std::string out = data;
  char* bytes = out.data();
  for (size_t i = from; i < out.size(); i += every) bytes[i] = static_cast<char>(bytes[i] ^ 0x3C);
  return out;
}

// Three versions: a data file edited at each step, a code-like file whose
// calls move, a file added, one removed, an empty one.
void MakeVersions(const tarvtest::ScopedTempDir& dir) {
  const std::string base = RandomBytes(150000, 41);
  WriteFile(dir.Sub("v10/Data/base.pak"), base);
  WriteFile(dir.Sub("v10/Binaries/game.bin"), tarvtest::CodeLike(300, 0, 42));
  WriteFile(dir.Sub("v10/old.txt"), "only in the first version\n");
  WriteFile(dir.Sub("v10/empty.txt"), "");
  WriteFile(dir.Sub("v11/Data/base.pak"), Edited(base, 100, 4999));
  WriteFile(dir.Sub("v11/Binaries/game.bin"), tarvtest::CodeLike(300, 0, 42));
  WriteFile(dir.Sub("v11/Data/added.dat"), RandomBytes(4000, 43));
  WriteFile(dir.Sub("v11/empty.txt"), "");
  WriteFile(dir.Sub("v12/Data/base.pak"), Edited(Edited(base, 100, 4999), 3000, 7001));
  WriteFile(dir.Sub("v12/Binaries/game.bin"), tarvtest::CodeLike(300, 24, 42));
  WriteFile(dir.Sub("v12/Data/added.dat"), RandomBytes(4000, 43));
  WriteFile(dir.Sub("v12/empty.txt"), "");
}

std::string Digest(const std::string& path) {
  const std::string data = ReadFile(path);
  return TarvCrypto::Sha256Hex(data.data(), data.size());
}

TEST(MkpatchMadeBytes, ChainArchivesArePinned) {
  tarvtest::ScopedTempDir dir;
  MakeVersions(dir);
  auto r =
      tarvtest::Run({tarvtest::BinDir() + "/tarv-mkpatch", "chain", dir.Sub("server"),
                     "1.0=" + dir.Sub("v10"), "1.1=" + dir.Sub("v11"), "1.2=" + dir.Sub("v12")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  struct Pin {
    const char* file;
    const char* digest;
  } pins[] = {
      {"1.0_to_1.1.zip", "6d1a545f082639fb172aa7ea71b21c97f951275aa02362161e403d51ea146614"},
      {"1.1_to_1.2.zip", "9ba45a8af2eada52c53ae6f8960698ff2a36e0a44fe96153834b0f09bf2638aa"},
      {"patches.txt", "452aeb5e85ac17d2abb14837eeb5c108f06e7b14e4f829d5e2a6698c6f0c6f1a"},
  };
  for (const Pin& pin : pins) {
    EXPECT_EQ(Digest(dir.Sub(std::string("server/") + pin.file)), pin.digest) << pin.file;
  }
}

}  // namespace
