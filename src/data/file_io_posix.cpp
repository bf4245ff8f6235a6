// Linux calls behind the file layer.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "data/file_faults.h"
#include "data/file_io.h"

namespace TarvFile {
namespace {

void SetError(std::string* error, const std::string& what, const std::string& path) {
  if (error != nullptr) *error = what + " " + path + ": " + std::strerror(errno);
}

// Closes without letting close() overwrite the errno of the failure that is
// being reported.
void CloseKeepingErrno(int fd) {
  const int err = errno;
  close(fd);
  errno = err;
}

std::string BaseOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name beside the target that no other writer picks: process id,
// a process-wide counter and the clock.
std::string FreshTempName(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%d.%llx.%lx.tmp", static_cast<int>(getpid()),
                static_cast<unsigned long long>(counter.fetch_add(1)),
                static_cast<long>(ts.tv_nsec));
  std::string folder = FolderOf(target);
  std::string prefix = folder == "/" ? "/." : folder + "/.";
  return prefix + BaseOf(target) + suffix;
}

// The mode (and, for root, the owner) the replacement takes over.
bool ApplyMode(int fd, const std::string& target, FileMode wanted) {
  if (wanted != ReplaceOptions::kKeepMode) return fchmod(fd, wanted & 07777) == 0;
  struct stat old_info;
  if (stat(target.c_str(), &old_info) != 0) return fchmod(fd, 0644) == 0;
  if (fchmod(fd, old_info.st_mode & 07777) != 0) return false;
  return geteuid() != 0 || fchown(fd, old_info.st_uid, old_info.st_gid) == 0;
}

// True for a regular file; else false with errno set (EINVAL for another
// kind of file).
bool IsRegular(int fd, struct stat* st) {
  if (fstat(fd, st) != 0) return false;
  if (S_ISREG(st->st_mode)) return true;
  errno = EINVAL;
  return false;
}

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int Open(const std::string& path, int flags, FileMode mode) {
  if (!PassesFaultSeam(Call::kOpen)) return -1;
  for (;;) {
    int fd = open(path.c_str(), flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

int OpenForReading(const std::string& path) { return Open(path, O_RDONLY | O_CLOEXEC); }

int OpenForUpdate(const std::string& path) { return Open(path, O_RDWR | O_CLOEXEC); }

int OpenForReplacing(const std::string& path) {
  return Open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
}

int CreateNew(const std::string& path, FileMode mode) {
  return Open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

FILE* StreamOnCopy(int fd, const char* mode) {
  int copy = dup(fd);
  if (copy < 0) return nullptr;
  FILE* stream = fdopen(copy, mode);
  if (stream == nullptr) {
    const int err = errno;
    close(copy);
    errno = err;
  }
  return stream;
}

void WriteUncounted(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t put = write(fd, bytes, size);
    if (put <= 0) return;
    bytes += put;
    size -= static_cast<size_t>(put);
  }
}

void UnlinkUncounted(const char* path) { unlink(path); }

bool MakeUniqueFolder(std::string* pattern) { return mkdtemp(pattern->data()) != nullptr; }

bool Close(int fd) { return close(fd) == 0; }

long long ReadSome(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t got = read(fd, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    if (!PassesFaultSeam(Call::kWrite)) return false;
    ssize_t put = write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

bool Fsync(int fd) { return PassesFaultSeam(Call::kFsync) && fsync(fd) == 0; }

bool Rename(const std::string& from, const std::string& to) {
  return PassesFaultSeam(Call::kRename) && rename(from.c_str(), to.c_str()) == 0;
}

bool Unlink(const std::string& path) {
  return PassesFaultSeam(Call::kUnlink) && unlink(path.c_str()) == 0;
}

bool Link(const std::string& from, const std::string& to) {
  return PassesFaultSeam(Call::kLink) && link(from.c_str(), to.c_str()) == 0;
}

bool SyncFolder(const std::string& folder) {
  int fd = Open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = Fsync(fd) || errno == EINVAL || errno == EROFS;
  CloseKeepingErrno(fd);
  return ok;
}

bool ReadExactly(int fd, size_t size, std::string* bytes, std::string* error) {
  bytes->resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, bytes->data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SetError(error, "cannot read", "the file"), false;
    if (n == 0) {
      errno = EIO;
      if (error) *error = "the file became shorter while it was read";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  char extra;
  if (read(fd, &extra, 1) != 0) {
    errno = EIO;
    if (error) *error = "the file grew while it was read";
    return false;
  }
  return true;
}

ReadResult ReadWholeFile(const std::string& path, uint64_t limit, std::string* bytes,
                         std::string* error) {
  bytes->clear();
  int fd = Open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, "cannot open", path);
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  }
  struct stat st;
  if (!IsRegular(fd, &st)) {
    SetError(error, "not a regular file:", path);
    CloseKeepingErrno(fd);
    return ReadResult::kFailed;
  }
  ReadResult result = ReadResult::kOk;
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
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
    bytes->append(chunk, static_cast<size_t>(n));
  }
  CloseKeepingErrno(fd);
  if (result != ReadResult::kOk) bytes->clear();
  return result;
}

FILE* OpenRegularForReading(const std::string& path) {
  int fd = Open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  FILE* file = nullptr;
  if (!IsRegular(fd, &st) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      (file = fdopen(fd, "rb")) == nullptr) {
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
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  if (!m_temp.empty()) unlink(m_temp.c_str());  // not counted: cleaning up must not fail
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
  if (!ApplyMode(m_fd, target, options.mode)) return Fail("cannot set the mode of", error);
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
  if (close(fd) != 0) return Fail("cannot write", error);
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

namespace {

// Copies in the kernel where the two file systems allow it, else through a
// buffer. The kernel path is not counted by the fault seam; a test that
// injects write faults gets the buffered path (see CopyRegularFile).
bool CopyData(int in, int out, bool kernel_copy) {
  while (kernel_copy) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;  // this pair of file systems cannot copy in the kernel
  }
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) return false;
  }
}

}  // namespace

bool CopyRegularFile(const std::string& source, const std::string& target, std::string* error,
                     ReplaceOptions options,
                     const std::function<bool(const std::string& copy)>& verify) {
  int in = Open(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) {
    SetError(error, "cannot open", source);
    return false;
  }
  struct stat st;
  if (!IsRegular(in, &st)) {
    SetError(error, "not a regular file:", source);
    CloseKeepingErrno(in);
    return false;
  }
  AtomicFile out;
  options.mode = (st.st_mode & 0777) | 0600;
  bool ok = out.Create(target, options, error);
  // While the seam is armed every write of the copy goes through it, so that
  // a test's write fault hits the copy as it would on a full disk.
  const bool kernel_copy = !FaultSeamArmed();
  if (ok && !CopyData(in, out.fd(), kernel_copy)) {
    ok = false;
    SetError(error, "cannot copy " + source + " to", target);
  }
  CloseKeepingErrno(in);
  if (ok && verify && !verify(out.temp_path())) {
    SetError(error, "the copy does not pass its check:", source);
    return false;  // the uncommitted copy goes with `out`
  }
  return ok && out.Commit(error);
}

}  // namespace TarvFile
