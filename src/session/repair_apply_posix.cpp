#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "data/file_util.h"
#include "session/repair_apply.h"

namespace TarvPatch {
namespace {

// How far one file got, so that undoing it reverses exactly that.
struct Done {
  std::string staged, target, backup;  // backup empty when nothing was there
  bool moved_aside = false, placed = false;
  std::vector<std::string> made_dirs;  // outermost first
};

// Makes the missing folders above `path`, recording each one made.
bool MakeParents(const std::string& path, std::vector<std::string>* made) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) == 0) {
      made->push_back(dir);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return true;
}

void Undo(const Done& d) {
  if (d.placed && rename(d.target.c_str(), d.staged.c_str()) != 0) return;
  if (d.moved_aside) rename(d.backup.c_str(), d.target.c_str());
  for (auto it = d.made_dirs.rbegin(); it != d.made_dirs.rend(); ++it) rmdir(it->c_str());
}

bool PutInPlace(Done* d) {
  struct stat st;
  if (lstat(d->target.c_str(), &st) == 0) {
    d->backup = d->staged + ".old";
    if (rename(d->target.c_str(), d->backup.c_str()) != 0) return false;
    d->moved_aside = true;
  }
  if (!MakeParents(d->target, &d->made_dirs)) return false;
  if (rename(d->staged.c_str(), d->target.c_str()) != 0) return false;
  d->placed = true;
  return true;
}

}  // namespace

bool RenameRepairApplier::Apply(const std::vector<RepairFile>& files, std::string* error) {
  std::vector<Done> done;
  for (const RepairFile& f : files) {
    Done d;
    d.staged = TarvUtil::FsPath(f.staged);
    d.target = TarvUtil::FsPath(f.target);
    if (!PutInPlace(&d)) {
      *error = d.target + ": " + strerror(errno);
      Undo(d);
      for (auto it = done.rbegin(); it != done.rend(); ++it) Undo(*it);
      return false;
    }
    done.push_back(std::move(d));
  }
  return true;
}

bool MakeRepairStaging(const std::wstring& install_dir, std::wstring* folder) {
  std::string templ = TarvUtil::FsPath(install_dir) + "/.tarv-repair-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) return false;
  *folder = TarvUtil::FromFsPath(templ);
  return true;
}

bool IsPatcherWorkName(const std::string& name) { return name.rfind(".tarv-", 0) == 0; }

}  // namespace TarvPatch
