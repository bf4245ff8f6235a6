#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer, ZSTD_getFrameHeader
#include "format1_reader.h"

#include <zstd.h>

#include "format1.h"

namespace difference {
namespace {

// To give the caller a say between blocks, the difference is fed in pieces
// sized so that each call produces a few MiB.
constexpr size_t kOutputPerCall = 8u << 20;

// Sets the decoder up to write straight into the caller's output (a stable
// output buffer) with the old file as prefix; a zstd error code on failure.
size_t SetUp(ZSTD_DCtx* dctx, const unsigned char* old_data, size_t old_size) {
  size_t rc = ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kFormat1WindowLogMax);
  if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_setParameter(dctx, ZSTD_d_stableOutBuffer, 1);
  if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_refPrefix(dctx, old_data, old_size);
  return rc;
}

}  // namespace

bool ReadFormat1Header(const unsigned char* diff, size_t diff_size, uint64_t* new_size,
                       std::string* why) {
  ZSTD_frameHeader header;
  if (diff_size == 0 || ZSTD_getFrameHeader(&header, diff, diff_size) != 0 ||
      header.frameType != ZSTD_frame) {
    *why = "not a zstd frame";
    return false;
  }
  if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
    *why = "the frame does not record the output size";
    return false;
  }
  if (!header.checksumFlag) {
    *why = "the frame carries no checksum";
    return false;
  }
  if (header.windowSize > (1ull << kFormat1WindowLogMax)) {
    *why = "the frame's window is larger than 2 GiB";
    return false;
  }
  size_t frame = ZSTD_findFrameCompressedSize(diff, diff_size);
  if (ZSTD_isError(frame) || frame != diff_size) {
    *why = ZSTD_isError(frame) ? "the frame is damaged or cut short" : "data after the frame";
    return false;
  }
  if (header.frameContentSize > SIZE_MAX / 2) {
    *why = "the output size is out of range";
    return false;
  }
  *new_size = header.frameContentSize;
  return true;
}

bool ApplyFormat1(const unsigned char* old_data, size_t old_size, const unsigned char* diff,
                  size_t diff_size, unsigned char* out, size_t out_size, std::string* why,
                  const Format1Progress& progress) {
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  if (dctx == nullptr) {
    *why = "out of memory";
    return false;
  }
  unsigned char empty_output[1];
  ZSTD_outBuffer o = {out != nullptr ? out : empty_output, out_size, 0};
  ZSTD_inBuffer in = {diff, 0, 0};
  size_t piece = 512, rc = SetUp(dctx, old_data, old_size);
  while (!ZSTD_isError(rc)) {
    in.size = diff_size - in.pos > piece ? in.pos + piece : diff_size;
    const size_t before_out = o.pos;
    rc = ZSTD_decompressStream(dctx, &o, &in);
    if (ZSTD_isError(rc) || rc == 0) break;
    const size_t produced = o.pos - before_out;
    if (progress) progress(o.pos, in.pos);
    if (in.pos == diff_size && produced == 0) {
      *why = "the difference file is cut short";
      ZSTD_freeDCtx(dctx);
      return false;
    }
    if (produced > kOutputPerCall && piece > 64) piece /= 2;
    if (produced < kOutputPerCall / 4 && piece < (16u << 20)) piece *= 2;
  }
  ZSTD_freeDCtx(dctx);
  if (ZSTD_isError(rc)) {
    *why = std::string("the difference does not apply: ") + ZSTD_getErrorName(rc);
    return false;
  }
  if (o.pos != out_size || in.pos != diff_size) {
    *why = "the decoded size differs from the recorded size";
    return false;
  }
  return true;
}

}  // namespace difference
