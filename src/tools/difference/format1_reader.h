// Reading the first format (format1.h): checking the frame before anything
// is written, and rebuilding the new file into memory the caller provides
// (a mapped output file), so that the decoder needs no window of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace difference {

// Checks that the difference is one complete zstd frame that records the
// output size and a checksum, with a window the reader accepts. Its output
// size goes to `new_size`. False with the reason in `why`.
bool ReadFormat1Header(const unsigned char* diff, size_t diff_size, uint64_t* new_size,
                       std::string* why);

// Called every few MiB of output with how much of the output is final and
// how much of the difference is read.
using Format1Progress = std::function<void(size_t out_pos, size_t in_pos)>;

// Rebuilds the new file into `out` (`out_size` bytes, the size the header
// records). False with the reason when the difference is damaged or does
// not fit the old file; `out` then holds garbage.
bool ApplyFormat1(const unsigned char* old_data, size_t old_size, const unsigned char* diff,
                  size_t diff_size, unsigned char* out, size_t out_size, std::string* why,
                  const Format1Progress& progress = nullptr);

}  // namespace difference
