// Making one file's difference, in either of the two formats jpatch applies:
// a zstd frame compressed with the old file as prefix (long-distance
// matching on, the output size and a checksum recorded, the window at most
// 2^31), or the second format of tools/difference (approximate matches,
// small changes as a sparse byte-wise difference). By default both are made
// and the smaller is kept. And proving it: the real jpatch rebuilds the new
// file from it. Each reports failure by its result with the reason in
// `error`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkpatch {

// Old files from this size on are beyond the difference window: such a file
// is shipped whole.
constexpr uint64_t kMaxDifferenceOldSize = 2ull << 30;

// Old and new files together larger than this are "large": their zstd
// frame is made at kLargeFileLevel at most (see difference.cpp).
constexpr uint64_t kLargeFileSize = 128ull << 20;
constexpr int kLargeFileLevel = 9;

enum class DifferenceFormat { kBest, kZstd, kSecond };

// Writes the difference of new_path against old_path to diff_path (through
// part files that are removed on failure), in the given format or, for
// kBest, in the smaller of the two.
bool MakeDifference(const std::string& old_path, const std::string& new_path,
                    const std::string& diff_path, int level, std::string* error,
                    DifferenceFormat format = DifferenceFormat::kBest);

// Takes "--format 1|2|best" out of `args` into `format`. False with a
// message in `error` when the value is missing or unknown.
bool TakeFormatOption(std::vector<std::string>* args, DifferenceFormat* format, std::string* error);

// Runs jpatch on the difference and checks that the result equals
// new_path byte for byte.
bool ProveDifference(const std::string& old_path, const std::string& diff_path,
                     const std::string& new_path, std::string* error);

}  // namespace mkpatch
