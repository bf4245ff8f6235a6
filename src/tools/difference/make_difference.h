// Making one file's difference from the files on disk, in either format
// jpatch applies (format1.h, format2.h) or, by default, in both with the
// smaller kept. This is what the publisher's tool calls; the writers of
// each format work on data in memory and know nothing of paths.
#pragma once

#include <cstdint>
#include <string>

namespace difference {

// Old files from this size on are beyond the difference window: such a file
// is shipped whole.
constexpr uint64_t kMaxDifferenceOldSize = 2ull << 30;

// Old and new files together larger than this are "large": their
// differences are made at kLargeFileLevel at most.
constexpr uint64_t kLargeFileSize = 128ull << 20;
constexpr int kLargeFileLevel = 9;

enum class DifferenceFormat { kBest, kZstd, kSecond };

// Writes the difference of new_path against old_path to diff_path (through
// part files that are removed on failure), in the given format or, for
// kBest, in the smaller of the two. False with the reason in `error`.
bool MakeDifference(const std::string& old_path, const std::string& new_path,
                    const std::string& diff_path, int level, std::string* error,
                    DifferenceFormat format = DifferenceFormat::kBest);

}  // namespace difference
