// Writes a ZIP archive with minizip's zip API: entries from files or from
// memory, names in UTF-8 (flagged as such), Unix file modes, Zip64 where a
// size needs it. The archive is written to `<path>.part`, flushed and renamed
// into place by Finish; an archive that is not finished is removed. One owner.
#pragma once

#include <string>

#include "data/file_io.h"

namespace mkpatch {

class ZipWriter {
 public:
  ~ZipWriter();
  bool Open(const std::string& path, std::string* error);
  // `compress`: deflate; otherwise stored (for data that is compressed
  // already).
  bool AddFile(const std::string& name, const std::string& fs_path, bool compress,
               std::string* error);
  bool AddBytes(const std::string& name, const std::string& bytes, std::string* error);
  // Closes the archive and renames it into place.
  bool Finish(std::string* error);

 private:
  bool Begin(const std::string& name, uint64_t size, bool compress, std::string* error);
  bool End(std::string* error);

  TarvFile::AtomicFile m_out;
  void* m_zip = nullptr;
  std::string m_path;
  std::string m_part;
};

}  // namespace mkpatch
