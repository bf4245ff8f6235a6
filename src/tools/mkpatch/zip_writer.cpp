#include "zip_writer.h"

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "data/file_status.h"

namespace mkpatch {
namespace {

constexpr uLong kUnixMadeBy = (3u << 8) | 45u;  // Unix host, format 4.5 (Zip64)
constexpr uLong kUtf8NameFlag = 1u << 11;
// A regular file in the Unix mode that Unix archivers keep in the high half
// of the external attributes.
constexpr uLong kZipRegularFile = 0100000;

}  // namespace

ZipWriter::~ZipWriter() {
  if (m_zip) zipClose(static_cast<zipFile>(m_zip), nullptr);
  // An unfinished archive's part file goes with m_out.
}

bool ZipWriter::Open(const std::string& path, std::string* error) {
  m_path = path;
  m_part = path + ".part";
  // The part file is made afresh by the file layer (never through a link of
  // that name); minizip then writes into it by name.
  TarvFile::ReplaceOptions options;
  options.temp_path = m_part;
  if (!m_out.Create(path, options)) {
    *error = m_part + ": cannot be written: " + strerror(errno);
    return false;
  }
  m_zip = zipOpen64(m_part.c_str(), APPEND_STATUS_CREATE);
  if (!m_zip) *error = m_part + ": cannot be written";
  return m_zip != nullptr;
}

bool ZipWriter::Begin(const std::string& name, uint64_t size, bool compress, std::string* error) {
  zip_fileinfo info;
  memset(&info, 0, sizeof info);
  info.tmz_date.tm_year = 2020;  // a fixed date keeps archives reproducible
  info.tmz_date.tm_mday = 1;
  info.external_fa = (kZipRegularFile | 0644) << 16;
  int zip64 = size >= 0xffffffffull ? 1 : 0;
  int rc = zipOpenNewFileInZip4_64(
      static_cast<zipFile>(m_zip), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
      compress ? Z_DEFLATED : 0, compress ? Z_DEFAULT_COMPRESSION : 0, 0, -MAX_WBITS, DEF_MEM_LEVEL,
      Z_DEFAULT_STRATEGY, nullptr, 0, kUnixMadeBy, kUtf8NameFlag, zip64);
  if (rc != ZIP_OK) *error = name + ": cannot be added to the archive";
  return rc == ZIP_OK;
}

bool ZipWriter::End(std::string* error) {
  if (zipCloseFileInZip(static_cast<zipFile>(m_zip)) != ZIP_OK) {
    *error = m_part + ": cannot be written";
    return false;
  }
  return true;
}

bool ZipWriter::AddFile(const std::string& name, const std::string& fs_path, bool compress,
                        std::string* error) {
  FILE* in = fopen(fs_path.c_str(), "rbe");
  TarvFile::FileStatus st;
  if (!in || !TarvFile::StatusOfStream(in, &st)) {
    *error = fs_path + ": cannot be read";
    if (in) fclose(in);
    return false;
  }
  if (!Begin(name, st.size, compress, error)) {
    fclose(in);
    return false;
  }
  std::vector<char> buf(1 << 20);
  bool ok = true;
  size_t n;
  while (ok && (n = fread(buf.data(), 1, buf.size(), in)) > 0) {
    ok = zipWriteInFileInZip(static_cast<zipFile>(m_zip), buf.data(), static_cast<unsigned>(n)) ==
         ZIP_OK;
    if (!ok) *error = m_part + ": cannot be written";
  }
  if (ok && ferror(in)) {
    *error = fs_path + ": cannot be read";
    ok = false;
  }
  fclose(in);
  return End(error) && ok;
}

bool ZipWriter::AddBytes(const std::string& name, const std::string& bytes, std::string* error) {
  if (!Begin(name, bytes.size(), true, error)) return false;
  bool ok = bytes.empty() || zipWriteInFileInZip(static_cast<zipFile>(m_zip), bytes.data(),
                                                 static_cast<unsigned>(bytes.size())) == ZIP_OK;
  if (!ok) *error = m_part + ": cannot be written";
  return End(error) && ok;
}

bool ZipWriter::Finish(std::string* error) {
  int rc = zipClose(static_cast<zipFile>(m_zip), nullptr);
  m_zip = nullptr;
  if (rc == ZIP_OK && m_out.Commit()) return true;
  *error =
      m_path + ": cannot be written" + (rc == ZIP_OK ? std::string(": ") + strerror(errno) : "");
  m_out.Abandon();
  return false;
}

}  // namespace mkpatch
