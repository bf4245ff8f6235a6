// The bytes a difference is made of, pinned: for fixed inputs each way of
// making one must give the same file, digest for digest. Patch archives
// already on servers were made this way, and a publisher who remakes one
// expects the same archive; a change of matching, encoding or the search
// for the smallest form shows here first. A new compression library may
// legitimately change the pins: then check that the differences still
// apply and are no larger before taking the new digests.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "crypto/sha256.h"
#include "format1_writer.h"
#include "format2.h"
#include "format2_search.h"

namespace {

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Deterministic bytes of our own (xorshift), so that the pins do not depend
// on any other generator.
class Noise {
 public:
  explicit Noise(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(Next() >> 56);
    return s;
  }

 private:
  uint64_t state_;
};

// Data edited as a new version edits it: scattered bytes changed, a block
// inserted, a block moved.
std::pair<std::string, std::string> EditedData() {
  Noise noise(1);
  std::string old_data = noise.Bytes(300000);
  std::string new_data = old_data;
  for (size_t i = 777; i < new_data.size(); i += 5003) new_data[i] = static_cast<char>(i);
  // Clusters of changes with short gaps between them.
  for (size_t i = 1500; i < new_data.size(); i += 25013) {
    for (size_t gap : {0, 2, 5, 9, 14, 20}) new_data[i + gap] ^= 0x21;
  }
  new_data.insert(100000, noise.Bytes(3000));
  const std::string block = new_data.substr(200000, 20000);
  new_data.erase(200000, 20000);
  new_data.insert(10000, block);
  return {old_data, new_data};
}

// Code-like bytes: functions of filler with calls (E8) to the starts of
// other functions. The new version has `grown` more bytes in the middle
// function, so every later call operand changes.
std::string Program(size_t grown) {
  Noise noise(2);
  std::vector<size_t> lengths(300);
  for (size_t& n : lengths) n = 60 + noise.Next() % 200;
  lengths[lengths.size() / 2] += grown;
  std::vector<size_t> starts;
  size_t total = 0;
  for (size_t n : lengths) {
    starts.push_back(total);
    total += n;
  }
  std::string code(total, '\0');
  for (size_t f = 0; f < lengths.size(); ++f) {
    for (size_t i = 0; i + 5 <= lengths[f]; i += 16) {
      const size_t at = starts[f] + i;
      const size_t target = starts[noise.Next() % starts.size()];
      const auto rel = static_cast<uint32_t>(target - (at + 5));
      code[at] = static_cast<char>(0xE8);
      for (int k = 0; k < 4; ++k) code[at + 1 + k] = static_cast<char>(rel >> (8 * k));
      for (size_t k = 5; k < 16 && i + k < lengths[f]; ++k)
        code[at + k] = static_cast<char>(0x40 + (f + k) % 8);
    }
  }
  return code;
}

std::string Digest(const std::string& data) {
  TarvCrypto::Sha256 sha;
  sha.Update(data.data(), data.size());
  TarvCrypto::Sha256Digest digest;
  EXPECT_TRUE(sha.Finish(&digest));
  return TarvCrypto::ToHex(digest);
}

std::string ReadBack(FILE* f) {
  std::string out;
  rewind(f);
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

std::string MakeFirst(const std::string& old_data, const std::string& new_data, int level) {
  std::string out, why;
  EXPECT_TRUE(difference::WriteFormat1(
      Bytes(old_data), old_data.size(), Bytes(new_data), new_data.size(), level,
      [&out](const unsigned char* data, size_t n) {
        out.append(reinterpret_cast<const char*>(data), n);
        return true;
      },
      &why))
      << why;
  return out;
}

enum class Way { kSmallest, kSmallestByAnchors, kFilteredDense, kSparse };

std::string MakeSecond(const std::string& old_data, const std::string& new_data, Way way,
                       int level) {
  FILE* f = tmpfile();
  std::string why;
  bool ok = false;
  const uint64_t cap = way == Way::kSmallestByAnchors ? 0 : difference::kDefaultMatchMemoryCap;
  if (way == Way::kSmallest || way == Way::kSmallestByAnchors) {
    ok = difference::MakeSmallestFormat2(Bytes(old_data), old_data.size(), Bytes(new_data),
                                         new_data.size(), level, f, &why, cap);
  } else {
    const uint64_t flags = way == Way::kFilteredDense
                               ? difference::kFlagBranchFilter | difference::kFlagDenseDifference
                               : 0;
    ok = difference::MakeFormat2(Bytes(old_data), old_data.size(), Bytes(new_data), new_data.size(),
                                 level, flags, f, &why, cap);
  }
  EXPECT_TRUE(ok) << why;
  return ReadBack(f);
}

TEST(MadeBytesTest, SecondFormatIsPinned) {
  const auto [old_data, new_data] = EditedData();
  const std::string old_code = Program(0), new_code = Program(24);
  struct Case {
    const char* name;
    const std::string& old_data;
    const std::string& new_data;
    Way way;
    int level;
    const char* digest;
  } cases[] = {
      {"data, smallest", old_data, new_data, Way::kSmallest, 19,
       "d6d76ce60041b7266e1139deb3051ac7d0eecce1e3deb148309746d3a5f64508"},
      {"data, anchors", old_data, new_data, Way::kSmallestByAnchors, 5,
       "debb43e30562570b191098c539216cc7e7544016de39cf84dd03b60bc26c0d8a"},
      {"data, sparse", old_data, new_data, Way::kSparse, 3,
       "0ac309e4bb3336052689642c4fb86c58b87e617330b9a8378245063f78372c11"},
      {"code, smallest", old_code, new_code, Way::kSmallest, 19,
       "dbffa790791d490cf7268099aaef9a4fe42962296ceec97d0e0fccc14c54b262"},
      {"code, filtered dense", old_code, new_code, Way::kFilteredDense, 3,
       "b609f6c17620295847a4ca593fb99d5d718f480dd3afe1deaddeb0efa6b65db8"},
      {"code, anchors", old_code, new_code, Way::kSmallestByAnchors, 9,
       "559968a69cbb93f37a1553d827793be1ace678d679b92f03e7aa038340d3b8e5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Digest(MakeSecond(c.old_data, c.new_data, c.way, c.level)), c.digest) << c.name;
  }
}

TEST(MadeBytesTest, FirstFormatIsPinned) {
  const auto [old_data, new_data] = EditedData();
  const std::string old_code = Program(0), new_code = Program(24);
  struct Case {
    const char* name;
    const std::string& old_data;
    const std::string& new_data;
    int level;
    const char* digest;
  } cases[] = {
      {"data, level 3", old_data, new_data, 3,
       "e4438e2c2e121532016e4bb982b49b0312897b4c08a188333f5e386eb2d52149"},
      {"data, level 19", old_data, new_data, 19,
       "519d155fd6b523e7b1e2ce4bdaa9d3fd0009dd435fab42a1981e0a04d7bfd65f"},
      {"code, level 19", old_code, new_code, 19,
       "e56db8ea6257f223fad21cd351fcd79c010297cd585af8ca49e9a4798d12aaf7"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Digest(MakeFirst(c.old_data, c.new_data, c.level)), c.digest) << c.name;
  }
}

}  // namespace
