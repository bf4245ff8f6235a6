// The publisher's side of a difference: the --format option, the making
// (in tools/difference/make_difference.h) and the proof that the real
// jpatch rebuilds the new file from it. Each reports failure by its result
// with the reason in `error`.
#pragma once

#include <string>
#include <vector>

#include "tools/difference/make_difference.h"

namespace mkpatch {

using difference::DifferenceFormat;
using difference::kMaxDifferenceOldSize;
using difference::MakeDifference;

// Takes "--format 1|2|best" out of `args` into `format`. False with a
// message in `error` when the value is missing or unknown.
bool TakeFormatOption(std::vector<std::string>* args, DifferenceFormat* format, std::string* error);

// Runs jpatch on the difference and checks that the result equals
// new_path byte for byte.
bool ProveDifference(const std::string& old_path, const std::string& diff_path,
                     const std::string& new_path, std::string* error);

}  // namespace mkpatch
