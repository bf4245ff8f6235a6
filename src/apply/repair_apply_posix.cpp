#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "apply/repair_apply.h"
#include "apply/step_journal.h"
#include "data/file_io.h"
#include "data/file_util.h"
#include "data/path_beneath.h"

namespace TarvPatch {
namespace {

constexpr char kStagingPrefix[] = ".tarv-repair-";

std::string Under(const std::string& base, const std::string& rel) {
  std::string out = base;
  out += '/';
  out += rel;
  return out;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// False, naming the link, when a component of `rel` is a link: a repaired
// file is never written, nor an installed one moved, through a link.
bool NoLinkOn(const std::string& install, const std::string& rel, std::string* error) {
  std::string met;
  if (TarvFile::WalkBeneath(install, rel, &met) != TarvFile::Beneath::kLink) return true;
  *error = install + "/" + met + ": a link inside the installation, not followed (" + rel + ")";
  return false;
}

// Renames the checked copy to `rel`, its folder reached without following
// links.
bool PlaceCopy(const std::string& staged, const std::string& install, const std::string& rel) {
  int folder = TarvFile::OpenFolderBeneath(install, TarvFile::ParentOf(rel));
  int from = TarvFile::OpenFolderBeneath(TarvFile::FolderOf(staged), "");
  bool ok = folder >= 0 && from >= 0 &&
            TarvFile::RenameAt(from, TarvFile::LastComponentOf(staged), folder,
                               TarvFile::LastComponentOf(rel));
  const int err = errno;
  if (folder >= 0) close(folder);
  if (from >= 0) close(from);
  errno = err;
  return ok;
}

// The plan of the step: for each file its missing folders (outermost
// first, each once), then the file itself, moved aside when present. False
// when something other than a folder stands where a folder must be: the
// step could not be made, so it is refused before it begins.
bool PlanOf(const std::string& install, const std::vector<std::string>& rels,
            std::vector<StepChange>* plan, std::string* error) {
  std::set<std::string> folders;
  for (const std::string& rel : rels) {
    if (!NoLinkOn(install, rel, error)) return false;
    for (size_t slash = rel.find('/'); slash != std::string::npos;
         slash = rel.find('/', slash + 1)) {
      std::string dir = rel.substr(0, slash);
      struct stat st;
      const std::string full = Under(install, dir);
      if (lstat(full.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
          *error = full + ": not a folder";
          return false;
        }
      } else if (folders.insert(dir).second) {
        plan->push_back({StepChange::Kind::kFolder, dir});
      }
    }
    const bool present = Exists(Under(install, rel));
    plan->push_back({present ? StepChange::Kind::kAside : StepChange::Kind::kNew, rel});
  }
  return true;
}

// Makes the changes of the plan; `staged` holds the copy for each file
// entry in plan order.
bool Carry(StepJournal& journal, const std::string& install, const std::vector<StepChange>& plan,
           const std::vector<std::string>& staged, std::string* error) {
  size_t file = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    const std::string path = install + "/" + plan[i].path;
    // Looked at again just before the change: a link planted since the
    // plan stops the step, which is then undone.
    if (!NoLinkOn(install, plan[i].path, error)) return false;
    if (plan[i].kind == StepChange::Kind::kFolder) {
      if (mkdir(path.c_str(), 0755) != 0) {
        *error = path + ": " + strerror(errno);
        return false;
      }
      continue;
    }
    if (plan[i].kind == StepChange::Kind::kAside && !journal.MoveAside(i, error)) return false;
    if (!PlaceCopy(staged[file++], install, plan[i].path)) {
      *error = path + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

bool JournalRepairApplier::Apply(const std::vector<RepairFile>& files, std::string* error) {
  const std::string install = TarvUtil::FsPath(m_install);
  std::vector<std::string> rels, staged;
  for (const RepairFile& f : files) {
    std::string target = TarvUtil::FsPath(f.target);
    if (target.compare(0, install.size() + 1, install + "/") != 0) {
      *error = target + ": outside the installation";
      return false;
    }
    rels.push_back(target.substr(install.size() + 1));
    staged.push_back(TarvUtil::FsPath(f.staged));
  }
  std::vector<StepChange> plan;
  if (!PlanOf(install, rels, &plan, error)) return false;
  const std::string version = TarvUtil::ToNarrow(m_version);
  StepJournal journal;
  if (!journal.Begin(install, plan, version, version, error)) return false;
  if (Carry(journal, install, plan, staged, error) && journal.Commit({}, error)) return true;
  std::string undo_error;
  if (!journal.Undo(&undo_error)) *error += "; not undone: " + undo_error;
  return false;
}

bool MakeRepairStaging(const std::wstring& install_dir, std::wstring* folder) {
  const std::string install = TarvUtil::FsPath(install_dir);
  if (DIR* dir = opendir(install.c_str())) {
    std::vector<std::string> stale;
    while (const dirent* e = readdir(dir)) {
      if (strncmp(e->d_name, kStagingPrefix, strlen(kStagingPrefix)) == 0) {
        stale.push_back(install + "/" + e->d_name);
      }
    }
    closedir(dir);
    for (const std::string& s : stale) TarvUtil::DeleteDirectoryTree(TarvUtil::FromFsPath(s));
  }
  std::string templ = install + "/" + kStagingPrefix + "XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) return false;
  *folder = TarvUtil::FromFsPath(templ);
  return true;
}

bool IsPatcherWorkName(const std::string& name) { return name.rfind(".tarv-", 0) == 0; }

}  // namespace TarvPatch
