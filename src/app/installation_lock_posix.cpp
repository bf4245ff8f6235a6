#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/installation_lock.h"
#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "os/application_mutex.h"

namespace TarvPatch {
namespace {

int g_lockFd = -1;

std::string RealPathOr(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

}  // namespace

std::string InstallationLockName(const std::string& folder) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : folder) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  char name[64];
  snprintf(name, sizeof name, "tarv-patcher-%016llx.lock", static_cast<unsigned long long>(hash));
  return name;
}

InstallationLockResult TakeInstallationLock(const std::wstring& folder) {
  if (g_lockFd >= 0) return InstallationLockResult::kHeld;
  std::string path = RealPathOr(TarvText::ToUtf8(folder));
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::string file = TarvUtil::ApplicationMutexDirectory() + "/" + InstallationLockName(path);
  // Every user must be able to open it: a patcher run by root and one run
  // by the player meet on the same file.
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    SystemLogA("installation lock %s: %s\n", file.c_str(), strerror(errno));
    return InstallationLockResult::kUnknown;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && info.st_uid == geteuid()) fchmod(fd, 0666);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? InstallationLockResult::kBusy : InstallationLockResult::kUnknown;
  }
  g_lockFd = fd;
  return InstallationLockResult::kHeld;
}

}  // namespace TarvPatch
