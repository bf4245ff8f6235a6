// Finding where a new file repeats its old one, for the second format
// (format2.h): approximate matches, each an alignment of the two files that
// is right in most of its bytes, so that a region equal up to a few bytes
// costs a few bytes of the (mostly zero) difference stream. Found by the
// suffix array of the old file, or for old files beyond the memory cap by
// an index of short strings.
#pragma once

#include <divsufsort.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace difference {

// A region of the new file made from the old file byte by byte (plus the
// difference stream).
struct Match {
  uint64_t new_pos = 0;
  uint64_t old_pos = 0;
  uint64_t length = 0;
};

// The memory the suffix array of the old file may take by default (4 bytes
// a byte of the old file): old files up to 256 MiB (executables, libraries,
// middle-sized data) get it, larger ones the anchor index, which keeps
// large game data within the time and memory it always had.
constexpr uint64_t kDefaultMatchMemoryCap = uint64_t{1} << 30;

// The approximate matches of new against old, in order of new_pos and not
// overlapping. Found by the suffix array of the old file where it fits
// `memory_cap` (and the old file is below 2 GiB), otherwise by an index of
// anchors that takes at most about old_size / 4 bytes and never more than
// 256 MiB.
std::vector<Match> FindMatches(const unsigned char* old_data, size_t old_size,
                               const unsigned char* new_data, size_t new_size,
                               uint64_t memory_cap = kDefaultMatchMemoryCap);

inline uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Length of the common run of a and b, at most n.
inline size_t CommonLength(const unsigned char* a, const unsigned char* b, size_t n) {
  size_t i = 0;
  while (i + 8 <= n && Load64(a + i) == Load64(b + i)) i += 8;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The sorted suffixes of the old file. Longest() finds the longest common
// prefix of a query with a suffix by binary search, starting in the bucket
// of the query's first three bytes where the old file is large enough to
// have buckets.
struct SuffixArray {
  const unsigned char* old_data;
  size_t old_size;
  std::vector<saidx_t> order;
  std::vector<uint32_t> buckets;  // the first suffix of each 3-byte key, and the end

  static uint32_t KeyOf(const unsigned char* p, size_t n);
  void MakeBuckets();
  // The length of the longest common prefix; its old position in `at`.
  size_t Longest(const unsigned char* query, size_t n, size_t* at) const;
};

// A new alignment (an exact match elsewhere in the old file) is taken when
// its exact match is this many bytes longer than what the current alignment
// gets right over the same bytes. Neither gain is best everywhere: tables
// of pointers that moved by differing amounts want the smaller one, code
// mostly the larger; the writer tries both.
constexpr size_t kNewAlignmentGains[] = {8, 6};

// Whether the suffix array of an old file of this size fits the cap (and
// the 32-bit indices of the sorter).
bool SuffixArrayFits(size_t old_size, uint64_t memory_cap);

// The suffix array of the old file, or none when it does not fit the cap.
std::unique_ptr<SuffixArray> SortSuffixes(const unsigned char* old_data, size_t old_size,
                                          uint64_t memory_cap);

// The matches at the alignments the suffix array finds, a new alignment
// taken where its exact match is `gain` bytes longer than what the current
// one gets right.
std::vector<Match> SuffixArrayMatches(const SuffixArray& sa, const unsigned char* new_data,
                                      size_t new_size, size_t gain);

}  // namespace difference
