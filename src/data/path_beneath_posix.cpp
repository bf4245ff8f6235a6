// The walk below a folder on Linux: openat(O_NOFOLLOW|O_DIRECTORY) from one
// folder descriptor to the next, fstatat(AT_SYMLINK_NOFOLLOW) for what each
// name is, so no link is followed whatever the components hold.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "data/file_faults.h"
#include "data/path_beneath.h"

namespace TarvFile {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    if (slash > start) parts.push_back(relative.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string Joined(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += (i ? "/" : "") + parts[i];
  return out;
}

void CloseKeepingErrno(int fd) {
  const int err = errno;
  close(fd);
  errno = err;
}

// Opens the folder `name` inside `dir`; Linux answers ENOTDIR for a link
// opened with O_DIRECTORY|O_NOFOLLOW, so a link is told apart as ELOOP.
int OpenChild(int dir, const std::string& name) {
  int fd = openat(dir, name.c_str(), kFolderFlags);
  struct stat st;
  if (fd < 0 && errno == ENOTDIR && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    errno = ELOOP;
  }
  return fd;
}

}  // namespace

Beneath WalkBeneath(const std::string& root, const std::string& relative, std::string* met) {
  const std::vector<std::string> parts = Components(relative);
  int fd = open(root.c_str(), kFolderFlags & ~O_NOFOLLOW);
  if (fd < 0) return Beneath::kFailed;
  Beneath result = Beneath::kInside;
  for (size_t i = 0; i < parts.size(); ++i) {
    struct stat st;
    if (fstatat(fd, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) result = Beneath::kFailed;
      break;  // missing: nothing below it can be a link
    }
    const bool last = i + 1 == parts.size();
    if (S_ISLNK(st.st_mode) || (!last && !S_ISDIR(st.st_mode))) {
      result = S_ISLNK(st.st_mode) ? Beneath::kLink : Beneath::kNotFolder;
      if (met) *met = Joined(parts, i + 1);
      break;
    }
    if (last) break;
    int next = OpenChild(fd, parts[i]);
    if (next < 0) {
      // Replaced by a link since the look: a link all the same.
      result = errno == ELOOP ? Beneath::kLink : Beneath::kFailed;
      if (met && result == Beneath::kLink) *met = Joined(parts, i + 1);
      break;
    }
    close(fd);
    fd = next;
  }
  CloseKeepingErrno(fd);
  return result;
}

int OpenFolderBeneath(const std::string& root, const std::string& relative) {
  int fd = open(root.c_str(), kFolderFlags & ~O_NOFOLLOW);
  for (const std::string& part : Components(relative)) {
    if (fd < 0) return -1;
    int next = OpenChild(fd, part);
    CloseKeepingErrno(fd);
    fd = next;
  }
  return fd;
}

bool RenameAt(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name) {
  return PassesFaultSeam(Call::kRename) &&
         renameat(from_dir, from_name.c_str(), to_dir, to_name.c_str()) == 0;
}

bool UnlinkAt(int dir, const std::string& name) {
  return PassesFaultSeam(Call::kUnlink) && unlinkat(dir, name.c_str(), 0) == 0;
}

std::string ParentOf(const std::string& relative) {
  size_t slash = relative.rfind('/');
  return slash == std::string::npos ? "" : relative.substr(0, slash);
}

std::string LastComponentOf(const std::string& relative) {
  size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

int OpenFolder(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

int DuplicateHandle(int fd) { return dup(fd); }

bool IsLinkIn(int dir, const std::string& name) {
  struct stat st;
  return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool MakeFolderIn(int dir, const std::string& name) {
  return mkdirat(dir, name.c_str(), 0755) == 0;
}

int OpenFolderIn(int dir, const std::string& name) {
  return openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int CreateFileIn(int dir, const std::string& name) {
  return openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

bool RenameIn(int dir, const std::string& from, const std::string& to) {
  return renameat(dir, from.c_str(), dir, to.c_str()) == 0;
}

bool RemoveFileIn(int dir, const std::string& name) { return unlinkat(dir, name.c_str(), 0) == 0; }

}  // namespace TarvFile
