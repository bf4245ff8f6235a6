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

bool CopyFileReplacing(const std::wstring& source, const std::wstring& target,
                       const std::wstring& temp_path,
                       const std::function<bool(const std::wstring& copy)>& digest_check) {
  TarvFile::ReplaceOptions options;
  if (!temp_path.empty()) {
    options.temp_path = TarvUtil::FsPath(temp_path);
    options.durable = false;
  }
  auto verify = [&](const std::string& copy) {
    return !digest_check || digest_check(TarvUtil::FromFsPath(copy));
  };
  return TarvFile::CopyRegularFile(TarvUtil::FsPath(source), TarvUtil::FsPath(target), nullptr,
                                   options, verify);
}

}  // namespace TarvPatch
