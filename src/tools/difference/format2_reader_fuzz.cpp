// The reader of the second difference format on arbitrary input: the first
// two bytes give the old file's length (taken from the start of the rest),
// the remainder is the difference. Whatever the bytes, the reader either
// rebuilds an output of the size its header names or refuses; it never reads
// or writes out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/difference/format2_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t old_size = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 1);
  const uint8_t* old_data = data + 2;
  if (old_size > size - 2) old_size = size - 2;
  const uint8_t* diff = data + 2 + old_size;
  size_t diff_size = size - 2 - old_size;
  difference::Format2Header header;
  std::string why;
  if (!difference::ReadFormat2Header(diff, diff_size, &header, &why)) return 0;
  if (header.new_size > (4u << 20)) return 0;  // keep each run small
  std::vector<unsigned char> out(header.new_size + 1);
  difference::ApplyFormat2(old_data, old_size, diff, diff_size, out.data(), &why);
  return 0;
}
