#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_stableInBuffer
#include "difference.h"

#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "data/file_io.h"
#include "data/file_status.h"
#include "data/mapped_file.h"
#include "mkpatch.h"
#include "os/process.h"
#include "tools/difference/format2_search.h"

namespace mkpatch {
namespace {

// A whole file mapped for reading; unmapped when it goes.
class MappedFile {
 public:
  bool Open(const std::string& path, std::string* error) {
    TarvFile::FileStatus st;
    if (!TarvFile::StatusOf(path, &st) || st.type != TarvFile::FileType::kRegular) {
      *error = path + ": cannot be read" + (errno ? std::string(": ") + strerror(errno) : "");
      return false;
    }
    if (!TarvFile::MapForReading(path, &mapping_)) {
      *error = path + ": cannot be mapped: " + strerror(errno);
      return false;
    }
    return true;
  }
  ~MappedFile() { TarvFile::Unmap(&mapping_); }
  const unsigned char* data() const {
    return mapping_.data ? mapping_.data : reinterpret_cast<const unsigned char*>("");
  }
  size_t size() const { return mapping_.size; }

 private:
  TarvFile::Mapping mapping_;
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
    // as the standard command-line tool. A library built without threads
    // refuses workers: the frame is then still right, only larger.
    if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, 1)))
      set(ZSTD_c_stableInBuffer, 1);
  } else {
    set(ZSTD_c_stableInBuffer, 1);
  }
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

bool WriteFormat1(const MappedFile& old_file, const MappedFile& new_file, int level,
                  TarvFile::AtomicFile& out, std::string* error) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  bool ok = cctx != nullptr &&
            SetUp(cctx, old_file, new_file, Format1Level(level, old_file.size(), new_file.size()));
  if (!ok) *error = "the compressor refused its settings";
  ok = ok && Compress(cctx, new_file, out, error);
  ZSTD_freeCCtx(cctx);
  return ok;
}

// The second format wants to go back to its header at the end: it writes
// through a stream of its own on the part file.
bool WriteSecondFormat(const MappedFile& old_file, const MappedFile& new_file, int level,
                       TarvFile::AtomicFile& out, std::string* error) {
  FILE* f = TarvFile::StreamOnCopy(out.fd(), "wb");
  if (f == nullptr) {
    *error = out.temp_path() + ": cannot be written: " + strerror(errno);
    return false;
  }
  bool ok = difference::MakeSmallestFormat2(
      old_file.data(), old_file.size(), new_file.data(), new_file.size(),
      Format1Level(level, old_file.size(), new_file.size()), f, error);
  if (fclose(f) != 0 && ok) {
    *error = out.temp_path() + ": cannot be written: " + strerror(errno);
    ok = false;
  }
  return ok;
}

uint64_t WrittenSize(const TarvFile::AtomicFile& out) {
  TarvFile::FileStatus st;
  return TarvFile::StatusOfOpen(out.fd(), &st) ? st.size : UINT64_MAX;
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
  // difference, the other is removed with its writer.
  TarvFile::AtomicFile out1, out2;
  uint64_t size1 = UINT64_MAX, size2 = UINT64_MAX;
  auto create = [&](TarvFile::AtomicFile& out, const char* suffix) {
    TarvFile::ReplaceOptions options;
    options.temp_path = diff_path + suffix;
    if (out.Create(diff_path, options)) return true;
    *error = options.temp_path + ": cannot be written: " + strerror(errno);
    return false;
  };
  if (format != DifferenceFormat::kSecond) {
    if (!create(out1, ".part") || !WriteFormat1(old_file, new_file, level, out1, error))
      return false;
    size1 = WrittenSize(out1);
  }
  if (format != DifferenceFormat::kZstd) {
    if (!create(out2, ".2.part") || !WriteSecondFormat(old_file, new_file, level, out2, error))
      return false;
    size2 = WrittenSize(out2);
  }
  TarvFile::AtomicFile& keep = size2 < size1 ? out2 : out1;
  if (!keep.Commit()) {
    *error = diff_path + ": cannot be written: " + strerror(errno);
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
