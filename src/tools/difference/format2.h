// The second difference format ("format 2"). A difference of this format
// rebuilds the new file from the old one as a series of records, each:
//
//   add   bytes taken from the old file at the current position, each plus
//         the byte of the difference stream (mostly zero: where old and new
//         agree);
//   extra bytes taken as they are from the extra stream;
//   seek  a signed step of the old position (after the add bytes).
//
// The file: a fixed header (below), then three zstd frames, one after the
// other: the control stream (the records as three varints each, the seek
// zigzag-coded), the difference stream and the extra stream. The difference
// stream is sparse: pairs of varints (a run of zero bytes, a run of literal
// bytes) followed by that many literal bytes, covering all add bytes in
// order. All integers of the header are little-endian.
//
//   offset 0   8 bytes   magic "TarvDif2" (a zstd frame starts otherwise)
//          8   u64       size of the old file
//         16   u64       size of the new file
//         24   32 bytes  SHA-256 of the new file
//         56   u64       compressed size of the control stream
//         64   u64       compressed size of the difference stream
//         72   u64       compressed size of the extra stream
//         80             the three streams; nothing follows them
//
// A difference made with a filter has the magic "TarvDif3", and after the
// fields above, at offset 80, a u64 of flags (the streams follow at 88):
//
//   bit 0  the branch filter (branch_filter.h): the records rebuild the
//          filtered new file from the filtered old file; the output is
//          turned back as it is written. The digest is of the new file.
//   bit 1  the difference stream is dense: one byte for every add byte
//          (zero where old and new agree), no runs.
//   bit 2  word changes: the add bytes change in words of up to four bytes
//          (below). The header has one more u64 at offset 88, the
//          compressed size of a fourth stream, the values, which follows
//          the extra stream; the streams start at 96. Not with bit 1.
//
// Word changes: the difference stream holds varints, the values stream
// zigzag varints. Over the add bytes of all records in order, a varint of
// the difference stream counts bytes taken from the old file unchanged; a
// change follows it: the next w = min(4, bytes left in this record's add)
// bytes, read as a little-endian number, plus the next value modulo
// 2^(8w). The stream alternates: a count, a change, a count ... and ends
// with the count of the unchanged bytes after the last change. A changed
// address (a pointer or an operand that moved) is one value whatever its
// carries, and addresses that moved by the same amount are the same value.
//
// Other bits are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace difference {

constexpr unsigned char kFormat2Magic[8] = {'T', 'a', 'r', 'v', 'D', 'i', 'f', '2'};
constexpr size_t kFormat2HeaderSize = 80;
constexpr unsigned char kFormat2FlaggedMagic[8] = {'T', 'a', 'r', 'v', 'D', 'i', 'f', '3'};
constexpr size_t kFormat2FlaggedHeaderSize = 88;
constexpr uint64_t kFlagBranchFilter = 1;
constexpr uint64_t kFlagDenseDifference = 2;
constexpr uint64_t kFlagWordChanges = 4;
constexpr size_t kFormat2WordHeaderSize = 96;
// The widest change of the word form.
constexpr size_t kWordChangeBytes = 4;
// The window of each stream's frame: the reader's memory does not grow with
// the file beyond it.
constexpr int kStreamWindowLog = 27;

struct Format2Header {
  uint64_t old_size = 0;
  uint64_t new_size = 0;
  unsigned char digest[32] = {};
  uint64_t control_size = 0;
  uint64_t diff_size = 0;
  uint64_t extra_size = 0;
  uint64_t values_size = 0;  // with kFlagWordChanges
  uint64_t flags = 0;
  size_t header_size = kFormat2HeaderSize;  // where the streams start
};

}  // namespace difference
