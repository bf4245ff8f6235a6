// The lock is flock(2) on a file per name in /dev/shm: the kernel drops it
// when the holder closes it or dies, so a crashed game never leaves the
// installation locked. The files are never truncated or removed (removing
// them would let two processes lock different files of the same name).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "diag/assertion.h"
#include "os/application_mutex.h"

namespace TarvUtil {
namespace {

// NAME_MAX of the usual file systems.
constexpr size_t kMaxNameBytes = 255;

std::mutex g_lock;
int g_fd = -1;
bool g_exclusive = false;

// Opens the lock file for every user, without following links and without
// blocking on a planted FIFO. An existing file is opened without O_CREAT:
// in a sticky world-writable folder the kernel may refuse O_CREAT on files of
// other users (fs.protected_regular).
int OpenLockFile(const std::string& path) {
  const int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path.c_str(), kFlags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      fchmod(fd, 0666);  // the creator's umask must not lock others out
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool IsRegularFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int LockFile(const std::string& name, bool exclusive) {
  const std::string file_name = ApplicationMutexFileName(name);
  if (file_name.size() > kMaxNameBytes) return -1;
  int fd = OpenLockFile(ApplicationMutexDirectory() + "/" + file_name);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 || !IsRegularFile(fd)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string ApplicationMutexDirectory() {
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) {
    return "/dev/shm";
  }
  return "/tmp";
}

bool OpenApplicationMutex(const std::wstring& folder, bool exclusive) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_fd >= 0) {
    AssertFailed(!exclusive || g_exclusive,
                 "TarvUtil::OpenApplicationMutex> unable to open mutex for exclusive access; "
                 "already open for sharing");
    return true;
  }
  int fd = LockFile(ApplicationMutexName(folder), exclusive);
  if (fd < 0) return false;
  g_fd = fd;
  g_exclusive = exclusive;
  return true;
}

void CloseApplicationMutex() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_fd < 0) return;
  close(g_fd);
  g_fd = -1;
  g_exclusive = false;
}

}  // namespace TarvUtil
