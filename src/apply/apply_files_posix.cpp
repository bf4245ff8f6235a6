#include <sys/stat.h>

#include "apply/apply_files.h"
#include "data/file_io.h"
#include "data/file_util.h"

namespace TarvPatch {

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

bool CopyFileReplacing(const std::wstring& source, const std::wstring& target) {
  return TarvFile::CopyRegularFile(TarvUtil::FsPath(source), TarvUtil::FsPath(target));
}

bool RenameReplacing(const std::wstring& from, const std::wstring& to) {
  return TarvFile::Rename(TarvUtil::FsPath(from), TarvUtil::FsPath(to));
}

}  // namespace TarvPatch
