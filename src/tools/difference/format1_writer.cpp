#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_stableInBuffer
#include "format1_writer.h"

#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "format1.h"

namespace difference {
namespace {

// The window reaches from the end of the output to the start of the prefix.
unsigned WindowLogFor(uint64_t old_size, uint64_t new_size) {
  uint64_t larger = old_size > new_size ? old_size : new_size;
  unsigned log = 10;
  while (log < kFormat1WindowLogMax && (1ull << log) < larger) ++log;
  return log + 1 > kFormat1WindowLogMax ? kFormat1WindowLogMax : log + 1;
}

bool SetUp(ZSTD_CCtx* cctx, const unsigned char* old_data, size_t old_size, size_t new_size,
           int level) {
  size_t rc = 0;
  auto set = [&](ZSTD_cParameter p, int v) {
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(cctx, p, v);
  };
  set(ZSTD_c_compressionLevel, level);
  set(ZSTD_c_enableLongDistanceMatching, 1);
  set(ZSTD_c_windowLog, static_cast<int>(WindowLogFor(old_size, new_size)));
  set(ZSTD_c_checksumFlag, 1);
  set(ZSTD_c_contentSizeFlag, 1);
  ZSTD_compressionParameters cp = ZSTD_getCParams(level, new_size, old_size);
  if (cp.strategy >= ZSTD_btopt) {
    // The optimal parser gets the long-distance matches as candidates only
    // when the compression runs in a worker; in the single-threaded path of
    // the library it loses them and finds only what its binary tree
    // reaches (2^(chainLog-1) bytes back), which made differences of large
    // files up to a hundred times larger. One worker gives the same frame
    // as the standard command-line tool. A library built without threads
    // refuses workers: the frame is then still right, only larger.
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, 1)))
      set(ZSTD_c_stableInBuffer, 1);
  } else {
    set(ZSTD_c_stableInBuffer, 1);
  }
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setPledgedSrcSize(cctx, new_size);
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_refPrefix(cctx, old_data, old_size);
  return !ZSTD_isError(rc);
}

bool Compress(ZSTD_CCtx* cctx, const unsigned char* new_data, size_t new_size, const ByteSink& sink,
              std::string* error) {
  std::vector<unsigned char> buf(ZSTD_CStreamOutSize() * 8);
  ZSTD_inBuffer in = {new_data, new_size, 0};
  for (;;) {
    ZSTD_outBuffer o = {buf.data(), buf.size(), 0};
    size_t left = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
    if (ZSTD_isError(left)) {
      *error = std::string("compression failed: ") + ZSTD_getErrorName(left);
      return false;
    }
    if (o.pos > 0 && !sink(buf.data(), o.pos)) {
      *error = std::string("cannot write the difference: ") + strerror(errno);
      return false;
    }
    if (left == 0) return true;
  }
}

}  // namespace

bool WriteFormat1(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                  size_t new_size, int level, const ByteSink& sink, std::string* error) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  bool ok = cctx != nullptr && SetUp(cctx, old_data, old_size, new_size, level);
  if (!ok) *error = "the compressor refused its settings";
  ok = ok && Compress(cctx, new_data, new_size, sink, error);
  ZSTD_freeCCtx(cctx);
  return ok;
}

}  // namespace difference
