#include "make_difference.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "data/file_io.h"
#include "data/file_status.h"
#include "data/mapped_file.h"
#include "format1_writer.h"
#include "format2_search.h"

namespace difference {
namespace {

// Maps a regular file for reading. False with the reason in `error`.
bool MapInput(const std::string& path, TarvFile::Mapping* mapping, std::string* error) {
  TarvFile::FileStatus st;
  if (!TarvFile::StatusOf(path, &st) || st.type != TarvFile::FileType::kRegular) {
    *error = path + ": cannot be read" + (errno ? std::string(": ") + strerror(errno) : "");
    return false;
  }
  if (!TarvFile::MapForReading(path, mapping)) {
    *error = path + ": cannot be mapped: " + strerror(errno);
    return false;
  }
  return true;
}

// An empty file maps to nothing; the writers want an address all the same.
const unsigned char* DataOf(const TarvFile::Mapping& m) {
  return m.data ? m.data : reinterpret_cast<const unsigned char*>("");
}

// The level the differences are made at. The optimal parser of the high
// levels runs at about 1 MB/s and indexes the whole old file as well: on
// large files it would take many minutes, and it finds nothing there that
// the long-distance matcher of a middle level does not. Large files are
// therefore made at kLargeFileLevel at most.
int LevelFor(int level, uint64_t old_size, uint64_t new_size) {
  return old_size + new_size > kLargeFileSize && level > kLargeFileLevel ? kLargeFileLevel : level;
}

bool WriteFirst(const TarvFile::Mapping& old_file, const TarvFile::Mapping& new_file, int level,
                TarvFile::AtomicFile& out, std::string* error) {
  return WriteFormat1(
      DataOf(old_file), old_file.size, DataOf(new_file), new_file.size, level,
      [&out](const unsigned char* data, size_t n) { return out.Write(data, n); }, error);
}

// The second format goes back to its header at the end: it writes through
// a stream of its own on the part file.
bool WriteSecond(const TarvFile::Mapping& old_file, const TarvFile::Mapping& new_file, int level,
                 TarvFile::AtomicFile& out, std::string* error) {
  FILE* f = TarvFile::StreamOnCopy(out.fd(), "wb");
  if (f == nullptr) {
    *error = out.temp_path() + ": cannot be written: " + strerror(errno);
    return false;
  }
  bool ok = MakeSmallestFormat2(DataOf(old_file), old_file.size, DataOf(new_file), new_file.size,
                                level, f, error);
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

// Each format goes to a part file of its own; the smaller one becomes the
// difference, the other is removed with its writer.
bool MakeFromMapped(const TarvFile::Mapping& old_file, const TarvFile::Mapping& new_file,
                    const std::string& diff_path, int level, DifferenceFormat format,
                    std::string* error) {
  level = LevelFor(level, old_file.size, new_file.size);
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
    if (!create(out1, ".part") || !WriteFirst(old_file, new_file, level, out1, error)) return false;
    size1 = WrittenSize(out1);
  }
  if (format != DifferenceFormat::kZstd) {
    if (!create(out2, ".2.part") || !WriteSecond(old_file, new_file, level, out2, error))
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

}  // namespace

bool MakeDifference(const std::string& old_path, const std::string& new_path,
                    const std::string& diff_path, int level, std::string* error,
                    DifferenceFormat format) {
  TarvFile::Mapping old_file, new_file;
  bool ok = MapInput(old_path, &old_file, error) && MapInput(new_path, &new_file, error);
  if (ok && old_file.size >= kMaxDifferenceOldSize) {
    *error = old_path + ": 2 GiB or larger, beyond the difference window";
    ok = false;
  }
  ok = ok && MakeFromMapped(old_file, new_file, diff_path, level, format, error);
  TarvFile::Unmap(&new_file);
  TarvFile::Unmap(&old_file);
  return ok;
}

}  // namespace difference
