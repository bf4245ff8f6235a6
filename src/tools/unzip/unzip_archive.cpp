// The unpacking of tarv-unzip (see unzip_main.cpp), apart from its command
// line so that the fuzz target drives the same code with any archive.
#include "tools/unzip/unzip_archive.h"

#include <unzip.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "data/file_io.h"
#include "data/path_beneath.h"
#include "tools/unzip/unzip_entry.h"

namespace TarvUnzip {

namespace {

constexpr int kUnixHost = 3;  // "version made by" high byte of Unix archivers
// The file type in the Unix mode such archivers store in the high half of
// the external attributes.
constexpr uint32_t kZipTypeMask = 0170000;
constexpr uint32_t kZipRegular = 0100000;
constexpr uint32_t kZipFolder = 0040000;
constexpr uint32_t kZipLink = 0120000;

// Opens (creating when missing) each folder below `root` without following
// links. The descriptor of the last one, or -1 with the reason in `why`
// (a link on the way is named: it is refused, never followed).
int OpenFolders(int root, const std::vector<std::string>& dirs, std::string* why) {
  int fd = TarvFile::DuplicateHandle(root);
  std::string walked;
  for (const auto& d : dirs) {
    walked += (walked.empty() ? "" : "/") + d;
    if (TarvFile::IsLinkIn(fd, d)) {
      *why = "refused: " + walked + " in the folder is a link";
      TarvFile::Close(fd);
      return -1;
    }
    if (!TarvFile::MakeFolderIn(fd, d) && errno != EEXIST) {
      *why = std::string("its folder cannot be made: ") + strerror(errno);
      TarvFile::Close(fd);
      return -1;
    }
    int next = TarvFile::OpenFolderIn(fd, d);
    if (next < 0) *why = std::string("its folder cannot be made: ") + strerror(errno);
    TarvFile::Close(fd);
    if (next < 0) return -1;
    fd = next;
  }
  return fd;
}

// Creates a fresh temporary file in the folder; its name in `temp`.
int CreateTemp(int dir, std::string* temp) {
  static std::mt19937 rng(std::random_device{}());
  for (int tries = 0; tries < 100; ++tries) {
    *temp = ".tarv-unzip-" + std::to_string(rng());
    int fd = TarvFile::CreateFileIn(dir, *temp);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Reads the current entry into `fd`; false with the reason on a read error,
// a wrong size or a wrong CRC.
bool CopyEntry(unzFile zip, int fd, uint64_t expected_size, std::string* why) {
  if (unzOpenCurrentFile(zip) != UNZ_OK) {
    *why = "cannot be read";
    return false;
  }
  std::vector<char> buf(1 << 20);
  uint64_t total = 0;
  int n;
  while ((n = unzReadCurrentFile(zip, buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
    total += static_cast<uint64_t>(n);
    if (total > expected_size || !TarvFile::WriteAll(fd, buf.data(), static_cast<size_t>(n))) {
      unzCloseCurrentFile(zip);
      *why = total > expected_size ? "is longer than recorded" : "cannot be written";
      return false;
    }
  }
  int closed = unzCloseCurrentFile(zip);
  if (n < 0 || closed != UNZ_OK || total != expected_size) {
    *why = (n == UNZ_CRCERROR || closed == UNZ_CRCERROR) ? "has a wrong CRC" : "is damaged";
    return false;
  }
  return true;
}

bool ExtractFile(unzFile zip, int root, const std::vector<std::string>& parts, uint64_t size,
                 std::string* why) {
  std::vector<std::string> dirs(parts.begin(), parts.end() - 1);
  int dir = OpenFolders(root, dirs, why);
  if (dir < 0) return false;
  // A link at the entry's own name would be replaced, not written through;
  // it is refused all the same, as a planted link anywhere on the way is.
  if (TarvFile::IsLinkIn(dir, parts.back())) {
    *why = "refused: it is a link in the folder";
    TarvFile::Close(dir);
    return false;
  }
  std::string temp;
  int fd = CreateTemp(dir, &temp);
  bool ok = fd >= 0;
  if (!ok) *why = std::string("cannot be written: ") + strerror(errno);
  ok = ok && CopyEntry(zip, fd, size, why);
  if (fd >= 0 && !TarvFile::Close(fd) && ok) {
    *why = "cannot be written";
    ok = false;
  }
  if (ok && !TarvFile::RenameIn(dir, temp, parts.back())) {
    *why = std::string("cannot be put in place: ") + strerror(errno);
    ok = false;
  }
  if (!ok && fd >= 0) TarvFile::RemoveFileIn(dir, temp);
  TarvFile::Close(dir);
  return ok;
}

}  // namespace

bool CheckEntry(const unz_file_info64& info, const std::string& name,
                std::vector<std::string>* parts, bool* is_dir, std::string* why) {
  if (!SplitName(name, parts, is_dir)) {
    *why = "refused: the name leaves the folder";
    return false;
  }
  const uint32_t type = static_cast<uint32_t>(info.external_fa >> 16) & kZipTypeMask;
  if ((info.version >> 8) == kUnixHost && type != 0 && type != kZipRegular && type != kZipFolder) {
    *why = type == kZipLink ? "refused: a link" : "refused: not a file or folder";
    return false;
  }
  if (info.flag & 1) {
    *why = "refused: encrypted";
    return false;
  }
  return true;
}

namespace {

// Handles the entry the archive is positioned on.
bool ExtractCurrent(unzFile zip, int root, std::string* name, std::string* why) {
  unz_file_info64 info;
  std::vector<char> raw(65536);
  if (unzGetCurrentFileInfo64(zip, &info, raw.data(), raw.size(), nullptr, 0, nullptr, 0) !=
      UNZ_OK) {
    *why = "entry header damaged";
    return false;
  }
  *name = std::string(raw.data(), info.size_filename);
  std::vector<std::string> parts;
  bool is_dir = false;
  if (!CheckEntry(info, *name, &parts, &is_dir, why)) return false;
  if (is_dir) {
    int fd = OpenFolders(root, parts, why);
    if (fd >= 0) TarvFile::Close(fd);
    return fd >= 0;
  }
  return ExtractFile(zip, root, parts, info.uncompressed_size, why);
}

int MakeRoot(const std::string& folder) {
  std::string cur;
  for (size_t i = 0; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') {
      if (!cur.empty()) TarvFile::MakeFolder(cur);
    }
    if (i < folder.size()) cur += folder[i];
  }
  return TarvFile::OpenFolder(folder);
}

}  // namespace

bool SplitName(const std::string& name, std::vector<std::string>* parts, bool* is_dir) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
  if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
  *is_dir = name.back() == '/' || name.back() == '\\';
  std::string cur;
  for (size_t i = 0; i <= name.size(); ++i) {
    char c = i < name.size() ? name[i] : '/';
    if (c == '\0') return false;
    if (c != '/' && c != '\\') {
      cur += c;
      continue;
    }
    if (cur == "..") return false;
    if (!cur.empty() && cur != ".") parts->push_back(cur);
    cur.clear();
  }
  return !parts->empty();
}

namespace {

// The archive is opened by the file layer (a regular file only, its name
// taken as UTF-8 on every system); minizip reads the stream as its own.
voidpf OpenArchive(voidpf, const void* name, int mode) {
  if (name == nullptr || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
    return nullptr;
  return TarvFile::OpenRegularForReading(static_cast<const char*>(name));
}

}  // namespace

unzFile OpenZip(const std::string& archive) {
  zlib_filefunc64_def io;
  fill_fopen64_filefunc(&io);
  io.zopen64_file = OpenArchive;
  return unzOpen2_64(archive.c_str(), &io);
}

int Unzip(const std::string& archive, const std::string& folder, FILE* err) {
  unzFile zip = OpenZip(archive);
  if (zip == nullptr) {
    if (err)
      fprintf(err, "tarv-unzip: %s: cannot open the archive or it is damaged\n", archive.c_str());
    return kArchiveBad;
  }
  int root = MakeRoot(folder);
  if (root < 0) {
    if (err) fprintf(err, "tarv-unzip: %s: %s\n", folder.c_str(), strerror(errno));
    unzClose(zip);
    return kEntryBad;
  }
  int code = kOk;
  int rc = unzGoToFirstFile(zip);
  while (rc == UNZ_OK) {
    std::string name, why;
    if (!ExtractCurrent(zip, root, &name, &why)) {
      if (err) fprintf(err, "tarv-unzip: %s: %s\n", name.c_str(), why.c_str());
      code = kEntryBad;
      break;
    }
    rc = unzGoToNextFile(zip);
  }
  if (code == kOk && rc != UNZ_END_OF_LIST_OF_FILE) {
    if (err) fprintf(err, "tarv-unzip: %s: the archive's directory is damaged\n", archive.c_str());
    code = kArchiveBad;
  }
  TarvFile::Close(root);
  unzClose(zip);
  return code;
}

}  // namespace TarvUnzip
