#include "format2_encoding.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "crypto/sha256.h"
#include "data/counting_stream.h"
#include "format2.h"

namespace difference {
namespace {

// Inside a literal run of the difference stream, fewer zeros than this are
// kept as literals (a new pair costs about as much).
constexpr size_t kZeroRunBreak = 4;

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

}  // namespace difference
