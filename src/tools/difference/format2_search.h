// The search for the smallest difference of the second format: the ways of
// making one (with or without the branch filter, two gains of a new
// alignment, the changes as words, sparse or dense) are measured against
// each other and the smallest is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "format2_matches.h"

namespace difference {

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
