// Making one file's difference: a zstd frame compressed with the old file as
// prefix, long-distance matching on, the output size and a checksum
// recorded, the window at most 2^31 (what jpatch accepts). And proving it:
// the real jpatch rebuilds the new file from it. Each reports failure by its
// result with the reason in `error`.
#pragma once

#include <cstdint>
#include <string>

namespace mkpatch {

// Old files from this size on are beyond the difference window: such a file
// is shipped whole.
constexpr uint64_t kMaxDifferenceOldSize = 2ull << 30;

// Writes the difference of new_path against old_path to diff_path (through
// a part file that is removed on failure).
bool MakeDifference(const std::string& old_path, const std::string& new_path,
                    const std::string& diff_path, int level, std::string* error);

// Runs jpatch on the difference and checks that the result equals
// new_path byte for byte.
bool ProveDifference(const std::string& old_path, const std::string& diff_path,
                     const std::string& new_path, std::string* error);

}  // namespace mkpatch
