// Windows calls behind the file layer. Descriptors are the C runtime's,
// each owning a handle opened with CreateFileW (shared for reading, writing
// and deletion, so that a file may be renamed over or removed while open,
// as on POSIX); reads, writes and flushes go to the handle itself. A
// replacement is a MoveFileExW with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH after FlushFileBuffers.
#include <io.h>
#include <windows.h>
// windows.h names the system's ReplaceFileW so; the file layer's is meant.
#undef ReplaceFile

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "data/file_faults.h"
#include "data/file_io.h"
#include "data/windows_path.h"

namespace TarvFile {
namespace {

// The C runtime's open flags (<fcntl.h>), which Open takes on Windows, and
// two of this layer's own for what the runtime has no flag for.
constexpr int kWriteOnly = 0x0001;
constexpr int kReadWrite = 0x0002;
constexpr int kCreate = 0x0100;
constexpr int kTruncate = 0x0200;
constexpr int kExclusive = 0x0400;
constexpr int kBinary = 0x8000;
constexpr int kNoFollow = 0x1000000;
constexpr int kFolder = 0x2000000;

void SetError(std::string* error, const std::string& what, const std::string& path) {
  if (error != nullptr) *error = what + " " + path + ": " + std::strerror(errno);
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void CloseKeepingErrno(int fd) {
  const int err = errno;
  _close(fd);
  errno = err;
}

DWORD Disposition(int flags) {
  if ((flags & kCreate) && (flags & kExclusive)) return CREATE_NEW;
  if ((flags & kCreate) && (flags & kTruncate)) return CREATE_ALWAYS;
  if (flags & kCreate) return OPEN_ALWAYS;
  if (flags & kTruncate) return TRUNCATE_EXISTING;
  return OPEN_EXISTING;
}

DWORD Access(int flags) {
  if (flags & kReadWrite) return GENERIC_READ | GENERIC_WRITE;
  if (flags & kWriteOnly) return GENERIC_WRITE;
  return GENERIC_READ;
}

// The file behind the handle is a link (a reparse point): what a no-follow
// open must refuse.
bool IsLink(HANDLE handle) {
  FILE_BASIC_INFO info;
  return GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) &&
         (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int OpenUncounted(const std::string& path, int flags, FileMode mode) {
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if ((flags & kCreate) && mode != 0 && !(mode & 0200)) attributes = FILE_ATTRIBUTE_READONLY;
  if (flags & kNoFollow) attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
  if (flags & kFolder) attributes |= FILE_FLAG_BACKUP_SEMANTICS;
  HANDLE handle = CreateFileW(WindowsPath(path).c_str(), Access(flags),
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              Disposition(flags), attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Failed(), -1;
  if ((flags & kNoFollow) && IsLink(handle)) {
    CloseHandle(handle);
    errno = ELOOP;
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                 kBinary | (flags & (kWriteOnly | kReadWrite)));
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

// True for a regular file; else false with errno set (EINVAL for another
// kind of file).
bool IsRegular(int fd) {
  HANDLE handle = HandleOf(fd);
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) return Failed();
  if (GetFileType(handle) == FILE_TYPE_DISK &&
      !(info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return true;
  }
  errno = EINVAL;
  return false;
}

std::string BaseOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name beside the target that no other writer picks: process id,
// a process-wide counter and the clock.
std::string FreshTempName(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lu.%llx.%llx.tmp", GetCurrentProcessId(),
                static_cast<unsigned long long>(counter.fetch_add(1)),
                static_cast<unsigned long long>(GetTickCount64()));
  std::string folder = FolderOf(target);
  std::string prefix = folder == "/" ? "/." : folder + "/.";
  return prefix + BaseOf(target) + suffix;
}

// Windows keeps of the mode only the owner's write bit, as the read-only
// attribute.
bool SetReadOnly(const std::string& path, bool read_only) {
  const std::wstring wide = WindowsPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed();
  const DWORD wanted =
      read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
  return wanted == attributes || SetFileAttributesW(wide.c_str(), wanted) || Failed();
}

bool ApplyMode(const std::string& temp, const std::string& target, FileMode wanted) {
  if (wanted != ReplaceOptions::kKeepMode) return SetReadOnly(temp, !(wanted & 0200));
  const DWORD old = GetFileAttributesW(WindowsPath(target).c_str());
  return SetReadOnly(temp, old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY));
}

// True when another program holds the file open without sharing deletion.
bool InUse(const std::wstring& path) {
  HANDLE handle = CreateFileW(
      path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

constexpr int kCreateFlags = kReadWrite | kCreate | kExclusive | kNoFollow;

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int Open(const std::string& path, int flags, FileMode mode) {
  if (!PassesFaultSeam(Call::kOpen)) return -1;
  return OpenUncounted(path, flags, mode);
}

int OpenForReading(const std::string& path) { return Open(path, 0); }

int OpenForUpdate(const std::string& path) { return Open(path, kReadWrite); }

int OpenForReplacing(const std::string& path) {
  return Open(path, kWriteOnly | kTruncate | kNoFollow);
}

int CreateNew(const std::string& path, FileMode mode) { return Open(path, kCreateFlags, mode); }

FILE* StreamOnCopy(int fd, const char* mode) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), HandleOf(fd), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return Failed(), nullptr;
  }
  const int copy_fd = _open_osfhandle(reinterpret_cast<intptr_t>(copy), kBinary);
  if (copy_fd < 0) {
    CloseHandle(copy);
    errno = EMFILE;
    return nullptr;
  }
  FILE* stream = _fdopen(copy_fd, mode);
  if (stream == nullptr) CloseKeepingErrno(copy_fd);
  return stream;
}

void WriteUncounted(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  DWORD put = 0;
  while (size > 0 &&
         WriteFile(HandleOf(fd), bytes, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &put,
                   nullptr) &&
         put > 0) {
    bytes += put;
    size -= put;
  }
}

void UnlinkUncounted(const char* path) { DeleteFileW(WindowsPath(path).c_str()); }

// The folder inherits the access rules of its parent (a user's temporary
// folder admits only that user and the system).
bool MakeUniqueFolder(std::string* pattern) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  if (pattern->size() < 6 || pattern->compare(pattern->size() - 6, 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return false;
  }
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t seed = GetTickCount64() * 6364136223846793005ULL +
                    GetCurrentProcessId() * 1442695040888963407ULL +
                    counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL;
    for (size_t i = pattern->size() - 6; i < pattern->size(); ++i) {
      (*pattern)[i] = kLetters[seed % 36];
      seed /= 36;
    }
    if (CreateDirectoryW(WindowsPath(*pattern).c_str(), nullptr)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return Failed();
  }
  errno = EEXIST;
  return false;
}

bool Close(int fd) { return _close(fd) == 0; }

long long ReadSome(int fd, void* buffer, size_t size) {
  DWORD got = 0;
  if (ReadFile(HandleOf(fd), buffer, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &got,
               nullptr))
    return got;
  if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) return 0;
  return Failed(), -1;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    if (!PassesFaultSeam(Call::kWrite)) return false;
    DWORD put = 0;
    if (!WriteFile(HandleOf(fd), bytes, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &put,
                   nullptr))
      return Failed();
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes += put;
    size -= put;
  }
  return true;
}

bool Fsync(int fd) {
  return PassesFaultSeam(Call::kFsync) && (FlushFileBuffers(HandleOf(fd)) || Failed());
}

bool Rename(const std::string& from, const std::string& to) {
  if (!PassesFaultSeam(Call::kRename)) return false;
  const std::wstring target = WindowsPath(to);
  // POSIX replaces a target whatever its permission bits; Windows refuses a
  // read-only one.
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (MoveFileExW(WindowsPath(from).c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  Failed();
  // A target that another program holds open is refused as "access denied";
  // it is the file-in-use case.
  if (errno == EACCES && InUse(target)) errno = EBUSY;
  return false;
}

bool Unlink(const std::string& path) {
  if (!PassesFaultSeam(Call::kUnlink)) return false;
  const std::wstring wide = WindowsPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // A link to a folder goes as a link; a folder itself is not unlinked.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
      return RemoveDirectoryW(wide.c_str()) || Failed();
    errno = EISDIR;
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileW(wide.c_str()) || Failed();
}

bool Link(const std::string& from, const std::string& to) {
  return PassesFaultSeam(Call::kLink) &&
         (CreateHardLinkW(WindowsPath(to).c_str(), WindowsPath(from).c_str(), nullptr) || Failed());
}

// NTFS journals its folders; a folder handle that cannot be flushed (no
// write access, another file system) counts as flushed, as on POSIX.
bool SyncFolder(const std::string& folder) {
  int fd = Open(folder, kFolder);
  if (fd < 0) return false;
  bool ok = Fsync(fd) || errno == EACCES || errno == EINVAL || errno == ENOSYS;
  CloseKeepingErrno(fd);
  return ok;
}

bool ReadExactly(int fd, size_t size, std::string* bytes, std::string* error) {
  bytes->resize(size);
  size_t done = 0;
  while (done < size) {
    long long n = ReadSome(fd, bytes->data() + done, size - done);
    if (n < 0) return SetError(error, "cannot read", "the file"), false;
    if (n == 0) {
      errno = EIO;
      if (error) *error = "the file became shorter while it was read";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  char extra;
  if (ReadSome(fd, &extra, 1) != 0) {
    errno = EIO;
    if (error) *error = "the file grew while it was read";
    return false;
  }
  return true;
}

ReadResult ReadWholeFile(const std::string& path, uint64_t limit, std::string* bytes,
                         std::string* error) {
  bytes->clear();
  int fd = Open(path, 0);
  if (fd < 0) {
    SetError(error, "cannot open", path);
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  }
  if (!IsRegular(fd)) {
    SetError(error, "not a regular file:", path);
    CloseKeepingErrno(fd);
    return ReadResult::kFailed;
  }
  ReadResult result = ReadResult::kOk;
  std::vector<char> chunk(65536);
  for (;;) {
    long long n = ReadSome(fd, chunk.data(), chunk.size());
    if (n < 0) {
      SetError(error, "cannot read", path);
      result = ReadResult::kFailed;
      break;
    }
    if (n == 0) break;
    if (bytes->size() + static_cast<uint64_t>(n) > limit) {
      errno = EFBIG;
      SetError(error, "too large:", path);
      result = ReadResult::kTooLarge;
      break;
    }
    bytes->append(chunk.data(), static_cast<size_t>(n));
  }
  CloseKeepingErrno(fd);
  if (result != ReadResult::kOk) bytes->clear();
  return result;
}

FILE* OpenRegularForReading(const std::string& path) {
  int fd = Open(path, 0);
  if (fd < 0) return nullptr;
  FILE* file = nullptr;
  if (!IsRegular(fd) || (file = _fdopen(fd, "rb")) == nullptr) {
    CloseKeepingErrno(fd);
    return nullptr;
  }
  return file;
}

// ---- AtomicFile -------------------------------------------------------------

AtomicFile::~AtomicFile() { Abandon(); }

bool AtomicFile::Fail(const std::string& what, std::string* error) {
  SetError(error, what, m_temp.empty() ? m_target : m_temp);
  const int err = errno;
  Abandon();
  errno = err;
  return false;
}

void AtomicFile::Abandon() {
  const int err = errno;
  if (m_fd >= 0) _close(m_fd);
  m_fd = -1;
  if (!m_temp.empty()) {
    // Not counted: cleaning up must not fail.
    const std::wstring wide = WindowsPath(m_temp);
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(wide.c_str());
  }
  m_temp.clear();
  errno = err;
}

bool AtomicFile::Create(const std::string& target, const ReplaceOptions& options,
                        std::string* error) {
  Abandon();
  m_target = target;
  m_durable = options.durable;
  if (!options.temp_path.empty()) {
    // A leftover of the fixed name (also a planted link) is removed first.
    if (!Unlink(options.temp_path) && errno != ENOENT) {
      SetError(error, "cannot remove", options.temp_path);
      return false;
    }
    m_fd = Open(options.temp_path, kCreateFlags, 0600);
    if (m_fd >= 0) m_temp = options.temp_path;
  } else {
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
      std::string name = FreshTempName(target);
      m_fd = Open(name, kCreateFlags, 0600);
      if (m_fd >= 0) m_temp = name;
      if (m_fd < 0 && errno != EEXIST) break;
    }
  }
  if (m_fd < 0) {
    SetError(error, "cannot create a temporary file for", target);
    return false;
  }
  if (!ApplyMode(m_temp, target, options.mode)) return Fail("cannot set the mode of", error);
  return true;
}

bool AtomicFile::Write(const void* data, size_t size, std::string* error) {
  if (m_fd < 0) {
    errno = EBADF;
    SetError(error, "cannot write", m_target);
    return false;
  }
  return WriteAll(m_fd, data, size) || Fail("cannot write", error);
}

bool AtomicFile::Commit(std::string* error) {
  if (m_fd < 0) {
    errno = EBADF;
    SetError(error, "cannot write", m_target);
    return false;
  }
  if (m_durable && !Fsync(m_fd)) return Fail("cannot flush", error);
  const int fd = m_fd;
  m_fd = -1;
  if (_close(fd) != 0) return Fail("cannot write", error);
  if (!Rename(m_temp, m_target)) {
    SetError(error, "cannot rename " + m_temp + " to", m_target);
    const int err = errno;
    Abandon();
    errno = err;
    return false;
  }
  m_temp.clear();
  // The file is in place; a folder that cannot be flushed leaves it there
  // all the same, so this is no reason to report failure.
  if (m_durable) SyncFolder(FolderOf(m_target));
  return true;
}

bool ReplaceFile(const std::string& path, std::string_view bytes, const ReplaceOptions& options,
                 std::string* error) {
  AtomicFile file;
  return file.Create(path, options, error) && file.Write(bytes, error) && file.Commit(error);
}

// ---- Copy -------------------------------------------------------------------

bool CopyRegularFile(const std::string& source, const std::string& target, std::string* error,
                     ReplaceOptions options,
                     const std::function<bool(const std::string& copy)>& verify) {
  int in = Open(source, kNoFollow);
  if (in < 0) {
    SetError(error, "cannot open", source);
    return false;
  }
  if (!IsRegular(in)) {
    SetError(error, "not a regular file:", source);
    CloseKeepingErrno(in);
    return false;
  }
  AtomicFile out;
  options.mode = 0644;  // the copy is always the owner's to write, as on POSIX
  bool ok = out.Create(target, options, error);
  std::vector<char> buf(1 << 20);
  while (ok) {
    long long n = ReadSome(in, buf.data(), buf.size());
    if (n == 0) break;
    if (n < 0 || !WriteAll(out.fd(), buf.data(), static_cast<size_t>(n))) {
      ok = false;
      SetError(error, "cannot copy " + source + " to", target);
    }
  }
  CloseKeepingErrno(in);
  if (ok && verify && !verify(out.temp_path())) {
    SetError(error, "the copy does not pass its check:", source);
    return false;  // the uncommitted copy goes with `out`
  }
  return ok && out.Commit(error);
}

}  // namespace TarvFile
