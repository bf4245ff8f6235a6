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

#include "mkpatch.h"
#include "os/process.h"
#include "tools/difference/format2_writer.h"

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

// The level the first format is made at. The optimal parser of the high
// levels runs at about 1 MB/s and indexes the whole old file as well: on
// large files it would take many minutes, and it finds nothing there that
// the long-distance matcher of a middle level does not. Large files are
// therefore made at kLargeFileLevel at most.
int Format1Level(int level, uint64_t old_size, uint64_t new_size) {
  return old_size + new_size > kLargeFileSize && level > kLargeFileLevel ? kLargeFileLevel : level;
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
  ZSTD_compressionParameters cp = ZSTD_getCParams(level, new_file.size(), old_file.size());
  if (cp.strategy >= ZSTD_btopt) {
    // The optimal parser gets the long-distance matches as candidates only
    // when the compression runs in a worker; in the single-threaded path of
    // the library it loses them and finds only what its binary tree
    // reaches (2^(chainLog-1) bytes back), which made differences of large
    // files up to a hundred times larger. One worker gives the same frame
    // as the standard command-line tool.
    set(ZSTD_c_nbWorkers, 1);
  } else {
    set(ZSTD_c_stableInBuffer, 1);
  }
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setPledgedSrcSize(cctx, new_file.size());
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_refPrefix(cctx, old_file.data(), old_file.size());
  return !ZSTD_isError(rc);
}

bool Compress(ZSTD_CCtx* cctx, const MappedFile& new_file, FILE* out, std::string* error) {
  std::vector<unsigned char> buf(ZSTD_CStreamOutSize() * 8);
  ZSTD_inBuffer in = {new_file.data(), new_file.size(), 0};
  for (;;) {
    ZSTD_outBuffer o = {buf.data(), buf.size(), 0};
    size_t left = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
    if (ZSTD_isError(left)) {
      *error = std::string("compression failed: ") + ZSTD_getErrorName(left);
      return false;
    }
    if (o.pos > 0 && fwrite(buf.data(), 1, o.pos, out) != o.pos) {
      *error = std::string("cannot write the difference: ") + strerror(errno);
      return false;
    }
    if (left == 0) return true;
  }
}

bool WriteFormat1(const MappedFile& old_file, const MappedFile& new_file, int level, FILE* out,
                  std::string* error) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  bool ok = cctx != nullptr &&
            SetUp(cctx, old_file, new_file, Format1Level(level, old_file.size(), new_file.size()));
  if (!ok) *error = "the compressor refused its settings";
  ok = ok && Compress(cctx, new_file, out, error);
  ZSTD_freeCCtx(cctx);
  return ok;
}

bool WriteSecondFormat(const MappedFile& old_file, const MappedFile& new_file, int level, FILE* out,
                       std::string* error) {
  std::vector<difference::Match> matches =
      difference::FindMatches(old_file.data(), old_file.size(), new_file.data(), new_file.size());
  return difference::WriteFormat2(
      old_file.data(), old_file.size(), new_file.data(), new_file.size(), matches,
      Format1Level(level, old_file.size(), new_file.size()), out, error);
}

// Writes one format into `part`, flushed; false (and no part file) on
// failure.
template <typename Writer>
bool WritePart(const std::string& part, Writer writer, uint64_t* size, std::string* error) {
  FILE* out = fopen(part.c_str(), "w+be");
  if (out == nullptr) {
    *error = part + ": cannot be written: " + strerror(errno);
    return false;
  }
  bool ok = writer(out);
  if ((fflush(out) != 0 || fsync(fileno(out)) != 0) && ok) {
    *error = part + ": cannot be written: " + strerror(errno);
    ok = false;
  }
  if (ok) {
    long end = ftell(out);
    ok = end >= 0;
    *size = end >= 0 ? static_cast<uint64_t>(end) : 0;
  }
  if (fclose(out) != 0 && ok) {
    *error = part + ": cannot be written";
    ok = false;
  }
  if (!ok) unlink(part.c_str());
  return ok;
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
                    const std::string& diff_path, int level, std::string* error,
                    DifferenceFormat format) {
  MappedFile old_file, new_file;
  if (!old_file.Open(old_path, error) || !new_file.Open(new_path, error)) return false;
  if (old_file.size() >= kMaxDifferenceOldSize) {
    *error = old_path + ": 2 GiB or larger, beyond the difference window";
    return false;
  }
  // Each format goes to a part file of its own; the smaller one becomes the
  // difference.
  const std::string part1 = diff_path + ".part", part2 = diff_path + ".2.part";
  uint64_t size1 = 0, size2 = 0;
  bool have1 = false, have2 = false;
  if (format != DifferenceFormat::kSecond) {
    have1 = WritePart(
        part1, [&](FILE* out) { return WriteFormat1(old_file, new_file, level, out, error); },
        &size1, error);
    if (!have1) return false;
  }
  if (format != DifferenceFormat::kZstd) {
    have2 = WritePart(
        part2, [&](FILE* out) { return WriteSecondFormat(old_file, new_file, level, out, error); },
        &size2, error);
    if (!have2) {
      if (have1) unlink(part1.c_str());
      return false;
    }
  }
  bool second = have2 && (!have1 || size2 < size1);
  const std::string& keep = second ? part2 : part1;
  unlink((second ? part1 : part2).c_str());
  if (rename(keep.c_str(), diff_path.c_str()) != 0) {
    *error = diff_path + ": cannot be written: " + strerror(errno);
    unlink(keep.c_str());
    return false;
  }
  return true;
}

bool TakeFormatOption(std::vector<std::string>* args, DifferenceFormat* format,
                      std::string* error) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != "--format") continue;
    const std::string value = i + 1 < args->size() ? (*args)[i + 1] : "";
    if (value == "1") {
      *format = DifferenceFormat::kZstd;
    } else if (value == "2") {
      *format = DifferenceFormat::kSecond;
    } else if (value == "best") {
      *format = DifferenceFormat::kBest;
    } else {
      *error = "--format must be 1, 2 or best";
      return false;
    }
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    --i;
  }
  return true;
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
