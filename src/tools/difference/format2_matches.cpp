#include "format2_matches.h"

#include <algorithm>

namespace difference {
namespace {

// Matches are anchored on strings of this many bytes.
constexpr size_t kAnchor = 32;
// The forward growth of a match over changed bytes stops after this many
// bytes that did not make it better.
constexpr size_t kGiveUp = 256;
constexpr long long kChangeCost = 8;

uint32_t HashAt(const unsigned char* p, unsigned bits) {
  uint64_t h = Load64(p) * 0x9E3779B185EBCA87ull ^ Load64(p + 8) * 0xC2B2AE3D27D4EB4Full ^
               Load64(p + 16) * 0x27D4EB2F165667C5ull ^ Load64(p + 24) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>((h ^ h >> 29) * 0x165667B19E3779F9ull >> (64 - bits));
}

// The index: the positions of every `step`-th anchor of the old file by its
// hash, kWays of them for each hash (the latest ones). Repetitive data has
// many copies of one anchor; the way that gives the longest match wins.
constexpr size_t kWays = 4;
struct AnchorIndex {
  unsigned bits = 14;
  size_t step = 1;
  std::vector<uint32_t> slots;
};

constexpr uint32_t kEmpty = 0xFFFFFFFFu;

AnchorIndex BuildIndex(const unsigned char* old_data, size_t old_size) {
  AnchorIndex index;
  // At most 2^25 anchors in at most 2^26 slots (256 MiB). An old file of
  // more than 256 MiB gets half of that: its own pages and the new file's
  // take most of the memory then, and anchors every few dozen bytes still
  // find the long matches that large data has.
  const bool large = old_size > (size_t{256} << 20);
  const size_t max_anchors = size_t{1} << (large ? 24 : 25);
  const unsigned max_bits = large ? 23 : 24;
  index.step = old_size / max_anchors + 1;
  size_t anchors = old_size / index.step + 1;
  while (index.bits < max_bits && (size_t{kWays} << index.bits) < anchors * 2) ++index.bits;
  index.slots.assign(size_t{kWays} << index.bits, kEmpty);
  for (size_t i = 0; i + kAnchor <= old_size; i += index.step) {
    uint32_t* ways = &index.slots[size_t{HashAt(old_data + i, index.bits)} * kWays];
    memmove(ways + 1, ways, (kWays - 1) * sizeof *ways);
    ways[0] = static_cast<uint32_t>(i);
  }
  return index;
}

// How far past `end` (new) the match should grow over changed bytes: to the
// length where the equal bytes minus kChangeCost times the changed ones is
// highest. A change is worth bridging only when much more equal data
// follows it; with a lower cost, another copy of repetitive data that agrees
// in most bytes (a wrong alignment) would be grown into as well.
size_t GrowOverChanges(const unsigned char* old_data, size_t old_size,
                       const unsigned char* new_data, size_t new_size, size_t end, size_t old_end) {
  size_t limit = new_size - end;
  if (old_size - old_end < limit) limit = old_size - old_end;
  long long score = 0, best_score = 0;
  size_t best = 0, since_best = 0;
  for (size_t i = 0; i < limit; ++i) {
    size_t same = CommonLength(new_data + end + i, old_data + old_end + i, limit - i);
    if (same > 0) {
      score += static_cast<long long>(same);
      i += same - 1;
    } else {
      score -= kChangeCost;
    }
    if (score > best_score) {
      best_score = score;
      best = i + 1;
      since_best = 0;
    } else if (++since_best > kGiveUp) {
      break;
    }
  }
  return best;
}

// The matches of the anchor index: the old file is beyond the suffix array's
// memory, or too short for it to matter.
std::vector<Match> AnchorMatches(const unsigned char* old_data, size_t old_size,
                                 const unsigned char* new_data, size_t new_size) {
  std::vector<Match> matches;
  if (old_size < kAnchor || new_size < kAnchor) return matches;
  AnchorIndex index = BuildIndex(old_data, old_size);
  size_t done = 0;  // the new file before this is decided
  size_t p = 0;
  // The shift (old position minus new position) of the last match: after a
  // change the rest usually continues at it, and in repetitive data the
  // index may name another copy of the same bytes first.
  long long shift = 0;
  bool have_shift = false;
  while (p + kAnchor <= new_size) {
    size_t o = 0, len = 0;
    if (have_shift && static_cast<long long>(p) + shift >= 0 &&
        static_cast<unsigned long long>(static_cast<long long>(p) + shift) < old_size) {
      o = static_cast<size_t>(static_cast<long long>(p) + shift);
      len = CommonLength(new_data + p, old_data + o, std::min(new_size - p, old_size - o));
    }
    const uint32_t* ways = &index.slots[size_t{HashAt(new_data + p, index.bits)} * kWays];
    for (size_t w = 0; w < kWays && ways[w] != kEmpty; ++w) {
      size_t slot = ways[w];
      if (slot == o && len > 0) continue;
      size_t n =
          CommonLength(new_data + p, old_data + slot, std::min(new_size - p, old_size - slot));
      if (n > len) {
        o = slot;
        len = n;
      }
    }
    if (len < kAnchor) {
      ++p;
      continue;
    }
    size_t back = 0;
    while (p - back > done && o - back > 0 && new_data[p - back - 1] == old_data[o - back - 1])
      ++back;
    size_t start = p - back, old_start = o - back;
    len += back;
    len += GrowOverChanges(old_data, old_size, new_data, new_size, start + len, old_start + len);
    // A match that continues the previous one at the same shift extends it.
    if (!matches.empty()) {
      Match& last = matches.back();
      if (last.new_pos + last.length == start && last.old_pos + last.length == old_start) {
        last.length += len;
        done = p = start + len;
        continue;
      }
    }
    matches.push_back({start, old_start, len});
    done = p = start + len;
    shift = static_cast<long long>(old_start) - static_cast<long long>(start);
    have_shift = true;
  }
  return matches;
}

// How far a region at `old_pos` of the old file is worth growing over
// `limit` bytes of the new file at `new_pos`, `step` = 1 forwards or -1
// backwards (then from the byte before the positions): to the length where
// twice the equal bytes minus the length is highest. A region that is right
// in more than half its bytes costs less as changes than as new bytes; the
// changes are mostly the same few values (addresses that moved by the same
// amount) and compress well.
size_t Grow(const unsigned char* old_data, size_t old_size, size_t old_pos,
            const unsigned char* new_data, size_t new_pos, size_t limit, bool forwards) {
  if (forwards) {
    limit = std::min(limit, old_size - std::min(old_size, old_pos));
  } else {
    limit = std::min({limit, old_pos, new_pos});
  }
  long long score = 0, best_score = 0;
  size_t best = 0;
  for (size_t i = 0; i < limit; ++i) {
    bool same = forwards ? old_data[old_pos + i] == new_data[new_pos + i]
                         : old_data[old_pos - 1 - i] == new_data[new_pos - 1 - i];
    score += same ? 1 : -1;
    if (score > best_score) {
      best_score = score;
      best = i + 1;
    }
  }
  return best;
}

// Old files from this size get the buckets (64 MiB).
constexpr size_t kBucketsFrom = size_t{1} << 22;

}  // namespace

uint32_t SuffixArray::KeyOf(const unsigned char* p, size_t n) {
  // A shorter suffix sorts before its extensions: padding it with zero
  // keeps the keys in the order of the suffixes.
  uint32_t key = 0;
  for (size_t i = 0; i < 3; ++i) key = key << 8 | (i < n ? p[i] : 0);
  return key;
}

void SuffixArray::MakeBuckets() {
  buckets.assign((size_t{1} << 24) + 1, 0);
  size_t filled = 0;
  for (size_t i = 0; i < old_size; ++i) {
    const auto start = static_cast<size_t>(order[i]);
    const uint32_t key = KeyOf(old_data + start, old_size - start);
    while (filled <= key) buckets[filled++] = static_cast<uint32_t>(i);
  }
  while (filled < buckets.size()) buckets[filled++] = static_cast<uint32_t>(old_size);
}

// The longest common prefix of `query` (of `n` bytes) with a suffix of the
// old file, found by binary search over the sorted suffixes. The suffix with
// the longest common prefix sits next to where the query would be sorted in;
// every suffix between two bounds shares at least the shorter of the bounds'
// common prefixes with the query, so the comparisons start there.
// The search starts in the bucket of the query's first three bytes: on
// data with few long matches (compressed assets), most of the time goes to
// the search, and the bucket saves its first twenty steps, each a cache miss.
size_t SuffixArray::Longest(const unsigned char* query, size_t n, size_t* at) const {
  size_t lo = 0, hi = old_size, common_lo = 0, common_hi = 0;
  if (n >= 3 && !buckets.empty()) {
    const uint32_t key = KeyOf(query, n);
    lo = buckets[key];
    hi = buckets[key + 1];
  }
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    size_t start = static_cast<size_t>(order[mid]);
    size_t known = std::min(common_lo, common_hi);
    size_t reach = std::min(n, old_size - start);
    size_t same = known + CommonLength(query + known, old_data + start + known, reach - known);
    if (same == n || (same < reach && old_data[start + same] > query[same])) {
      hi = mid;  // the query sorts before this suffix
      common_hi = same;
    } else {
      lo = mid + 1;
      common_lo = same;
    }
  }
  size_t best = 0;
  *at = 0;
  if (lo > 0 && common_lo > best) {  // (0 when no probe set it)
    best = common_lo;
    *at = static_cast<size_t>(order[lo - 1]);
  }
  if (lo < old_size && common_hi > best) {
    best = common_hi;
    *at = static_cast<size_t>(order[lo]);
  }
  return best;
}

// Matching by the suffix array of the old file. The new file is cut into
// regions, each at one alignment (old position minus new position): a scan
// looks for the longest exact match at each position and starts a new
// region where that match beats the current alignment clearly. Between two
// alignments, the earlier one grows forwards and the later one backwards
// over the bytes they get mostly right; what neither covers becomes extra
// bytes.
std::vector<Match> SuffixArrayMatches(const SuffixArray& sa, const unsigned char* new_data,
                                      size_t new_size, size_t gain) {
  const unsigned char* old_data = sa.old_data;
  const size_t old_size = sa.old_size;
  std::vector<Match> matches;
  size_t region = 0, region_old = 0;  // the current region and its alignment
  size_t scan = 0, len = 0, at = 0;
  auto agrees = [&](size_t p) {
    size_t o = p - region + region_old;  // may wrap below zero: then beyond old_size
    return p >= region && o < old_size && old_data[o] == new_data[p];
  };
  while (scan < new_size) {
    // The bytes of the exact match that the current alignment gets right.
    size_t right = 0;
    size_t counted = scan += len;
    for (; scan < new_size; ++scan) {
      len = sa.Longest(new_data + scan, new_size - scan, &at);
      for (; counted < scan + len; ++counted) right += agrees(counted) ? 1 : 0;
      if ((len == right && len != 0) || len > right + gain) break;
      if (agrees(scan)) --right;
    }
    if (len == right && scan < new_size) continue;  // the alignment holds on
    size_t span = scan - region;
    size_t forward = Grow(old_data, old_size, region_old, new_data, region, span, true);
    size_t backward =
        scan < new_size ? Grow(old_data, old_size, at, new_data, scan, span, false) : 0;
    if (forward + backward > span) {
      // The two overlap: split where the bytes the earlier one gets right
      // and the later one does not most outweigh the other way round.
      size_t overlap = forward + backward - span;
      size_t from = scan - backward;
      long long score = 0, best_score = 0;
      size_t split = 0;
      for (size_t i = 0; i < overlap; ++i) {
        size_t p = from + i;
        score += old_data[region_old + (p - region)] == new_data[p] ? 1 : 0;
        score -= old_data[at - backward + i] == new_data[p] ? 1 : 0;
        if (score > best_score) {
          best_score = score;
          split = i + 1;
        }
      }
      forward = forward - overlap + split;
      backward -= split;
    }
    if (forward > 0) {
      if (!matches.empty() && matches.back().new_pos + matches.back().length == region &&
          matches.back().old_pos + matches.back().length == region_old) {
        matches.back().length += forward;  // the same alignment goes on
      } else {
        matches.push_back({region, region_old, forward});
      }
    }
    region = scan - backward;
    region_old = at - backward;
  }
  return matches;
}

bool SuffixArrayFits(size_t old_size, uint64_t memory_cap) {
  return old_size > 0 && old_size < (size_t{1} << 31) - 1 &&
         uint64_t{old_size} * sizeof(saidx_t) <= memory_cap;
}

std::unique_ptr<SuffixArray> SortSuffixes(const unsigned char* old_data, size_t old_size,
                                          uint64_t memory_cap) {
  if (!SuffixArrayFits(old_size, memory_cap)) return nullptr;
  auto sa = std::make_unique<SuffixArray>(
      SuffixArray{old_data, old_size, std::vector<saidx_t>(old_size)});
  if (divsufsort(old_data, sa->order.data(), static_cast<saidx_t>(old_size)) != 0) return nullptr;
  if (old_size >= kBucketsFrom) sa->MakeBuckets();
  return sa;
}

std::vector<Match> FindMatches(const unsigned char* old_data, size_t old_size,
                               const unsigned char* new_data, size_t new_size,
                               uint64_t memory_cap) {
  if (old_size == 0 || new_size == 0) return {};
  std::unique_ptr<SuffixArray> sa = SortSuffixes(old_data, old_size, memory_cap);
  if (!sa) return AnchorMatches(old_data, old_size, new_data, new_size);
  return SuffixArrayMatches(*sa, new_data, new_size, kNewAlignmentGains[0]);
}

}  // namespace difference
