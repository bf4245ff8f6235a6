// Writing the first format (format1.h) from the old and the new file in
// memory. The bytes go to a sink as they are made, so that the caller
// decides where the difference lives.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace difference {

// Takes the difference's bytes as they are made; false when it cannot keep
// them (errno says why).
using ByteSink = std::function<bool(const unsigned char* data, size_t n)>;

// Compresses the new file with the old one as prefix at `level` into
// `sink`. False with the reason in `error`.
bool WriteFormat1(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                  size_t new_size, int level, const ByteSink& sink, std::string* error);

}  // namespace difference
