#include "format2_writer.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "branch_filter.h"
#include "crypto/sha256.h"
#include "data/counting_stream.h"
#include "format2.h"

namespace difference {
namespace {

// Matches are anchored on strings of this many bytes.
constexpr size_t kAnchor = 32;
// The forward growth of a match over changed bytes stops after this many
// bytes that did not make it better.
constexpr size_t kGiveUp = 256;
constexpr long long kChangeCost = 8;
// Inside a literal run of the difference stream, fewer zeros than this are
// kept as literals (a new pair costs about as much).
constexpr size_t kZeroRunBreak = 4;

uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

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

// Length of the common run of a and b, at most n.
size_t CommonLength(const unsigned char* a, const unsigned char* b, size_t n) {
  size_t i = 0;
  while (i + 8 <= n && Load64(a + i) == Load64(b + i)) i += 8;
  while (i < n && a[i] == b[i]) ++i;
  return i;
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

// The longest common prefix of `query` (of `n` bytes) with a suffix of the
// old file, found by binary search over the sorted suffixes. The suffix with
// the longest common prefix sits next to where the query would be sorted in;
// every suffix between two bounds shares at least the shorter of the bounds'
// common prefixes with the query, so the comparisons start there.
// The search starts in the bucket of the query's first three bytes: on
// data with few long matches (compressed assets), most of the time goes to
// the search, and the bucket saves its first twenty steps, each a cache miss.
struct SuffixArray {
  const unsigned char* old_data;
  size_t old_size;
  std::vector<saidx_t> order;
  std::vector<uint32_t> buckets;  // the first suffix of each 3-byte key, and the end

  static uint32_t KeyOf(const unsigned char* p, size_t n) {
    // A shorter suffix sorts before its extensions: padding it with zero
    // keeps the keys in the order of the suffixes.
    uint32_t key = 0;
    for (size_t i = 0; i < 3; ++i) key = key << 8 | (i < n ? p[i] : 0);
    return key;
  }

  void MakeBuckets() {
    buckets.assign((size_t{1} << 24) + 1, 0);
    size_t filled = 0;
    for (size_t i = 0; i < old_size; ++i) {
      const auto start = static_cast<size_t>(order[i]);
      const uint32_t key = KeyOf(old_data + start, old_size - start);
      while (filled <= key) buckets[filled++] = static_cast<uint32_t>(i);
    }
    while (filled < buckets.size()) buckets[filled++] = static_cast<uint32_t>(old_size);
  }

  size_t Longest(const unsigned char* query, size_t n, size_t* at) const {
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
};

// A new alignment (an exact match elsewhere in the old file) is taken when
// its exact match is this many bytes longer than what the current alignment
// gets right over the same bytes. Neither gain is best everywhere: tables
// of pointers that moved by differing amounts want the smaller one, code
// mostly the larger; the writer tries both.
constexpr size_t kNewAlignmentGains[] = {8, 6};

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

// Old files from this size get the buckets (64 MiB).
constexpr size_t kBucketsFrom = size_t{1} << 22;

// Whether the suffix array of an old file of this size fits the cap (and
// the 32-bit indices of the sorter).
bool SuffixArrayFits(size_t old_size, uint64_t memory_cap) {
  return old_size > 0 && old_size < (size_t{1} << 31) - 1 &&
         uint64_t{old_size} * sizeof(saidx_t) <= memory_cap;
}

// The suffix array of the old file, or none when it does not fit the cap.
std::unique_ptr<SuffixArray> SortSuffixes(const unsigned char* old_data, size_t old_size,
                                          uint64_t memory_cap) {
  if (!SuffixArrayFits(old_size, memory_cap)) return nullptr;
  auto sa = std::make_unique<SuffixArray>(
      SuffixArray{old_data, old_size, std::vector<saidx_t>(old_size)});
  if (divsufsort(old_data, sa->order.data(), static_cast<saidx_t>(old_size)) != 0) return nullptr;
  if (old_size >= kBucketsFrom) sa->MakeBuckets();
  return sa;
}

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

}  // namespace

std::vector<Match> FindMatches(const unsigned char* old_data, size_t old_size,
                               const unsigned char* new_data, size_t new_size,
                               uint64_t memory_cap) {
  if (old_size == 0 || new_size == 0) return {};
  std::unique_ptr<SuffixArray> sa = SortSuffixes(old_data, old_size, memory_cap);
  if (!sa) return AnchorMatches(old_data, old_size, new_data, new_size);
  return SuffixArrayMatches(*sa, new_data, new_size, kNewAlignmentGains[0]);
}

namespace {

// One zstd frame written to the file as its bytes come.
class StreamWriter {
 public:
  StreamWriter(FILE* out, int level) : out_(out) {
    cctx_ = ZSTD_createCCtx();
    ok_ = cctx_ != nullptr;
    for (auto [p, v] :
         {std::pair{ZSTD_c_compressionLevel, level}, std::pair{ZSTD_c_windowLog, kStreamWindowLog},
          std::pair{ZSTD_c_enableLongDistanceMatching, 1}}) {
      if (ok_) ok_ = !ZSTD_isError(ZSTD_CCtx_setParameter(cctx_, p, v));
    }
  }
  ~StreamWriter() { ZSTD_freeCCtx(cctx_); }
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  void Write(const unsigned char* data, size_t n) {
    while (n > 0) {
      size_t take = n < kPiece ? n : kPiece;
      pending_.insert(pending_.end(), data, data + take);
      data += take;
      n -= take;
      if (pending_.size() >= kPiece) Push(ZSTD_e_continue);
    }
  }
  void WriteVarint(uint64_t v) {
    unsigned char b[10];
    size_t n = 0;
    while (v >= 0x80) {
      b[n++] = static_cast<unsigned char>(v | 0x80);
      v >>= 7;
    }
    b[n++] = static_cast<unsigned char>(v);
    Write(b, n);
  }
  // Ends the frame; false when compressing or writing failed.
  bool Finish(uint64_t* compressed) {
    Push(ZSTD_e_end);
    *compressed = written_;
    return ok_;
  }

 private:
  void Push(ZSTD_EndDirective mode) {
    ZSTD_inBuffer in = {pending_.data(), pending_.size(), 0};
    std::vector<unsigned char> buf(ZSTD_CStreamOutSize());
    for (;;) {
      if (!ok_) break;
      ZSTD_outBuffer o = {buf.data(), buf.size(), 0};
      size_t left = ZSTD_compressStream2(cctx_, &o, &in, mode);
      if (ZSTD_isError(left) || (o.pos > 0 && fwrite(buf.data(), 1, o.pos, out_) != o.pos)) {
        ok_ = false;
        break;
      }
      written_ += o.pos;
      if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) break;
    }
    pending_.clear();
  }

  static constexpr size_t kPiece = size_t{1} << 20;
  FILE* out_;
  ZSTD_CCtx* cctx_ = nullptr;
  std::vector<unsigned char> pending_;
  uint64_t written_ = 0;
  bool ok_ = false;
};

void Store64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// One record: `add` bytes from the old position, `extra` bytes as they are,
// then the old position moves by `seek`.
struct Record {
  uint64_t add;
  uint64_t extra;
  int64_t seek;
};

std::vector<Record> RecordsOf(const std::vector<Match>& matches, size_t new_size) {
  std::vector<Record> records;
  if (new_size == 0) return records;
  uint64_t first_new = matches.empty() ? new_size : matches[0].new_pos;
  uint64_t first_old = matches.empty() ? 0 : matches[0].old_pos;
  records.push_back({0, first_new, static_cast<int64_t>(first_old)});
  for (size_t i = 0; i < matches.size(); ++i) {
    const Match& m = matches[i];
    uint64_t next_new = i + 1 < matches.size() ? matches[i + 1].new_pos : new_size;
    uint64_t next_old = i + 1 < matches.size() ? matches[i + 1].old_pos : m.old_pos + m.length;
    records.push_back(
        {m.length, next_new - m.new_pos - m.length,
         static_cast<int64_t>(next_old) - static_cast<int64_t>(m.old_pos + m.length)});
  }
  return records;
}

// The sparse difference stream: (zeros, literals) pairs, then the literals.
class DeltaEncoder {
 public:
  explicit DeltaEncoder(StreamWriter* w) : w_(w) {}
  void Add(const unsigned char* old_data, const unsigned char* new_data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      unsigned char d = static_cast<unsigned char>(new_data[i] - old_data[i]);
      if (literals_.empty()) {
        if (d == 0) {
          ++zeros_;
        } else {
          literals_.push_back(d);
        }
      } else if (d == 0) {
        if (++held_zeros_ >= kZeroRunBreak) {
          Emit();
          zeros_ = held_zeros_;
          held_zeros_ = 0;
        }
      } else {
        literals_.insert(literals_.end(), held_zeros_, 0);
        held_zeros_ = 0;
        literals_.push_back(d);
      }
    }
  }
  void Finish() {
    if (!literals_.empty()) Emit();
    zeros_ += held_zeros_;
    held_zeros_ = 0;
    if (zeros_ > 0) Emit();
  }

 private:
  void Emit() {
    w_->WriteVarint(zeros_);
    w_->WriteVarint(literals_.size());
    w_->Write(literals_.data(), literals_.size());
    zeros_ = 0;
    literals_.clear();
  }
  StreamWriter* w_;
  uint64_t zeros_ = 0;
  size_t held_zeros_ = 0;
  std::vector<unsigned char> literals_;
};

// The word changes (format2.h): the counts of unchanged add bytes to the
// difference stream, the changes, each a word of up to four bytes, to the
// values stream. The values stream comes after the extra stream in the
// file, so the writer runs the encoder twice, once for each stream (the
// other one null).
class WordChangeEncoder {
 public:
  WordChangeEncoder(StreamWriter* counts, StreamWriter* values)
      : counts_(counts), values_(values) {}
  // The add bytes of one record.
  void Add(const unsigned char* old_data, const unsigned char* new_data, size_t n) {
    for (size_t i = 0; i < n;) {
      const size_t same = CommonLength(old_data + i, new_data + i, n - i);
      unchanged_ += same;
      i += same;
      if (i == n) break;
      const size_t width = std::min(kWordChangeBytes, n - i);
      uint64_t old_word = 0, new_word = 0;
      for (size_t k = 0; k < width; ++k) {
        old_word |= static_cast<uint64_t>(old_data[i + k]) << (8 * k);
        new_word |= static_cast<uint64_t>(new_data[i + k]) << (8 * k);
      }
      // The step modulo 2^(8 width), as a signed number of that width.
      const unsigned bits = static_cast<unsigned>(8 * width);
      uint64_t step = (new_word - old_word) & ((uint64_t{1} << bits) - 1);
      if ((step >> (bits - 1)) != 0) step |= ~uint64_t{0} << bits;  // negative
      const auto signed_step = static_cast<int64_t>(step);
      if (counts_ != nullptr) counts_->WriteVarint(unchanged_);
      if (values_ != nullptr) values_->WriteVarint(signed_step < 0 ? (~step << 1) | 1 : step << 1);
      unchanged_ = 0;
      i += width;
    }
  }
  void Finish() {
    if (counts_ != nullptr) counts_->WriteVarint(unchanged_);
  }

 private:
  StreamWriter* counts_;
  StreamWriter* values_;
  uint64_t unchanged_ = 0;
};

// The difference stream of the add bytes, in the form the flags name.
void WriteDifferenceStream(StreamWriter* deltas, const unsigned char* old_data,
                           const unsigned char* new_data, const std::vector<Match>& matches,
                           uint64_t flags) {
  if ((flags & kFlagWordChanges) != 0) {
    WordChangeEncoder encoder(deltas, nullptr);
    for (const Match& m : matches)
      encoder.Add(old_data + m.old_pos, new_data + m.new_pos, m.length);
    encoder.Finish();
  } else if ((flags & kFlagDenseDifference) != 0) {
    std::vector<unsigned char> piece;
    for (const Match& m : matches) {
      for (uint64_t at = 0; at < m.length; at += piece.size()) {
        piece.resize(std::min<uint64_t>(m.length - at, 1u << 20));
        for (size_t i = 0; i < piece.size(); ++i)
          piece[i] = static_cast<unsigned char>(new_data[m.new_pos + at + i] -
                                                old_data[m.old_pos + at + i]);
        deltas->Write(piece.data(), piece.size());
      }
    }
  } else {
    DeltaEncoder encoder(deltas);
    for (const Match& m : matches)
      encoder.Add(old_data + m.old_pos, new_data + m.new_pos, m.length);
    encoder.Finish();
  }
}

// The values stream of word changes.
void WriteValuesStream(StreamWriter* values, const unsigned char* old_data,
                       const unsigned char* new_data, const std::vector<Match>& matches) {
  WordChangeEncoder encoder(nullptr, values);
  for (const Match& m : matches) encoder.Add(old_data + m.old_pos, new_data + m.new_pos, m.length);
}

size_t HeaderSizeFor(uint64_t flags) {
  return (flags & kFlagWordChanges) != 0 ? kFormat2WordHeaderSize
         : flags != 0                    ? kFormat2FlaggedHeaderSize
                                         : kFormat2HeaderSize;
}

}  // namespace

bool WriteFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                  size_t new_size, const std::vector<Match>& matches, int level, FILE* out,
                  std::string* why, uint64_t flags, const unsigned char* digest_of) {
  unsigned char header[kFormat2WordHeaderSize] = {};
  const bool words = (flags & kFlagWordChanges) != 0;
  const size_t header_size = HeaderSizeFor(flags);
  memcpy(header, flags != 0 ? kFormat2FlaggedMagic : kFormat2Magic, sizeof kFormat2Magic);
  Store64(header + 8, old_size);
  Store64(header + 16, new_size);
  Store64(header + kFormat2HeaderSize, flags);
  TarvCrypto::Sha256 sha;
  sha.Update(digest_of != nullptr ? digest_of : new_data, new_size);
  TarvCrypto::Sha256Digest digest;
  if (!sha.Finish(&digest)) {
    *why = "cannot compute the digest";
    return false;
  }
  memcpy(header + 24, digest.data(), digest.size());
  if (fwrite(header, 1, header_size, out) != header_size) {
    *why = std::string("cannot write the difference: ") + strerror(errno);
    return false;
  }
  std::vector<Record> records = RecordsOf(matches, new_size);
  uint64_t sizes[4] = {};
  bool ok = true;
  {
    StreamWriter control(out, level);
    for (const Record& r : records) {
      control.WriteVarint(r.add);
      control.WriteVarint(r.extra);
      control.WriteVarint(r.seek < 0 ? (static_cast<uint64_t>(-r.seek) << 1) | 1
                                     : static_cast<uint64_t>(r.seek) << 1);
    }
    ok = control.Finish(&sizes[0]);
  }
  if (ok) {
    StreamWriter deltas(out, level);
    WriteDifferenceStream(&deltas, old_data, new_data, matches, flags);
    ok = deltas.Finish(&sizes[1]);
  }
  if (ok) {
    StreamWriter extra(out, level);
    uint64_t pos = 0;
    for (const Record& r : records) {
      pos += r.add;
      extra.Write(new_data + pos, r.extra);
      pos += r.extra;
    }
    ok = extra.Finish(&sizes[2]);
  }
  if (ok && words) {
    StreamWriter values(out, level);
    WriteValuesStream(&values, old_data, new_data, matches);
    ok = values.Finish(&sizes[3]);
  }
  for (size_t i = 0; i < 3; ++i) Store64(header + 56 + 8 * i, sizes[i]);
  Store64(header + kFormat2FlaggedHeaderSize, sizes[3]);
  if (!ok || fseek(out, 0, SEEK_SET) != 0 || fwrite(header, 1, header_size, out) != header_size ||
      fseek(out, 0, SEEK_END) != 0) {
    *why = std::string("cannot write the difference: ") + strerror(errno);
    return false;
  }
  return true;
}

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

namespace {

// How many bytes `write` writes (to a stream that only counts).
bool CountBytes(const std::function<bool(FILE*)>& write, uint64_t* size, std::string* why) {
  // The writer goes back to the header at the end, so the stream seeks.
  TarvFile::CountingStream counter;
  FILE* f = counter.Open();
  if (f == nullptr) {
    *why = std::string("cannot measure a difference: ") + strerror(errno);
    return false;
  }
  bool ok = write(f);
  ok = counter.Close() && ok;
  if (!ok && why->empty()) *why = "cannot measure a difference";
  *size = counter.size();
  return ok;
}

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

// What the parts of a difference that depend on the form of the changes
// (the header, the difference and values streams) take, in bytes: the
// control and extra streams are the same in every form.
bool MeasureChangeStreams(const unsigned char* old_data, const unsigned char* new_data,
                          const std::vector<Match>& matches, int level, uint64_t flags,
                          uint64_t* size, std::string* why) {
  uint64_t streams = 0;
  const bool ok = CountBytes(
      [&](FILE* f) {
        uint64_t compressed = 0;
        StreamWriter deltas(f, level);
        WriteDifferenceStream(&deltas, old_data, new_data, matches, flags);
        if (!deltas.Finish(&compressed)) return false;
        if ((flags & kFlagWordChanges) == 0) return true;
        StreamWriter values(f, level);
        WriteValuesStream(&values, old_data, new_data, matches);
        return values.Finish(&compressed);
      },
      &streams, why);
  *size = HeaderSizeFor(flags) + streams;
  return ok;
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
