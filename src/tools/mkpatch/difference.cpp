#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_stableInBuffer
#include "difference.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "data/file_io.h"
#include "mkpatch.h"
#include "os/process.h"

namespace mkpatch {
namespace {

// A whole file mapped for reading; unmapped when it goes.
class MappedFile {
 public:
  bool Open(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      *error = path + ": cannot be read" + (errno ? std::string(": ") + strerror(errno) : "");
      if (fd >= 0) close(fd);
      return false;
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
      void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) {
        *error = path + ": cannot be mapped: " + strerror(errno);
        close(fd);
        return false;
      }
      data_ = static_cast<const unsigned char*>(p);
    }
    close(fd);
    return true;
  }
  ~MappedFile() {
    if (data_) munmap(const_cast<unsigned char*>(data_), size_);
  }
  const unsigned char* data() const {
    return data_ ? data_ : reinterpret_cast<const unsigned char*>("");
  }
  size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

unsigned WindowLogFor(uint64_t old_size, uint64_t new_size) {
  uint64_t larger = old_size > new_size ? old_size : new_size;
  unsigned log = 10;
  while (log < 31 && (1ull << log) < larger) ++log;
  return log + 1 > 31 ? 31
                      : log + 1;  // reach from the end of the output to the start of the prefix
}

bool SetUp(ZSTD_CCtx* cctx, const MappedFile& old_file, const MappedFile& new_file, int level) {
  size_t rc = 0;
  auto set = [&](ZSTD_cParameter p, int v) {
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(cctx, p, v);
  };
  set(ZSTD_c_compressionLevel, level);
  set(ZSTD_c_enableLongDistanceMatching, 1);
  set(ZSTD_c_windowLog, static_cast<int>(WindowLogFor(old_file.size(), new_file.size())));
  set(ZSTD_c_checksumFlag, 1);
  set(ZSTD_c_contentSizeFlag, 1);
  set(ZSTD_c_stableInBuffer, 1);
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setPledgedSrcSize(cctx, new_file.size());
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_refPrefix(cctx, old_file.data(), old_file.size());
  return !ZSTD_isError(rc);
}

bool Compress(ZSTD_CCtx* cctx, const MappedFile& new_file, TarvFile::AtomicFile& out,
              std::string* error) {
  std::vector<unsigned char> buf(ZSTD_CStreamOutSize() * 8);
  ZSTD_inBuffer in = {new_file.data(), new_file.size(), 0};
  for (;;) {
    ZSTD_outBuffer o = {buf.data(), buf.size(), 0};
    size_t left = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
    if (ZSTD_isError(left)) {
      *error = std::string("compression failed: ") + ZSTD_getErrorName(left);
      return false;
    }
    if (o.pos > 0 && !out.Write(buf.data(), o.pos)) {
      *error = std::string("cannot write the difference: ") + strerror(errno);
      return false;
    }
    if (left == 0) return true;
  }
}

// Byte-for-byte comparison of two files.
bool SameContent(const std::string& a, const std::string& b) {
  FILE* fa = fopen(a.c_str(), "rbe");
  FILE* fb = fopen(b.c_str(), "rbe");
  bool same = fa && fb;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (same) {
    size_t na = fread(ba.data(), 1, ba.size(), fa), nb = fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && memcmp(ba.data(), bb.data(), na) == 0 && !ferror(fa) && !ferror(fb);
    if (na == 0) break;
  }
  if (fa) fclose(fa);
  if (fb) fclose(fb);
  return same;
}

}  // namespace

bool MakeDifference(const std::string& old_path, const std::string& new_path,
                    const std::string& diff_path, int level, std::string* error) {
  MappedFile old_file, new_file;
  if (!old_file.Open(old_path, error) || !new_file.Open(new_path, error)) return false;
  if (old_file.size() >= kMaxDifferenceOldSize) {
    *error = old_path + ": 2 GiB or larger, beyond the difference window";
    return false;
  }
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  TarvFile::ReplaceOptions options;
  options.temp_path = diff_path + ".part";
  TarvFile::AtomicFile out;
  bool ok = cctx != nullptr && out.Create(diff_path, options);
  if (!ok) *error = options.temp_path + ": cannot be written: " + strerror(errno);
  if (ok && !SetUp(cctx, old_file, new_file, level)) {
    *error = "the compressor refused its settings";
    ok = false;
  }
  ok = ok && Compress(cctx, new_file, out, error);
  ZSTD_freeCCtx(cctx);
  if (ok && !out.Commit()) {
    *error = diff_path + ": cannot be written: " + strerror(errno);
    ok = false;
  }
  return ok;
}

bool ProveDifference(const std::string& old_path, const std::string& diff_path,
                     const std::string& new_path, std::string* error) {
  std::string dir = MakePrivateTempDir();
  if (dir.empty()) {
    *error = "cannot make a temporary folder";
    return false;
  }
  std::string rebuilt = dir + "/rebuilt";
  std::string why;
  int code = OS::RunProgram({ProgramDir() + "/jpatch", old_path, diff_path, rebuilt}, &why);
  bool ok = code == 0 && SameContent(rebuilt, new_path);
  if (!ok) {
    *error = code < 0 ? "cannot run jpatch: " + why
                      : diff_path + ": jpatch (exit " + std::to_string(code) +
                            ") did not rebuild " + new_path + " exactly";
  }
  RemoveTree(dir);
  return ok;
}

}  // namespace mkpatch
