#include "session/repair_object.h"

#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "crypto/sha256.h"
#include "data/file_io.h"
#include "data/file_util.h"
#include "data/mapped_file.h"

namespace TarvPatch {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;
using DStream = std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)>;

// Streams the frame from `in` to `out`; false on a broken stream, a read or
// write failure, or more output than `limit` bytes.
bool Decompress(FILE* in, int out, uint64_t limit, uint64_t* written, std::string* error) {
  DStream dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
  std::vector<char> input(ZSTD_DStreamInSize()), output(ZSTD_DStreamOutSize());
  size_t last = 1;  // 0 once a frame is complete
  size_t n = 0;
  while (dctx && (n = fread(input.data(), 1, input.size(), in)) > 0) {
    ZSTD_inBuffer ib{input.data(), n, 0};
    while (ib.pos < ib.size) {
      ZSTD_outBuffer ob{output.data(), output.size(), 0};
      last = ZSTD_decompressStream(dctx.get(), &ob, &ib);
      if (ZSTD_isError(last)) {
        *error = std::string("not a valid zstd stream: ") + ZSTD_getErrorName(last);
        return false;
      }
      *written += ob.pos;
      if (*written > limit) {
        *error = "larger than the file list says";
        return false;
      }
      if (!TarvFile::WriteAll(out, output.data(), ob.pos)) {
        *error = std::string("cannot be written: ") + strerror(errno);
        return false;
      }
    }
  }
  if (!dctx || ferror(in) || last != 0) {
    *error = "the stream is cut short";
    return false;
  }
  return true;
}

}  // namespace

bool UnpackRepairObject(const std::wstring& object, const std::wstring& destination,
                        const ManifestEntry& entry, unsigned mode, std::string* error) {
  const std::string dest = TarvUtil::FsPath(destination);
  File in(TarvFile::OpenRegularForReading(TarvUtil::FsPath(object)));
  if (!in) {
    *error = "cannot be opened";
    return false;
  }
  int out = TarvFile::CreateNew(dest, 0600);
  if (out < 0) {
    *error = std::string("cannot be created: ") + strerror(errno);
    return false;
  }
  uint64_t written = 0;
  bool ok = Decompress(in.get(), out, entry.size, &written, error);
  if (ok && (!TarvFile::SetMode(out, mode & 0777) || !TarvFile::Fsync(out))) {
    *error = std::string("cannot be written: ") + strerror(errno);
    ok = false;
  }
  if (!TarvFile::Close(out) && ok) {
    *error = "cannot be written";
    ok = false;
  }
  std::string digest;
  if (ok && (written != entry.size || !TarvCrypto::ComputeFileSha256(destination, &digest) ||
             digest != entry.sha256)) {
    *error = "its content does not match its digest";
    ok = false;
  }
  if (!ok) TarvFile::Unlink(dest);
  return ok;
}

uint64_t ObjectSizeLimit(uint64_t file_size) {
  // ZSTD_COMPRESSBOUND's sum (its margin is at most 64 bytes), in 64 bits
  // for sizes past 4 GiB, with room for the frame header and checksum.
  constexpr uint64_t kFrameRoom = 64 + 1024;
  return file_size + (file_size >> 8) + kFrameRoom;
}

unsigned ModeForNewFile(const std::wstring& path) {
  File f(TarvFile::OpenRegularForReading(TarvUtil::FsPath(path)));
  char head[4] = {};
  size_t n = f ? fread(head, 1, sizeof head, f.get()) : 0;
  bool program = (n >= 4 && memcmp(head,
                                   "\x7f"
                                   "ELF",
                                   4) == 0) ||
                 (n >= 2 && head[0] == '#' && head[1] == '!');
  return program ? 0755 : 0644;
}

}  // namespace TarvPatch
