// The second difference format in the process: what the writer makes, the
// reader rebuilds exactly, on the edge cases of matching; a damaged
// difference or a wrong old file is refused, never applied.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "branch_filter.h"
#include "format2_reader.h"
#include "format2_search.h"
#include "support/test_support.h"

namespace {

using tarvtest::CodeLike;
using tarvtest::RandomBytes;

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// The ways a difference is made: the matcher (suffix array, or the anchor
// index when the suffix array is beyond the memory cap) and the flags.
struct Way {
  const char* name;
  uint64_t memory_cap;
  uint64_t flags;
  bool smallest;  // MakeSmallestFormat2, which picks flags itself
};
constexpr Way kSuffixArray = {"suffix array", difference::kDefaultMatchMemoryCap, 0, false};
constexpr Way kAnchors = {"anchor index", 0, 0, false};
constexpr Way kFiltered = {"branch filter", difference::kDefaultMatchMemoryCap,
                           difference::kFlagBranchFilter, false};
constexpr Way kDense = {"dense", difference::kDefaultMatchMemoryCap,
                        difference::kFlagDenseDifference, false};
constexpr Way kFilteredDense = {"branch filter, dense", difference::kDefaultMatchMemoryCap,
                                difference::kFlagBranchFilter | difference::kFlagDenseDifference,
                                false};
constexpr Way kWords = {"word changes", difference::kDefaultMatchMemoryCap,
                        difference::kFlagWordChanges, false};
constexpr Way kFilteredWords = {"branch filter, word changes", difference::kDefaultMatchMemoryCap,
                                difference::kFlagBranchFilter | difference::kFlagWordChanges,
                                false};
constexpr Way kAnchorWords = {"anchor index, word changes", 0, difference::kFlagWordChanges, false};
constexpr Way kSmallest = {"smallest", difference::kDefaultMatchMemoryCap, 0, true};
constexpr Way kAllWays[] = {kSuffixArray, kAnchors,       kFiltered,    kDense,   kFilteredDense,
                            kWords,       kFilteredWords, kAnchorWords, kSmallest};

std::string MakeDiff(const std::string& old_content, const std::string& new_content,
                     const Way& way = kSuffixArray, int level = 3) {
  FILE* f = tmpfile();
  std::string why;
  if (way.smallest) {
    EXPECT_TRUE(difference::MakeSmallestFormat2(Bytes(old_content), old_content.size(),
                                                Bytes(new_content), new_content.size(), level, f,
                                                &why, way.memory_cap))
        << why;
  } else {
    EXPECT_TRUE(difference::MakeFormat2(Bytes(old_content), old_content.size(), Bytes(new_content),
                                        new_content.size(), level, way.flags, f, &why,
                                        way.memory_cap))
        << why;
  }
  std::string out;
  rewind(f);
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

// Applies; returns false with the reason when refused.
bool Apply(const std::string& old_content, const std::string& diff, std::string* out,
           std::string* why) {
  difference::Format2Header h;
  if (!difference::ReadFormat2Header(Bytes(diff), diff.size(), &h, why)) return false;
  out->assign(h.new_size, '\0');
  unsigned char dummy = 0;
  return difference::ApplyFormat2(
      Bytes(old_content), old_content.size(), Bytes(diff), diff.size(),
      out->empty() ? &dummy : reinterpret_cast<unsigned char*>(out->data()), why);
}

std::string Moved(const std::string& s, size_t from, size_t len, size_t to) {
  std::string block = s.substr(from, len), rest = s;
  rest.erase(from, len);
  rest.insert(to, block);
  return rest;
}

TEST(Format2Test, EdgeCasesRoundTrip) {
  // Above 4 MiB: the suffix search starts in buckets there.
  const std::string base = RandomBytes((4u << 20) + 4096, 1);
  std::string one_first = base, one_last = base;
  one_first[0] ^= 1;
  one_last[one_last.size() - 1] ^= 1;
  std::string inserted = base;
  inserted.insert(base.size() / 2, RandomBytes(1u << 20, 2));
  // Repetitive records that differ in few bytes: another copy agrees in most
  // bytes, which must not be taken for the right one.
  std::string records;
  for (int i = 0; records.size() < (2u << 20); ++i)
    records +=
        "record " + std::to_string(i * 7919 % 1000) + ";value=" + std::to_string(i % 13) + "\n";
  std::string records_edited = records;
  for (size_t i = 1000; i < records_edited.size(); i += 97531) records_edited[i] = '#';
  struct Case {
    const char* name;
    std::string old_content, new_content;
    size_t at_most;  // the difference's size bound; 0: none
  } cases[] = {
      {"empty old", "", RandomBytes(5000, 3), 0},
      {"empty new", base, "", 300},
      {"both empty", "", "", 300},
      {"identical", base, base, 300},
      {"prefix of old", base, base.substr(0, base.size() / 3), 300},
      {"suffix of old", base, base.substr(base.size() / 3), 300},
      {"first byte changed", base, one_first, 400},
      {"last byte changed", base, one_last, 400},
      {"block moved", base, Moved(base, 100000, 700000, 2000000), 400},
      {"1 MiB random inserted", base, inserted, (1u << 20) + 2000},
      {"shorter than an anchor", "abc", "abd", 0},
      {"repetitive records edited", records, records_edited, 3000},
  };
  for (const Way& way : kAllWays) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(way.name) + ": " + c.name);
      std::string diff = MakeDiff(c.old_content, c.new_content, way);
      // Through the filter, bytes that look like branches in random data
      // differ once their position changes: a few bytes each.
      const size_t filter_cost = (way.flags & difference::kFlagBranchFilter) ? 2000 : 0;
      if (c.at_most) {
        EXPECT_LE(diff.size(), c.at_most + filter_cost);
      }
      std::string out, why;
      ASSERT_TRUE(Apply(c.old_content, diff, &out, &why)) << why;
      EXPECT_TRUE(out == c.new_content);
    }
  }
}

// The branch filter on code whose calls moved: it rebuilds exactly, and the
// difference is much smaller than without it (the operands of the calls
// across the grown function agree again once absolute).
TEST(Format2Test, BranchFilterShrinksMovedCalls) {
  const std::string old_code = CodeLike(4000, 0, 5), new_code = CodeLike(4000, 3000, 5);
  ASSERT_EQ(new_code.size(), old_code.size() + 3000);
  const std::string plain = MakeDiff(old_code, new_code, kSuffixArray);
  const std::string filtered = MakeDiff(old_code, new_code, kFiltered);
  const std::string smallest = MakeDiff(old_code, new_code, kSmallest);
  for (const std::string* diff : {&plain, &filtered, &smallest}) {
    std::string out, why;
    ASSERT_TRUE(Apply(old_code, *diff, &out, &why)) << why;
    EXPECT_TRUE(out == new_code);
  }
  EXPECT_EQ(filtered.compare(0, 8, "TarvDif3"), 0);
  EXPECT_EQ(plain.compare(0, 8, "TarvDif2"), 0);
  EXPECT_LT(filtered.size() * 2, plain.size());
  EXPECT_LE(smallest.size(), filtered.size());
}

// The filter turned back in steps of any size gives the bytes it was
// given, on code and on data full of branch opcodes and top bytes of the
// class (where a decision depends on bytes a later operand changes).
TEST(Format2Test, BranchFilterTurnsBackInAnySteps) {
  std::string tricky = RandomBytes(200000, 8);
  const unsigned char kinds[] = {0xE8, 0xE9, 0x00, 0xFF};
  for (size_t i = 0; i < tricky.size(); ++i)
    if (static_cast<unsigned char>(tricky[i]) % 3 == 0)
      tricky[i] = static_cast<char>(kinds[static_cast<unsigned char>(tricky[i]) % 4]);
  const std::string code = CodeLike(3000, 100, 9);
  struct Case {
    const char* name;
    const std::string* data;
    size_t step;
  } cases[] = {{"tricky by 1", &tricky, 1},       {"tricky by 4", &tricky, 4},
               {"tricky by 7", &tricky, 7},       {"tricky whole", &tricky, tricky.size()},
               {"code by 3", &code, 3},           {"code by 4096", &code, 4096},
               {"code whole", &code, code.size()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string data = *c.data;
    difference::ConvertBranches(reinterpret_cast<unsigned char*>(data.data()), data.size(), true);
    EXPECT_NE(data, *c.data);
    difference::BranchConverter back(false);
    size_t final_pos = 0;
    for (size_t end = 0; end < data.size();) {
      end = std::min(data.size(), end + c.step);
      size_t now = back.Convert(reinterpret_cast<unsigned char*>(data.data()), end);
      ASSERT_GE(now, final_pos);
      ASSERT_LE(now, end);
      final_pos = now;
    }
    EXPECT_GE(final_pos + 4, data.size());
    EXPECT_TRUE(data == *c.data);
  }
}

// A table of 32-bit little-endian addresses among other bytes, and the new
// version with every address moved by `step`: the word changes make each
// one the same value whatever its carries, where byte by byte the carries
// differ from address to address.
TEST(Format2Test, WordChangesShrinkMovedAddresses) {
  struct Case {
    const char* name;
    uint32_t step;
    size_t stride;  // bytes from one address to the next
  } cases[] = {
      {"moved up, every 8 bytes", 0x1F0, 8},
      {"moved down, every 8 bytes", static_cast<uint32_t>(-0x2468), 8},
      {"moved up, every 12 bytes", 0x30, 12},
      {"moved across a 64 KiB boundary, every 16 bytes", 0x1234A, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string old_table = RandomBytes(2u << 20, 40), new_table;
    for (size_t at = 0; at + 4 <= old_table.size(); at += c.stride) {
      // Addresses within one 16 MiB image, as a program's would be.
      uint32_t address = 0x400000u + (static_cast<unsigned char>(old_table[at]) |
                                      static_cast<unsigned char>(old_table[at + 1]) << 8 |
                                      (static_cast<unsigned char>(old_table[at + 2]) & 0x7F) << 16);
      for (int k = 0; k < 4; ++k) old_table[at + k] = static_cast<char>(address >> (8 * k));
    }
    new_table = old_table;
    for (size_t at = 0; at + 4 <= new_table.size(); at += c.stride) {
      uint32_t address = 0;
      for (int k = 3; k >= 0; --k)
        address = address << 8 | static_cast<unsigned char>(new_table[at + k]);
      address += c.step;
      for (int k = 0; k < 4; ++k) new_table[at + k] = static_cast<char>(address >> (8 * k));
    }
    const std::string sparse = MakeDiff(old_table, new_table, kSuffixArray);
    const std::string words = MakeDiff(old_table, new_table, kWords);
    const std::string smallest = MakeDiff(old_table, new_table, kSmallest);
    for (const std::string* diff : {&sparse, &words, &smallest}) {
      std::string out, why;
      ASSERT_TRUE(Apply(old_table, *diff, &out, &why)) << why;
      EXPECT_TRUE(out == new_table);
    }
    EXPECT_LT(words.size() * 4, sparse.size());
    EXPECT_LE(smallest.size(), words.size());
  }
}

// Word changes at the ends of records: a change in the last one to three
// bytes of a record is narrower than four bytes, and a change may follow
// another directly; every width and every step rebuilds exactly.
TEST(Format2Test, WordChangesOfEveryWidthAndStepRoundTrip) {
  const std::string base = RandomBytes(300000, 41);
  struct Case {
    const char* name;
    std::vector<size_t> positions;  // bytes changed (xor), from the end when above the size
    unsigned char change;
  } cases[] = {
      {"last byte", {base.size() - 1}, 0x80},
      {"last two bytes", {base.size() - 2, base.size() - 1}, 0xFF},
      {"last three bytes", {base.size() - 3, base.size() - 2, base.size() - 1}, 0x01},
      {"first byte", {0}, 0x7F},
      {"changes back to back", {1000, 1004, 1008, 1012, 1013, 1014}, 0x55},
      {"a change across the middle", {150000, 150001, 150002, 150003, 150004}, 0xAA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string changed = base;
    for (size_t at : c.positions) changed[at] = static_cast<char>(changed[at] ^ c.change);
    for (const Way& way : {kWords, kFilteredWords, kAnchorWords}) {
      SCOPED_TRACE(way.name);
      const std::string diff = MakeDiff(base, changed, way);
      std::string out, why;
      ASSERT_TRUE(Apply(base, diff, &out, &why)) << why;
      EXPECT_TRUE(out == changed);
      EXPECT_LT(diff.size(), 400u);
    }
  }
}

void ExpectDamageRefused(const std::string& old_content, const std::string& new_content,
                         const std::string& diff) {
  difference::Format2Header h;
  std::string why;
  ASSERT_TRUE(difference::ReadFormat2Header(Bytes(diff), diff.size(), &h, &why));
  ASSERT_GT(h.control_size, 8u);
  ASSERT_GT(h.diff_size, 8u);
  ASSERT_GT(h.extra_size, 8u);
  auto flipped = [&](size_t at) {
    std::string d = diff;
    d[at] ^= 0x40;
    return d;
  };
  auto flipped_bit = [&](size_t at, int bit) {
    std::string d = diff;
    d[at] = static_cast<char>(d[at] ^ bit);
    return d;
  };
  auto header_field = [&](size_t offset, uint64_t delta) {
    std::string d = diff;
    d[offset] = static_cast<char>(d[offset] + delta);
    return d;
  };
  const size_t control = h.header_size, deltas = control + h.control_size,
               extra = deltas + h.diff_size, values = extra + h.extra_size;
  std::string other_old = old_content;
  other_old[old_content.size() / 2] ^= 1;
  struct Case {
    const char* name;
    std::string old_content, diff;
  };
  std::vector<Case> cases = {
      {"control stream byte flipped", old_content, flipped(control + h.control_size / 2)},
      {"difference stream byte flipped", old_content, flipped(deltas + h.diff_size / 2)},
      {"extra stream byte flipped", old_content, flipped(extra + h.extra_size / 2)},
      {"digest flipped", old_content, flipped(30)},
      {"truncated", old_content, diff.substr(0, diff.size() - 1)},
      {"header only", old_content, diff.substr(0, h.header_size)},
      {"header cut inside", old_content, diff.substr(0, difference::kFormat2HeaderSize + 4)},
      {"wrong magic", old_content, flipped(0)},
      {"old size wrong", old_content, header_field(8, 1)},
      {"new size larger", old_content, header_field(16, 1)},
      {"new size smaller", old_content, header_field(16, static_cast<uint64_t>(-1))},
      {"stream sizes shifted", old_content, header_field(56, 1)},
      {"another old file", other_old, diff},
      {"data after the streams", old_content, diff + "x"},
      {"other flags", old_content, h.flags ? header_field(80, 8) : flipped(7)},
      {"filter flag flipped", old_content, h.flags ? flipped_bit(80, 1) : flipped(7)},
  };
  if ((h.flags & difference::kFlagWordChanges) != 0) {
    ASSERT_GT(h.values_size, 8u);
    cases.push_back(
        {"values stream byte flipped", old_content, flipped(values + h.values_size / 2)});
    cases.push_back({"values stream size shifted", old_content, header_field(88, 1)});
    cases.push_back({"dense and word changes together", old_content, flipped_bit(80, 2)});
    cases.push_back({"word changes flag cleared", old_content, flipped_bit(80, 4)});
    cases.push_back({"header cut before the values size", old_content,
                     diff.substr(0, difference::kFormat2FlaggedHeaderSize + 4)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    why.clear();
    EXPECT_FALSE(Apply(c.old_content, c.diff, &out, &why));
    EXPECT_FALSE(why.empty());
  }
  std::string out;
  ASSERT_TRUE(Apply(old_content, diff, &out, &why)) << why;  // the original still applies
  EXPECT_TRUE(out == new_content);
}

TEST(Format2Test, DamagedDifferencesAndWrongOldFilesAreRefused) {
  const std::string old_content = RandomBytes(1u << 20, 4);
  std::string new_content = old_content;
  for (size_t i = 5; i < new_content.size(); i += 50000) new_content[i] ^= 0x33;
  new_content.insert(1000, RandomBytes(30000, 5));
  for (const Way& way : {kSuffixArray, kFilteredDense, kWords, kFilteredWords}) {
    SCOPED_TRACE(way.name);
    ExpectDamageRefused(old_content, new_content, MakeDiff(old_content, new_content, way));
  }
}

}  // namespace
