#include "format2_search.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "branch_filter.h"
#include "format2.h"
#include "format2_encoding.h"

namespace difference {
namespace {

// Both files through the branch filter, as copies; the originals stay.
struct FilteredPair {
  std::vector<unsigned char> old_copy, new_copy;
  void Make(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
            size_t new_size) {
    old_copy.assign(old_data, old_data + old_size);
    new_copy.assign(new_data, new_data + new_size);
    ConvertBranches(old_copy.data(), old_size, true);
    ConvertBranches(new_copy.data(), new_size, true);
  }
};

// The size of a difference made this way.
bool MeasureFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                    size_t new_size, const std::vector<Match>& matches, int level, uint64_t flags,
                    const unsigned char* digest_of, uint64_t* size, std::string* why) {
  return CountBytes(
      [&](FILE* f) {
        return WriteFormat2(old_data, old_size, new_data, new_size, matches, level, f, why, flags,
                            digest_of);
      },
      size, why);
}

// The form of the changes, against each other at the level asked for (the
// filter flag of `flags` stays): which one wins depends on the data and on
// how hard the compressor looks. The dense form, a byte for every add
// byte, is measured only where asked (`dense`): on large data it would be
// compressed whole once more.
bool ChooseChangeForm(const unsigned char* old_in, const unsigned char* new_in,
                      const std::vector<Match>& matches, int level, bool dense, uint64_t* flags,
                      std::string* why) {
  const uint64_t base_flags = *flags & kFlagBranchFilter;
  uint64_t smallest = UINT64_MAX;
  for (uint64_t form : {kFlagWordChanges, uint64_t{0}, kFlagDenseDifference}) {
    if (form == kFlagDenseDifference && !dense) continue;
    uint64_t size = 0;
    if (!MeasureChangeStreams(old_in, new_in, matches, level, base_flags | form, &size, why))
      return false;
    if (size < smallest) {
      smallest = size;
      *flags = base_flags | form;
    }
  }
  return true;
}

// The branch filter is kept where it makes the difference smaller by at
// least one part in this many. It turns the old file and the output in two
// more passes, which on an executable doubles the time an apply takes; the
// word changes already take most of what the filter used to save (moved
// calls become one repeated value each), and on the real executables
// measured it saved 3 % or nothing.
constexpr uint64_t kFilterGainDenominator = 16;

// The level candidates are compared at: their order at the level asked for
// is nearly always the same, and the strong levels take many times longer.
constexpr int kTrialLevel = 9;

}  // namespace

bool MakeFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                 size_t new_size, int level, uint64_t flags, FILE* out, std::string* why,
                 uint64_t memory_cap) {
  FilteredPair copies;
  const bool filtered = (flags & kFlagBranchFilter) != 0;
  if (filtered) copies.Make(old_data, old_size, new_data, new_size);
  const unsigned char* old_in = filtered ? copies.old_copy.data() : old_data;
  const unsigned char* new_in = filtered ? copies.new_copy.data() : new_data;
  std::vector<Match> matches = FindMatches(old_in, old_size, new_in, new_size, memory_cap);
  return WriteFormat2(old_in, old_size, new_in, new_size, matches, level, out, why, flags,
                      new_data);
}

bool MakeSmallestFormat2(const unsigned char* old_data, size_t old_size,
                         const unsigned char* new_data, size_t new_size, int level, FILE* out,
                         std::string* why, uint64_t memory_cap) {
  if (new_size == 0) return MakeFormat2(old_data, old_size, new_data, new_size, level, 0, out, why);
  if (!SuffixArrayFits(old_size, memory_cap)) {
    // Large files: the anchor index, no filter (data, not code), and the
    // word or the sparse form of the changes.
    std::vector<Match> matches = FindMatches(old_data, old_size, new_data, new_size, memory_cap);
    uint64_t flags = 0;
    return ChooseChangeForm(old_data, new_data, matches, level, false, &flags, why) &&
           WriteFormat2(old_data, old_size, new_data, new_size, matches, level, out, why, flags);
  }
  // The candidates are measured at a middle level by counting their bytes,
  // one after the other in a fixed order (the choice is the same on every run);
  // the smallest is written again at the level asked for.
  const int trial_level = std::min(level, kTrialLevel);
  uint64_t best_size = UINT64_MAX, best_flags = 0;
  std::vector<Match> best_matches;
  FilteredPair copies;
  for (bool filtered : {false, true}) {
    if (filtered) copies.Make(old_data, old_size, new_data, new_size);
    const unsigned char* old_in = filtered ? copies.old_copy.data() : old_data;
    const unsigned char* new_in = filtered ? copies.new_copy.data() : new_data;
    std::unique_ptr<SuffixArray> sa = SortSuffixes(old_in, old_size, memory_cap);
    if (!sa) {
      *why = "cannot sort the old file";
      return false;
    }
    for (size_t gain : kNewAlignmentGains) {
      std::vector<Match> matches = SuffixArrayMatches(*sa, new_in, new_size, gain);
      const uint64_t flags = (filtered ? kFlagBranchFilter : 0) | kFlagWordChanges;
      uint64_t size = 0;
      if (!MeasureFormat2(old_in, old_size, new_in, new_size, matches, trial_level, flags, new_data,
                          &size, why))
        return false;
      // The filter costs every apply two passes over the files: it is
      // taken only where it makes the difference clearly smaller.
      const bool against_plain = filtered && (best_flags & kFlagBranchFilter) == 0;
      const bool better =
          against_plain ? size * kFilterGainDenominator < best_size * (kFilterGainDenominator - 1)
                        : size < best_size;
      if (better) {
        best_size = size;
        best_flags = flags;
        best_matches = std::move(matches);
      }
    }
  }
  const bool filtered = (best_flags & kFlagBranchFilter) != 0;
  const unsigned char* old_in = filtered ? copies.old_copy.data() : old_data;
  const unsigned char* new_in = filtered ? copies.new_copy.data() : new_data;
  if (!ChooseChangeForm(old_in, new_in, best_matches, level, true, &best_flags, why)) return false;
  return WriteFormat2(old_in, old_size, new_in, new_size, best_matches, level, out, why, best_flags,
                      new_data);
}

}  // namespace difference
