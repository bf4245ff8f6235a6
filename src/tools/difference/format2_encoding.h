// Encoding the second format (format2.h): the header and the control,
// difference, extra and values streams, each one zstd frame, made from the
// matches; and measuring what an encoding takes without keeping it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "format2_matches.h"

namespace difference {

// Writes the whole difference to `out` (a seekable file at offset 0):
// header, then the three streams compressed at `level`. False with the
// reason on a write failure. With `flags` (format2.h), old and new data are
// the filtered files and `digest_of` the new file as it is.
bool WriteFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                  size_t new_size, const std::vector<Match>& matches, int level, FILE* out,
                  std::string* why, uint64_t flags = 0, const unsigned char* digest_of = nullptr);

// How many bytes `write` writes, to a seekable stream that only counts them.
bool CountBytes(const std::function<bool(FILE*)>& write, uint64_t* size, std::string* why);

// What the parts of a difference that depend on the form of the changes
// (the header, the difference and values streams) take, in bytes: the
// control and extra streams are the same in every form.
bool MeasureChangeStreams(const unsigned char* old_data, const unsigned char* new_data,
                          const std::vector<Match>& matches, int level, uint64_t flags,
                          uint64_t* size, std::string* why);

}  // namespace difference
