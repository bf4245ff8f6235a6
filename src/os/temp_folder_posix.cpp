#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "data/file_util.h"
#include "os/temp_folder.h"

namespace TarvUtil {
namespace {

std::string Variable(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// Creates the private folder if needed and checks, on the folder actually
// opened, that nobody else controls it.
bool PreparePrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
  if (ok && (st.st_mode & 07777) != 0700) ok = fchmod(fd, 0700) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::wstring TempFolderPath() {
  if (std::wstring session = SessionTempFolder(); !session.empty()) return session;
  std::string temp = Variable("TEMP");
  if (!temp.empty()) return FromFsPath(temp);
  std::string base = Variable("TMPDIR");
  if (base.empty()) base = "/tmp";
  return JoinPath(FromFsPath(base), L"tarv-patcher-" + std::to_wstring(geteuid()));
}

bool EnsureTempFolder(std::wstring* folder) {
  std::wstring path = TempFolderPath();
  const bool named = !SessionTempFolder().empty() || !Variable("TEMP").empty();
  bool ok = named ? MakeDirectory(path) : PreparePrivateFolder(FsPath(path));
  if (ok && folder) *folder = path;
  return ok;
}

}  // namespace TarvUtil
