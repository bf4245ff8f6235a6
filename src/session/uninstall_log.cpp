#include "session/uninstall_log.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "data/file_io.h"
#include "data/file_status.h"
#include "data/file_util.h"

namespace TarvPatch {
namespace {

constexpr uint16_t kDeleteFileRecordType = 0x0082;
constexpr uint8_t kListEnd = 0xFF;

uint32_t Crc(const char* data, size_t size) {
  return static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

uint32_t ReadLe32(std::string_view bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

void PutLe32(std::string& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void AppendLe(std::string& bytes, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendBlock(std::string& out, std::string_view data) {
  const uint32_t size = static_cast<uint32_t>(data.size());
  AppendLe(out, size, 4);
  AppendLe(out, ~size, 4);
  AppendLe(out, Crc(data.data(), data.size()), 4);
  out.append(data);
}

// The part of the log that the update rewrites: the block in which the final
// record starts and every block after it, with their data joined. The final
// record usually lies in the last block, but it may begin in the full block
// before it when the last block holds fewer than 28 bytes.
struct Tail {
  size_t start = 0;
  std::string data;
};

bool CheckHeader(std::string_view log, std::string* error) {
  if (log.size() < kUninstallHeaderSize + kUninstallBlockHeaderSize) {
    *error = "the log is shorter than a header and one block";
    return false;
  }
  if (Crc(log.data(), kUninstallHeaderCrcOffset) != ReadLe32(log, kUninstallHeaderCrcOffset)) {
    *error = "the header CRC does not match";
    return false;
  }
  return true;
}

// Checks one block header and its data at `pos`; sets `size` to its data size.
bool CheckBlock(std::string_view log, size_t pos, uint32_t* size, std::string* error) {
  const std::string where = " (block at offset " + std::to_string(pos) + ")";
  if (log.size() - pos < kUninstallBlockHeaderSize) {
    *error = "the log ends inside a block header" + where;
    return false;
  }
  *size = ReadLe32(log, pos);
  if (ReadLe32(log, pos + 4) != ~*size || *size > kUninstallBlockSize) {
    *error = "a block size is invalid" + where;
    return false;
  }
  if (log.size() - pos - kUninstallBlockHeaderSize < *size) {
    *error = "the log ends inside a block" + where;
    return false;
  }
  if (Crc(log.data() + pos + kUninstallBlockHeaderSize, *size) != ReadLe32(log, pos + 8)) {
    *error = "a block CRC does not match" + where;
    return false;
  }
  return true;
}

// Walks the blocks: every one but the last must be full, the last one must
// end the file; together they must hold at least the final record.
bool FindTail(std::string_view log, Tail* tail, std::string* error) {
  size_t pos = kUninstallHeaderSize;
  size_t previous = 0;
  while (true) {
    uint32_t size = 0;
    if (!CheckBlock(log, pos, &size, error)) return false;
    const size_t next = pos + kUninstallBlockHeaderSize + size;
    if (next == log.size()) {
      const std::string_view data = log.substr(pos + kUninstallBlockHeaderSize, size);
      if (size >= kUninstallFinalRecordSize) {
        *tail = {pos, std::string(data)};
      } else if (previous != 0) {
        const std::string_view before =
            log.substr(previous + kUninstallBlockHeaderSize, kUninstallBlockSize);
        *tail = {previous, std::string(before) + std::string(data)};
      } else {
        *error = "the log holds fewer bytes than its final record";
        return false;
      }
      return true;
    }
    if (size != kUninstallBlockSize) {
      *error =
          "a block before the last one is not full (block at offset " + std::to_string(pos) + ")";
      return false;
    }
    previous = pos;
    pos = next;
  }
}

// The record stream of the new tail, cut into blocks of 4096 bytes; the last
// block takes what remains (1 to 4096 bytes).
std::string MakeTail(std::string_view stream) {
  std::string tail;
  size_t pos = 0;
  do {
    const size_t n = std::min(kUninstallBlockSize, stream.size() - pos);
    AppendBlock(tail, stream.substr(pos, n));
    pos += n;
  } while (pos < stream.size());
  return tail;
}

bool MakeHeader(std::string_view log, uint32_t records_added, uint64_t growth, std::string* header,
                std::string* error) {
  *header = std::string(log.substr(0, kUninstallHeaderSize));
  const int64_t count =
      static_cast<int32_t>(ReadLe32(log, kUninstallRecordCountOffset)) + int64_t{records_added};
  const uint64_t end = uint64_t{ReadLe32(log, kUninstallEndOffsetOffset)} + growth;
  if (count > std::numeric_limits<int32_t>::max() || end > std::numeric_limits<uint32_t>::max()) {
    *error = "the record count or the end offset would overflow";
    return false;
  }
  PutLe32(*header, kUninstallRecordCountOffset, static_cast<uint32_t>(count));
  PutLe32(*header, kUninstallEndOffsetOffset, static_cast<uint32_t>(end));
  PutLe32(*header, kUninstallHeaderCrcOffset, Crc(header->data(), kUninstallHeaderCrcOffset));
  return true;
}

// --- Files -----------------------------------------------------------------

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool ReadLog(const std::string& path, std::string* log, TarvFile::FileMode* mode,
             std::string* error) {
  // Opened for writing as well, so that a log the user may not change is
  // refused before anything is written next to it.
  const int fd = TarvFile::OpenForUpdate(path);
  if (fd < 0) return (*error = Errno("opening " + path)), false;
  TarvFile::FileStatus st;
  bool ok = TarvFile::StatusOfOpen(fd, &st);
  if (!ok) {
    *error = Errno("examining " + path);
  } else if (st.type != TarvFile::FileType::kRegular) {
    ok = false;
    *error = path + " is not a regular file";
  } else if (st.size > kUninstallMaxLogSize) {
    ok = false;
    *error = path + " is larger than any uninstaller log this program handles";
  } else {
    *mode = st.mode;
    ok = TarvFile::ReadExactly(fd, static_cast<size_t>(st.size), log, error);
  }
  TarvFile::Close(fd);
  return ok;
}

}  // namespace

std::string MakeDeleteFileRecord(std::string_view path) {
  std::string data;
  if (path.size() < 0xFD) {
    AppendLe(data, path.size(), 1);
  } else if (path.size() <= 0xFFFF) {
    data.push_back(static_cast<char>(0xFD));
    AppendLe(data, path.size(), 2);
  } else {
    data.push_back(static_cast<char>(0xFE));
    AppendLe(data, path.size(), 4);
  }
  data.append(path);
  data.push_back(static_cast<char>(kListEnd));
  std::string record;
  AppendLe(record, kDeleteFileRecordType, 2);
  AppendLe(record, 0, 4);
  AppendLe(record, data.size(), 4);
  return record + data;
}

std::string UninstallRecordPath(const std::wstring& install_dir, const std::wstring& relative) {
  return TarvUtil::ToNarrow(install_dir) + "\\" + TarvUtil::ToNarrow(relative);
}

bool PlanUninstallLogEdit(std::string_view log, const std::vector<std::string>& records,
                          UninstallLogEdit* edit, std::string* error) {
  Tail old_tail;
  if (!CheckHeader(log, error) || !FindTail(log, &old_tail, error)) return false;
  if (records.size() > std::numeric_limits<int32_t>::max()) {
    *error = "too many records";
    return false;
  }
  const size_t kept = old_tail.data.size() - kUninstallFinalRecordSize;
  std::string stream = old_tail.data.substr(0, kept);
  for (const auto& record : records) stream += record;
  stream.append(old_tail.data, kept, std::string::npos);

  edit->kept_end = old_tail.start;
  edit->tail = MakeTail(stream);
  edit->records_added = static_cast<uint32_t>(records.size());
  const uint64_t growth = edit->tail.size() - (log.size() - old_tail.start);
  if (log.size() + growth > std::numeric_limits<uint32_t>::max()) {
    *error = "the log would grow beyond 4 GiB";
    return false;
  }
  return MakeHeader(log, edit->records_added, growth, &edit->header, error);
}

bool UninstallLogMissing(const std::wstring& install_dir) {
  const std::string path = TarvUtil::FsPath(TarvUtil::JoinPath(install_dir, L"unins000.dat"));
  return !TarvFile::EntryExists(path) && errno == ENOENT;
}

bool UpdateUninstallLog(const std::wstring& install_dir, const std::vector<std::wstring>& added,
                        std::string* error) {
  if (added.empty()) return true;
  const std::string log_path = TarvUtil::FsPath(TarvUtil::JoinPath(install_dir, kUninstallLogName));
  const std::string copy_path =
      TarvUtil::FsPath(TarvUtil::JoinPath(install_dir, kUninstallLogTempName));

  std::string log;
  TarvFile::FileMode mode = 0644;
  if (!ReadLog(log_path, &log, &mode, error)) return false;
  std::vector<std::string> records;
  records.reserve(added.size());
  for (const auto& relative : added) {
    records.push_back(MakeDeleteFileRecord(UninstallRecordPath(install_dir, relative)));
  }
  UninstallLogEdit edit;
  if (!PlanUninstallLogEdit(log, records, &edit, error)) {
    *error = log_path + ": " + *error;
    return false;
  }
  // The copy has a fixed name beside the log, as the uninstaller's own
  // updates do; a leftover of that name is replaced, never followed.
  TarvFile::ReplaceOptions options;
  options.mode = mode;
  options.temp_path = copy_path;
  TarvFile::AtomicFile copy;
  return copy.Create(log_path, options, error) && copy.Write(edit.header, error) &&
         copy.Write(std::string_view(log).substr(kUninstallHeaderSize,
                                                 edit.kept_end - kUninstallHeaderSize),
                    error) &&
         copy.Write(edit.tail, error) && copy.Commit(error);
}

}  // namespace TarvPatch
