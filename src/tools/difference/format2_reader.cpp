#include "format2_reader.h"

#include <zstd.h>

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "branch_filter.h"
#include "crypto/sha256.h"
#include "data/mapped_file.h"
#include "follower.h"

namespace difference {
namespace {

uint64_t Load64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// How often the caller hears how far the output is final.
constexpr uint64_t kProgressEvery = uint64_t{256} << 10;
// How far the writing may run ahead of the last stage of the output.
constexpr uint64_t kMaxOutputLag = uint64_t{16} << 20;

// One zstd frame of the difference decoded piece by piece into a fixed
// buffer. Any damage (a bad frame, a frame that ends early, bytes after the
// frame) makes every later read fail.
class StreamReader {
 public:
  StreamReader(const unsigned char* data, size_t size) : in_{data, size, 0} {
    dctx_ = ZSTD_createDCtx();
    if (dctx_ == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, kStreamWindowLog)))
      failed_ = true;
  }
  ~StreamReader() { ZSTD_freeDCtx(dctx_); }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Copies exactly n bytes to dst.
  bool Read(unsigned char* dst, uint64_t n) {
    while (n > 0) {
      if (pos_ == len_ && !Fill()) return false;
      size_t take = len_ - pos_ < n ? len_ - pos_ : static_cast<size_t>(n);
      memcpy(dst, buf_.data() + pos_, take);
      pos_ += take;
      dst += take;
      n -= take;
    }
    return true;
  }

  // A pointer to the next buffered bytes (at most n, at least one).
  const unsigned char* Peek(uint64_t n, size_t* got) {
    if (pos_ == len_ && !Fill()) return nullptr;
    *got = len_ - pos_ < n ? len_ - pos_ : static_cast<size_t>(n);
    const unsigned char* p = buf_.data() + pos_;
    pos_ += *got;
    return p;
  }

  bool ReadVarint(uint64_t* v) {
    *v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ == len_ && !Fill()) return false;
      unsigned char b = buf_[pos_++];
      if (shift == 63 && b > 1) return false;
      *v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  // True when every decoded byte was read and the frame ended exactly at
  // the end of its compressed bytes.
  bool AtEnd() {
    if (failed_ || pos_ != len_) return false;
    if (!frame_done_ && Fill()) return false;
    return frame_done_ && !failed_ && in_.pos == in_.size && pos_ == len_;
  }

 private:
  bool Fill() {
    pos_ = len_ = 0;
    while (!failed_ && len_ == 0) {
      if (frame_done_) return false;  // asked for more than the frame holds
      ZSTD_outBuffer out = {buf_.data(), buf_.size(), 0};
      size_t before = in_.pos;
      size_t rc = ZSTD_decompressStream(dctx_, &out, &in_);
      if (ZSTD_isError(rc)) {
        failed_ = true;
        break;
      }
      len_ = out.pos;
      if (rc == 0) frame_done_ = true;
      if (rc != 0 && out.pos == 0 && in_.pos == before && in_.pos == in_.size) failed_ = true;
    }
    return !failed_ && len_ > 0;
  }

  ZSTD_DCtx* dctx_ = nullptr;
  ZSTD_inBuffer in_;
  std::vector<unsigned char> buf_ = std::vector<unsigned char>(1u << 17);
  size_t pos_ = 0, len_ = 0;
  bool frame_done_ = false;
  bool failed_ = false;
};

// dst = a + b byte by byte. The three never overlap (the output, the old
// file and a stream's buffer); saying so lets the compiler use vectors.
void AddBytes(unsigned char* __restrict dst, const unsigned char* __restrict a,
              const unsigned char* __restrict b, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = static_cast<unsigned char>(a[i] + b[i]);
}

// One change of the word form, in place: the `width` bytes as a
// little-endian number plus the zigzag-coded `value` (below 2^(8 width)),
// modulo 2^(8 width).
void ChangeWord(unsigned char* bytes, size_t width, uint64_t value) {
  const uint64_t step = (value & 1) != 0 ? ~(value >> 1) : value >> 1;  // two's complement
  if (width == 4 && std::endian::native == std::endian::little) {
    uint32_t word;
    memcpy(&word, bytes, sizeof word);
    word += static_cast<uint32_t>(step);
    memcpy(bytes, &word, sizeof word);
    return;
  }
  uint64_t word = 0;
  for (size_t i = 0; i < width; ++i) word |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  word += step;
  for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<unsigned char>(word >> (8 * i));
}

}  // namespace

bool IsFormat2(const unsigned char* data, size_t size) {
  return size >= sizeof kFormat2Magic &&
         (memcmp(data, kFormat2Magic, sizeof kFormat2Magic) == 0 ||
          memcmp(data, kFormat2FlaggedMagic, sizeof kFormat2FlaggedMagic) == 0);
}

bool ReadFormat2Header(const unsigned char* data, size_t size, Format2Header* h, std::string* why) {
  if (size < kFormat2HeaderSize || !IsFormat2(data, size)) {
    *why = "not a difference of the second format";
    return false;
  }
  h->flags = 0;
  h->values_size = 0;
  h->header_size = kFormat2HeaderSize;
  if (memcmp(data, kFormat2FlaggedMagic, sizeof kFormat2FlaggedMagic) == 0) {
    if (size < kFormat2FlaggedHeaderSize) {
      *why = "not a difference of the second format";
      return false;
    }
    h->flags = Load64(data + kFormat2HeaderSize);
    h->header_size = kFormat2FlaggedHeaderSize;
    if ((h->flags & ~(kFlagBranchFilter | kFlagDenseDifference | kFlagWordChanges)) != 0) {
      *why = "made with a filter this program does not know";
      return false;
    }
    if ((h->flags & kFlagDenseDifference) != 0 && (h->flags & kFlagWordChanges) != 0) {
      *why = "the flags contradict each other";
      return false;
    }
    if ((h->flags & kFlagWordChanges) != 0) {
      if (size < kFormat2WordHeaderSize) {
        *why = "not a difference of the second format";
        return false;
      }
      h->values_size = Load64(data + kFormat2FlaggedHeaderSize);
      h->header_size = kFormat2WordHeaderSize;
    }
  }
  h->old_size = Load64(data + 8);
  h->new_size = Load64(data + 16);
  memcpy(h->digest, data + 24, sizeof h->digest);
  h->control_size = Load64(data + 56);
  h->diff_size = Load64(data + 64);
  h->extra_size = Load64(data + 72);
  uint64_t left = size - h->header_size;
  if (h->values_size > left) {
    *why = "the stream sizes do not add up to the file's size";
    return false;
  }
  left -= h->values_size;
  if (h->control_size > left || h->diff_size > left - h->control_size ||
      h->extra_size != left - h->control_size - h->diff_size) {
    *why = "the stream sizes do not add up to the file's size";
    return false;
  }
  if (h->new_size > SIZE_MAX / 2) {
    *why = "the output size is out of range";
    return false;
  }
  return true;
}

bool ApplyFormat2(const unsigned char* old_data, size_t old_size, const unsigned char* diff,
                  size_t diff_size, unsigned char* out, std::string* why,
                  const ApplyProgress& progress, bool old_is_mapped) {
  Format2Header h;
  if (!ReadFormat2Header(diff, diff_size, &h, why)) return false;
  if (h.old_size != old_size) {
    *why = "made for an old file of another size";
    return false;
  }
  const bool filtered = FilteredOldNeeded(h);
  const bool dense = (h.flags & kFlagDenseDifference) != 0;
  const bool words = (h.flags & kFlagWordChanges) != 0;
  const unsigned char* p = diff + h.header_size;
  StreamReader control(p, h.control_size);
  StreamReader deltas(p + h.control_size, h.diff_size);
  StreamReader extra(p + h.control_size + h.diff_size, h.extra_size);
  StreamReader values(p + h.control_size + h.diff_size + h.extra_size, h.values_size);
  // Word changes: the unchanged bytes before the next change, once read.
  uint64_t unchanged = 0;
  bool have_unchanged = false;
  TarvCrypto::Sha256 sha;

  // Through the branch filter the records read the old file filtered: a
  // copy, made on a thread of its own ahead of the records (the mapped pages
  // of the original dropped as they are copied, where it is a mapping).
  std::unique_ptr<unsigned char[]> filtered_old;
  BranchConverter old_filter(true);
  std::unique_ptr<Follower> old_ready;
  if (filtered && old_size > 0) {
    filtered_old = std::make_unique_for_overwrite<unsigned char[]>(old_size);
    const size_t page = TarvFile::PageSize();
    old_ready = std::make_unique<Follower>(
        old_size, [&, source = old_data, page, copied = size_t{0}](size_t end) mutable {
          memcpy(filtered_old.get() + copied, source + copied, end - copied);
          if (old_is_mapped && end / page > copied / page) {
            TarvFile::GiveBackPages(const_cast<unsigned char*>(source) + copied / page * page,
                                    (end / page - copied / page) * page);
          }
          copied = end;
          const size_t done = old_filter.Convert(filtered_old.get(), end);
          return end == old_size ? end : done;  // the tail is never converted
        });
    old_ready->Advance(old_size);
    old_data = filtered_old.get();
  }
  // The output as it is written goes through the last stage on a thread of
  // its own: turned back from the filter, then digested.
  BranchConverter unfilter(false);
  Follower final_output(h.new_size, [&, hashed = uint64_t{0}](size_t written) mutable {
    size_t done = written;
    if (filtered) {
      done = unfilter.Convert(out, written);
      if (written == h.new_size) done = written;  // the tail is never converted
    }
    sha.Update(out + hashed, done - hashed);
    hashed = done;
    return done;
  });

  const std::string damaged = "the difference is damaged";
  uint64_t out_pos = 0, old_pos = 0, zeros = 0, literals = 0, reported = 0;
  while (out_pos < h.new_size) {
    uint64_t add = 0, extra_len = 0, seek = 0;
    if (!control.ReadVarint(&add) || !control.ReadVarint(&extra_len) ||
        !control.ReadVarint(&seek)) {
      *why = damaged + " (control stream)";
      return false;
    }
    if (add > h.new_size - out_pos || add > old_size - old_pos ||
        extra_len > h.new_size - out_pos - add) {
      *why = damaged + " (a record reaches beyond a file)";
      return false;
    }
    if (old_ready && add > 0) old_ready->WaitFor(old_pos + add);
    // Old bytes plus the difference stream, dense or sparse.
    while (dense && add > 0) {
      size_t got = 0;
      const unsigned char* d = deltas.Peek(add, &got);
      if (d == nullptr) {
        *why = damaged + " (difference stream)";
        return false;
      }
      AddBytes(out + out_pos, old_data + old_pos, d, got);
      add -= got, out_pos += got, old_pos += got;
    }
    if (words && add > 0) {
      // The record's old bytes at once, then its changes in place: most
      // changes are a few dozen bytes apart.
      memcpy(out + out_pos, old_data + old_pos, add);
      for (uint64_t at = 0; at < add;) {
        if (!have_unchanged) {
          if (!deltas.ReadVarint(&unchanged)) {
            *why = damaged + " (difference stream)";
            return false;
          }
          have_unchanged = true;
        }
        if (unchanged > 0) {
          const uint64_t n = unchanged < add - at ? unchanged : add - at;
          unchanged -= n, at += n;
          continue;
        }
        uint64_t value = 0;
        const size_t width =
            add - at < kWordChangeBytes ? static_cast<size_t>(add - at) : kWordChangeBytes;
        if (!values.ReadVarint(&value) || (value >> (8 * width)) != 0) {
          *why = damaged + " (values stream)";
          return false;
        }
        ChangeWord(out + out_pos + at, width, value);
        at += width;
        have_unchanged = false;
      }
      out_pos += add, old_pos += add, add = 0;
    }
    while (add > 0) {
      if (zeros == 0 && literals == 0) {
        if (!deltas.ReadVarint(&zeros) || !deltas.ReadVarint(&literals) ||
            (zeros == 0 && literals == 0)) {
          *why = damaged + " (difference stream)";
          return false;
        }
      }
      if (zeros > 0) {
        uint64_t n = zeros < add ? zeros : add;
        memcpy(out + out_pos, old_data + old_pos, n);
        zeros -= n, add -= n, out_pos += n, old_pos += n;
        continue;
      }
      size_t got = 0;
      const unsigned char* d = deltas.Peek(literals < add ? literals : add, &got);
      if (d == nullptr) {
        *why = damaged + " (difference stream)";
        return false;
      }
      AddBytes(out + out_pos, old_data + old_pos, d, got);
      literals -= got, add -= got, out_pos += got, old_pos += got;
    }
    if (!extra.Read(out + out_pos, extra_len)) {
      *why = damaged + " (extra stream)";
      return false;
    }
    out_pos += extra_len;
    // Zigzag: the lowest bit is the sign.
    uint64_t step = seek >> 1;
    bool back = (seek & 1) != 0;
    if (back ? step > old_pos : step > old_size - old_pos) {
      *why = damaged + " (a record seeks beyond the old file)";
      return false;
    }
    old_pos = back ? old_pos - step : old_pos + step;
    final_output.Advance(out_pos);
    // The caller may give the output's memory back behind the digest: the
    // writing waits when it runs too far ahead of it.
    if (out_pos - final_output.Done() > kMaxOutputLag)
      final_output.WaitFor(out_pos - kMaxOutputLag);
    if (progress && out_pos - reported >= kProgressEvery) {
      progress(final_output.Done());
      reported = out_pos;
    }
  }
  if (words && !have_unchanged && !deltas.ReadVarint(&unchanged)) {
    *why = damaged + " (difference stream)";
    return false;
  }
  if (zeros != 0 || literals != 0 || unchanged != 0 || !control.AtEnd() || !deltas.AtEnd() ||
      !extra.AtEnd() || (words && !values.AtEnd())) {
    *why = damaged + " (data left over)";
    return false;
  }
  final_output.Finish();
  TarvCrypto::Sha256Digest rebuilt;
  if (!sha.Finish(&rebuilt)) {
    *why = "out of memory";
    return false;
  }
  if (memcmp(rebuilt.data(), h.digest, rebuilt.size()) != 0) {
    *why = "the rebuilt file does not match its digest (another old file?)";
    return false;
  }
  return true;
}

}  // namespace difference
