// The second difference format in the process: what the writer makes, the
// reader rebuilds exactly, on the edge cases of matching; a damaged
// difference or a wrong old file is refused, never applied.
#include "format2.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "format2_writer.h"
#include "support/test_support.h"

namespace {

using tarvtest::RandomBytes;

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string MakeDiff(const std::string& old_content, const std::string& new_content,
                     int level = 3) {
  FILE* f = tmpfile();
  std::string why;
  auto matches = difference::FindMatches(Bytes(old_content), old_content.size(), Bytes(new_content),
                                         new_content.size());
  EXPECT_TRUE(difference::WriteFormat2(Bytes(old_content), old_content.size(), Bytes(new_content),
                                       new_content.size(), matches, level, f, &why))
      << why;
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
  const std::string base = RandomBytes(3u << 20, 1);
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string diff = MakeDiff(c.old_content, c.new_content);
    if (c.at_most) {
      EXPECT_LE(diff.size(), c.at_most);
    }
    std::string out, why;
    ASSERT_TRUE(Apply(c.old_content, diff, &out, &why)) << why;
    EXPECT_TRUE(out == c.new_content);
  }
}

TEST(Format2Test, DamagedDifferencesAndWrongOldFilesAreRefused) {
  const std::string old_content = RandomBytes(1u << 20, 4);
  std::string new_content = old_content;
  for (size_t i = 5; i < new_content.size(); i += 50000) new_content[i] ^= 0x33;
  new_content.insert(1000, RandomBytes(30000, 5));
  const std::string diff = MakeDiff(old_content, new_content);
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
  auto header_field = [&](size_t offset, uint64_t delta) {
    std::string d = diff;
    d[offset] = static_cast<char>(d[offset] + delta);
    return d;
  };
  const size_t control = difference::kFormat2HeaderSize, deltas = control + h.control_size,
               extra = deltas + h.diff_size;
  std::string other_old = old_content;
  other_old[old_content.size() / 2] ^= 1;
  struct Case {
    const char* name;
    std::string old_content, diff;
  } cases[] = {
      {"control stream byte flipped", old_content, flipped(control + h.control_size / 2)},
      {"difference stream byte flipped", old_content, flipped(deltas + h.diff_size / 2)},
      {"extra stream byte flipped", old_content, flipped(extra + h.extra_size / 2)},
      {"digest flipped", old_content, flipped(30)},
      {"truncated", old_content, diff.substr(0, diff.size() - 1)},
      {"header only", old_content, diff.substr(0, difference::kFormat2HeaderSize)},
      {"wrong magic", old_content, flipped(0)},
      {"old size wrong", old_content, header_field(8, 1)},
      {"new size larger", old_content, header_field(16, 1)},
      {"new size smaller", old_content, header_field(16, static_cast<uint64_t>(-1))},
      {"stream sizes shifted", old_content, header_field(56, 1)},
      {"another old file", other_old, diff},
      {"data after the streams", old_content, diff + "x"},
  };
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

}  // namespace
