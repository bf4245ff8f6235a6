// jpatch OLD DIFF OUT: rebuilds a file from its old version and a difference
// file. The difference is either one zstd frame compressed with the old file
// as prefix (what `zstd --patch-from=OLD` writes), which must record the
// output size and carry a content checksum, or a difference of the second
// format (its own magic, the output size and digest in its header; see
// tools/difference/format2.h). Either way a wrong old file or a damaged
// difference is detected instead of producing a wrong file.
//
// Memory: the old file, the difference and the output are all mapped, and
// the decoder writes straight into the mapped output (a stable output
// buffer), so it needs no window buffer of its own: private memory stays
// small whatever the file size. The output is written to OUT.part, flushed to
// disk and renamed into place only when complete; on any failure the part
// file is removed.
//
// Digest: when the environment names a descriptor in TARV_DIGEST_FD, the
// MD5 of the output is taken as it is written (on a thread of its own) and
// one line goes there after the rename: the digest, the size, and the
// device, inode and modification time (ns) of the file written, so that the
// caller can tell whether the file it finds is still the one the digest
// belongs to.
//
// Exit codes: 0 success; 1 wrong arguments; 2 old file unreadable;
// 3 difference unreadable, corrupt or not matching the old file; 4 output
// not writable.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer, ZSTD_getFrameHeader
#include <openssl/crypto.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "data/file_io.h"
#include "data/file_status.h"
#include "data/mapped_file.h"
#include "os/this_process.h"
#include "tools/difference/follower.h"
#include "tools/difference/format2_reader.h"

namespace {

enum ExitCode { kOk = 0, kUsage = 1, kOldUnreadable = 2, kDiffBad = 3, kOutUnwritable = 4 };

constexpr unsigned kWindowLogMax = 31;

using TarvFile::Mapping;

// What the mapping-fault handler needs: a mapped file that shrinks under us
// or a disk that fills up faults, which becomes the matching exit code.
Mapping g_old, g_diff, g_out;
char g_partPath[4096];

// The digest of the output, taken on a thread of its own as the output
// becomes final, where the caller asks for it; the same thread writes the
// second format's output (see MakeOutputBuffer).
TarvCrypto::MD5 g_md5;
bool g_digest_wanted = false;
std::unique_ptr<difference::Follower> g_hasher;

// The output before `pos` is final. The writer waits when it runs more than
// kOutputLag ahead of the digest: the pages behind the digest are given
// back, so the lag is what the output keeps resident.
constexpr size_t kOutputLag = 8u << 20;
void HashOutputUpTo(size_t pos) {
  if (!g_hasher) return;
  g_hasher->Advance(pos);
  if (pos > kOutputLag) g_hasher->WaitFor(pos - kOutputLag);
}

bool Inside(const Mapping& m, const void* addr) {
  auto* p = static_cast<const unsigned char*>(addr);
  return m.data != nullptr && p >= m.data && p < m.data + m.size;
}

void OnMappingFault(const void* address) {
  int code = Inside(g_old, address)    ? kOldUnreadable
             : Inside(g_diff, address) ? kDiffBad
                                       : kOutUnwritable;
  if (g_partPath[0] != '\0') TarvFile::UnlinkUncounted(g_partPath);
  OS::WriteStandardError("jpatch: a mapped file could not be accessed\n");
  OS::ExitNow(code);
}

int Fail(int code, const std::string& what) {
  fprintf(stderr, "jpatch: %s\n", what.c_str());
  if (g_partPath[0] != '\0') TarvFile::UnlinkUncounted(g_partPath);
  return code;
}

std::string Why(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// Checks the frame before anything is written: one complete zstd frame with
// the output size and a checksum, and a window the decoder accepts.
bool CheckFrame(const Mapping& diff, unsigned long long* content_size, std::string* why) {
  ZSTD_frameHeader header;
  if (diff.size == 0 || ZSTD_getFrameHeader(&header, diff.data, diff.size) != 0 ||
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
  if (header.windowSize > (1ull << kWindowLogMax)) {
    *why = "the frame's window is larger than 2 GiB";
    return false;
  }
  size_t frame = ZSTD_findFrameCompressedSize(diff.data, diff.size);
  if (ZSTD_isError(frame) || frame != diff.size) {
    *why = ZSTD_isError(frame) ? "the frame is damaged or cut short" : "data after the frame";
    return false;
  }
  if (header.frameContentSize > SIZE_MAX / 2) {
    *why = "the output size is out of range";
    return false;
  }
  *content_size = header.frameContentSize;
  return true;
}

// Creates OUT.part afresh (never through a link that happens to carry the
// name), reserves its full size so that a full disk is an error here and not
// a bus error later, and maps it for writing.
bool CreateOutput(size_t size, TarvFile::FileMode mode, bool mapped, int* fd_out) {
  if (!TarvFile::Unlink(g_partPath) && errno != ENOENT) return false;
  int fd = TarvFile::CreateNew(g_partPath, 0600);
  if (fd < 0) return false;
  *fd_out = fd;
  if (!TarvFile::SetMode(fd, mode & 0777)) return false;
  if (size == 0) return true;
  if (!TarvFile::ReserveSpace(fd, size)) return false;
  if (!mapped) return true;
  return TarvFile::MapForWriting(fd, size, &g_out);
}

// The second format rebuilds the output front to back into anonymous
// memory; behind the digest, each piece is written to OUT.part and its
// memory given back. Writing a file costs less than filling its pages
// through a shared mapping (a fault a page), and the resident part stays
// a window: the decoder waits when it runs more than kOutputLag ahead.
constexpr size_t kGiveBackPiece = 2u << 20;  // a huge page
Mapping g_memory;
unsigned char* g_buffer = nullptr;
size_t g_buffer_size = 0, g_given_back = 0;
int g_out_fd = -1;
int g_write_errno = 0;  // the first failed write's

bool MakeOutputBuffer(size_t size) {
  if (size == 0) return true;
  if (!TarvFile::MapMemory(size, &g_memory)) return false;
  g_buffer = g_memory.data;
  g_buffer_size = size;
  return true;
}

// Digests and writes a final piece of the buffer (on the digest's thread).
// The pieces come in order from the start, so the file grows by plain
// writes.
void DigestAndWrite(const unsigned char* data, size_t n) {
  if (g_digest_wanted) g_md5.update(data, n);
  const auto offset = static_cast<size_t>(data - g_buffer);
  if (g_write_errno == 0 && !TarvFile::WriteAll(g_out_fd, data, n))
    g_write_errno = errno != 0 ? errno : EIO;
  const size_t end = (offset + n) / kGiveBackPiece * kGiveBackPiece;
  if (end > g_given_back) {
    TarvFile::GiveBackPages(g_buffer + g_given_back, end - g_given_back);
    // The disk starts on what is written, so that the flush at the end
    // waits for little.
    TarvFile::StartWriteBack(g_out_fd, g_given_back, end - g_given_back);
    g_given_back = end;
  }
}

// Pages of the mapped files that the decoder has passed are dropped from
// this process every so often (they stay in the page cache, dirty output
// included), so that the resident size stays bounded for large files. To
// get a say between blocks, the difference is fed in pieces sized so that
// each call produces a few MiB.
constexpr size_t kDropEvery = 32u << 20;
constexpr size_t kOutputPerCall = 8u << 20;

void DropPassedPages(size_t out_pos, size_t in_pos) {
  HashOutputUpTo(out_pos);
  const size_t page = TarvFile::PageSize();
  // Output pages the digest has not read yet stay.
  const size_t hashed = g_hasher ? std::min(out_pos, g_hasher->Done()) : out_pos;
  if (g_out.data && hashed >= page) TarvFile::GiveBackPages(g_out.data, hashed / page * page);
  if (g_diff.data && in_pos >= page) TarvFile::GiveBackPages(g_diff.data, in_pos / page * page);
  if (g_old.data) TarvFile::GiveBackPages(g_old.data, g_old.size);
}

// Decodes the whole frame into the mapped output. False with the decoder's
// reason when the difference is damaged or does not fit the old file.
bool Decode(std::string* why) {
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  if (dctx == nullptr) {
    *why = "out of memory";
    return false;
  }
  size_t rc = ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kWindowLogMax);
  if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_setParameter(dctx, ZSTD_d_stableOutBuffer, 1);
  if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_refPrefix(dctx, g_old.data, g_old.size);
  static unsigned char empty_output[1];
  ZSTD_outBuffer out = {g_out.data ? g_out.data : empty_output, g_out.size, 0};
  ZSTD_inBuffer in = {g_diff.data, 0, 0};
  size_t piece = 512, dropped_at = 0;
  while (!ZSTD_isError(rc)) {
    in.size = g_diff.size - in.pos > piece ? in.pos + piece : g_diff.size;
    size_t before_out = out.pos;
    rc = ZSTD_decompressStream(dctx, &out, &in);
    if (ZSTD_isError(rc) || rc == 0) break;
    size_t produced = out.pos - before_out;
    HashOutputUpTo(out.pos);
    if (in.pos == g_diff.size && produced == 0) {
      *why = "the difference file is cut short";
      ZSTD_freeDCtx(dctx);
      return false;
    }
    if (produced > kOutputPerCall && piece > 64) piece /= 2;
    if (produced < kOutputPerCall / 4 && piece < (16u << 20)) piece *= 2;
    if (out.pos - dropped_at >= kDropEvery) {
      DropPassedPages(out.pos, in.pos);
      dropped_at = out.pos;
    }
  }
  ZSTD_freeDCtx(dctx);
  if (ZSTD_isError(rc)) {
    *why = std::string("the difference does not apply: ") + ZSTD_getErrorName(rc);
    return false;
  }
  if (out.pos != g_out.size || in.pos != g_diff.size) {
    *why = "the decoded size differs from the recorded size";
    return false;
  }
  return true;
}

// Flushes the output file, renames it into place and flushes its folder.
// `written` receives what the file looked like once flushed.
bool Commit(int fd, const char* out_path, TarvFile::FileStatus* written) {
  if (g_hasher) g_hasher->Finish();
  if (g_write_errno != 0) {
    errno = g_write_errno;
    return false;
  }
  if (!TarvFile::Unmap(&g_out)) return false;
  if (!TarvFile::Fsync(fd) || !TarvFile::StatusOfOpen(fd, written)) return false;
  if (!TarvFile::Close(fd)) return false;
  if (!TarvFile::Rename(g_partPath, out_path)) return false;
  g_partPath[0] = '\0';
  TarvFile::SyncFolder(TarvFile::FolderOf(out_path));
  return true;
}

// The digest line for the caller, when it asked for one. A caller that
// cannot read it checks the file itself, so a failed write changes nothing.
// The descriptor the caller names for the digest line, or -1.
int DigestDescriptor() {
  const char* fd_text = getenv("TARV_DIGEST_FD");
  if (fd_text == nullptr || *fd_text == '\0') return -1;
  char* end = nullptr;
  long fd = strtol(fd_text, &end, 10);
  if (*end != '\0' || fd < 0 || fd > 1 << 20) return -1;
  return static_cast<int>(fd);
}

void ReportDigest(const TarvFile::FileStatus& st) {
  const int fd = DigestDescriptor();
  if (fd < 0) return;
  g_md5.finalize();
  auto hex = g_md5.hex_digest();
  char line[256];
  int n = snprintf(line, sizeof line, "%s %lld %llu %llu %lld\n", hex.get(),
                   static_cast<long long>(st.size), static_cast<unsigned long long>(st.device),
                   static_cast<unsigned long long>(st.inode), static_cast<long long>(st.mtime_ns));
  if (n > 0 && n < static_cast<int>(sizeof line)) {
    TarvFile::WriteUncounted(fd, line, static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Only digests are wanted of the library: its configuration file is not.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  if (argc != 4 || argv[1][0] == '\0' || argv[2][0] == '\0' || argv[3][0] == '\0') {
    fprintf(stderr, "usage: jpatch OLD DIFF OUT\n");
    return kUsage;
  }
  const char* old_path = argv[1];
  const char* diff_path = argv[2];
  const char* out_path = argv[3];
  if (snprintf(g_partPath, sizeof g_partPath, "%s.part", out_path) >=
      static_cast<int>(sizeof g_partPath)) {
    g_partPath[0] = '\0';
    return Fail(kOutUnwritable, std::string("output path too long: ") + out_path);
  }
  std::string part = g_partPath;
  g_partPath[0] = '\0';  // nothing of ours to remove yet
  TarvFile::OnMappingFault(OnMappingFault);

  TarvFile::FileMode mode = 0644;
  if (!TarvFile::MapForReading(old_path, &g_old, &mode))
    return Fail(kOldUnreadable, Why("cannot read", old_path));
  if (!TarvFile::MapForReading(diff_path, &g_diff, nullptr))
    return Fail(kDiffBad, Why("cannot read", diff_path));
  unsigned long long size = 0;
  std::string why;
  const bool second_format = difference::IsFormat2(g_diff.data, g_diff.size);
  if (second_format) {
    difference::Format2Header header;
    if (!difference::ReadFormat2Header(g_diff.data, g_diff.size, &header, &why))
      return Fail(kDiffBad, std::string(diff_path) + ": " + why);
    if (header.old_size != g_old.size)
      return Fail(kDiffBad, std::string(diff_path) + ": made for an old file of another size");
    size = header.new_size;
  } else if (!CheckFrame(g_diff, &size, &why)) {
    return Fail(kDiffBad, std::string(diff_path) + ": " + why);
  }

  snprintf(g_partPath, sizeof g_partPath, "%s", part.c_str());
  int fd = -1;
  if (!CreateOutput(static_cast<size_t>(size), mode, !second_format, &fd)) {
    int err = errno;
    if (fd < 0) g_partPath[0] = '\0';  // O_EXCL failed: the name is not ours
    errno = err;
    return Fail(kOutUnwritable, Why("cannot write", part));
  }
  g_out_fd = fd;
  if (second_format && !MakeOutputBuffer(static_cast<size_t>(size)))
    return Fail(kOutUnwritable, Why("no memory for", part));
  // The MD5 is taken only for a caller that asks for it.
  g_digest_wanted = DigestDescriptor() >= 0;
  if (g_out.data != nullptr && g_digest_wanted) {
    g_hasher = std::make_unique<difference::Follower>(
        g_out.data, g_out.size, [](const unsigned char* data, size_t n) { g_md5.update(data, n); });
  } else if (g_buffer != nullptr) {
    g_hasher = std::make_unique<difference::Follower>(g_buffer, g_buffer_size, DigestAndWrite);
  }
  if (second_format) {
    static unsigned char empty_output[1];
    bool applied = difference::ApplyFormat2(
        g_old.data, g_old.size, g_diff.data, g_diff.size, g_buffer ? g_buffer : empty_output, &why,
        [](uint64_t out_pos) {
          static size_t dropped_at = 0;
          HashOutputUpTo(static_cast<size_t>(out_pos));
          if (out_pos - dropped_at >= kDropEvery) {
            DropPassedPages(static_cast<size_t>(out_pos), 0);
            dropped_at = static_cast<size_t>(out_pos);
          }
        },
        /*old_is_mapped=*/true);
    if (!applied) return Fail(kDiffBad, std::string(diff_path) + ": " + why);
  } else if (!Decode(&why)) {
    return Fail(kDiffBad, std::string(diff_path) + ": " + why);
  }
  TarvFile::FileStatus written;
  if (!Commit(fd, out_path, &written)) return Fail(kOutUnwritable, Why("cannot write", out_path));
  ReportDigest(written);
  return kOk;
}
