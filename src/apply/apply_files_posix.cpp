#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "apply/apply_files.h"
#include "data/file_util.h"

namespace TarvPatch {
namespace {

bool CopyData(int in, int out) {
  for (;;) {
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
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return false;
      done += w;
    }
  }
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FileKind KindOfPath(const std::wstring& path) {
  struct stat st;
  if (lstat(TarvUtil::FsPath(path).c_str(), &st) != 0) return FileKind::kMissing;
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

bool IsDirectory(const std::wstring& path) {
  struct stat st;
  return stat(TarvUtil::FsPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CopyFileReplacing(const std::wstring& source, const std::wstring& target,
                       const std::function<bool(const std::wstring& copy)>& digest_check) {
  int in = open(TarvUtil::FsPath(source).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  std::string to = TarvUtil::FsPath(target);
  std::string temp = FolderOf(to) + "/.tarv-copy-XXXXXX";
  int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = CopyData(in, out) && fchmod(out, (st.st_mode & 0777) | 0600) == 0;
  ok = close(out) == 0 && ok;
  close(in);
  ok = ok && (!digest_check || digest_check(TarvUtil::FromFsPath(temp)));
  if (ok && rename(temp.c_str(), to.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

bool RenameReplacing(const std::wstring& from, const std::wstring& to) {
  return rename(TarvUtil::FsPath(from).c_str(), TarvUtil::FsPath(to).c_str()) == 0;
}

}  // namespace TarvPatch
