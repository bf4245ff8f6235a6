// Making a difference of the second format (see format2.h). The matches are
// found in the old file by its suffix array (or, for old files beyond the
// memory cap, an index of short strings), each grown into an approximate
// match over small changes, so that a region of the new file that equals the
// old one up to a few bytes costs a few bytes of the (mostly zero)
// difference stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
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

// Writes the whole difference to `out` (a seekable file at offset 0):
// header, then the three streams compressed at `level`. False with the
// reason on a write failure. With `flags` (format2.h), old and new data are
// the filtered files and `digest_of` the new file as it is.
bool WriteFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                  size_t new_size, const std::vector<Match>& matches, int level, FILE* out,
                  std::string* why, uint64_t flags = 0, const unsigned char* digest_of = nullptr);

// Finds the matches and writes the difference, through the branch filter
// when `flags` ask for it (filtered copies of both files are made here).
bool MakeFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                 size_t new_size, int level, uint64_t flags, FILE* out, std::string* why,
                 uint64_t memory_cap = kDefaultMatchMemoryCap);

// The smallest difference of several ways to make it: where the suffix array
// fits, with and without the branch filter, two gains of a new alignment
// (compared at a middle level), then the changes as words, sparse or dense
// (at `level`); otherwise the anchor index with the changes as words or
// sparse.
bool MakeSmallestFormat2(const unsigned char* old_data, size_t old_size,
                         const unsigned char* new_data, size_t new_size, int level, FILE* out,
                         std::string* why, uint64_t memory_cap = kDefaultMatchMemoryCap);

}  // namespace difference
