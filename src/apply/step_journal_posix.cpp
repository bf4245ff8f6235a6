// The step journal on Linux. The order of flushes and renames is the one
// docs/architecture.md describes ("The journal of a patch step"): the plan
// is durable before the first change; no change is flushed on its own; one
// syncfs makes all of them durable before the commit mark is written.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "apply/step_journal.h"
#include "data/file_io.h"

namespace TarvPatch {
namespace {

constexpr char kPlanName[] = "plan";
constexpr char kPlanTempName[] = "plan.new";
constexpr char kCommitName[] = "committed";
// The commit mark's text when the step has a finishing action still owed.
constexpr char kFinishOwed[] = "finish\n";
constexpr char kHeader[] = "tarv-step 1";

bool Fail(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + strerror(errno);
  return false;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

char KindLetter(StepChange::Kind kind) {
  switch (kind) {
    case StepChange::Kind::kFolder:
      return 'F';
    case StepChange::Kind::kAside:
      return 'A';
    case StepChange::Kind::kRebuilt:
      return 'R';
    case StepChange::Kind::kKeep:
      return 'K';
    case StepChange::Kind::kNew:
      return 'N';
  }
  return '?';
}

bool KindOfLetter(char letter, StepChange::Kind* kind) {
  switch (letter) {
    case 'F':
      *kind = StepChange::Kind::kFolder;
      return true;
    case 'A':
      *kind = StepChange::Kind::kAside;
      return true;
    case 'R':
      *kind = StepChange::Kind::kRebuilt;
      return true;
    case 'K':
      *kind = StepChange::Kind::kKeep;
      return true;
    case 'N':
      *kind = StepChange::Kind::kNew;
      return true;
    default:
      return false;
  }
}

std::string RenderPlan(const std::vector<StepChange>& plan, const std::string& from,
                       const std::string& to) {
  std::string text = std::string(kHeader) + "\nfrom\t" + from + "\nto\t" + to + "\n";
  for (const auto& change : plan)
    text += std::string(1, KindLetter(change.kind)) + "\t" + change.path + "\n";
  return text;
}

// Reads a plan written by RenderPlan. False when it does not hold together.
bool ParsePlan(const std::string& text, std::vector<StepChange>* plan, std::string* from,
               std::string* to) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return false;
  if (!std::getline(in, line) || line.rfind("from\t", 0) != 0) return false;
  *from = line.substr(5);
  if (!std::getline(in, line) || line.rfind("to\t", 0) != 0) return false;
  *to = line.substr(3);
  while (std::getline(in, line)) {
    StepChange change;
    if (line.size() < 3 || line[1] != '\t' || !KindOfLetter(line[0], &change.kind)) return false;
    change.path = line.substr(2);
    if (change.path.empty() || change.path[0] == '/' ||
        change.path.find("..") != std::string::npos) {
      return false;
    }
    plan->push_back(std::move(change));
  }
  return true;
}

bool SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool WriteDurably(const std::string& folder, const std::string& text, std::string* error) {
  std::string temp = folder + "/" + kPlanTempName, final_path = folder + "/" + kPlanName;
  TarvFile::ReplaceOptions options;
  options.mode = 0600;
  options.temp_path = temp;
  // Flushed, renamed into place and its folder flushed: the plan is durable
  // before the first change it describes.
  if (TarvFile::ReplaceFile(final_path, text, options, error)) return true;
  return false;
}

// Removes every entry of the journal folder (no subfolders are made there),
// the plan first so that a cut during the removal leaves no plan without its
// moved-aside files.
bool EmptyFolder(const std::string& folder, std::string* error) {
  std::string plan = folder + "/" + kPlanName;
  if (!TarvFile::Unlink(plan) && errno != ENOENT) return Fail(error, "removing " + plan);
  if (!SyncPath(folder, O_RDONLY | O_DIRECTORY)) return Fail(error, "flushing " + folder);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return Fail(error, "reading " + folder);
  bool ok = true;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = folder;
    path.append("/").append(name);
    if (!TarvFile::Unlink(path) && errno != ENOENT) ok = Fail(error, "removing " + path);
  }
  closedir(dir);
  return ok;
}

// A plan names every entry of a step once; no real one comes near this.
constexpr uint64_t kPlanLimit = 256ull << 20;

bool ReadWhole(const std::string& path, std::string* text) {
  return TarvFile::ReadWholeFile(path, kPlanLimit, text) == TarvFile::ReadResult::kOk;
}

}  // namespace

StepJournal::~StepJournal() {
  if (m_dir_fd >= 0) close(m_dir_fd);
}

bool StepJournal::Lock(const std::string& install_dir, std::string* error) {
  m_install = install_dir;
  m_folder = install_dir + "/" + kStepFolderName;
  if (mkdir(m_folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return Fail(error, "creating " + m_folder);
  }
  m_dir_fd = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (m_dir_fd < 0) return Fail(error, "opening " + m_folder);
  if (flock(m_dir_fd, LOCK_EX | LOCK_NB) != 0) {
    Fail(error, "locking " + m_folder);
    close(m_dir_fd);
    m_dir_fd = -1;
    return false;
  }
  // Another process may have removed the folder between our mkdir and lock.
  struct stat held, named;
  if (fstat(m_dir_fd, &held) != 0 || stat(m_folder.c_str(), &named) != 0 ||
      held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
    close(m_dir_fd);
    m_dir_fd = -1;
    errno = EAGAIN;
    return Fail(error, "locking " + m_folder);
  }
  return true;
}

bool StepJournal::Begin(const std::string& install_dir, const std::vector<StepChange>& plan,
                        const std::string& from, const std::string& to, std::string* error) {
  if (!Lock(install_dir, error)) return false;
  if (BeginLocked(plan, from, to, error)) return true;
  // Nothing of the installation has changed yet; the journal goes again
  // (or stays for the next start when even that fails).
  std::string ignored;
  Undo(&ignored);
  return false;
}

bool StepJournal::BeginLocked(const std::vector<StepChange>& plan, const std::string& from,
                              const std::string& to, std::string* error) {
  const std::string& install_dir = m_install;
  if (Exists(m_folder + "/" + kPlanName)) {
    errno = EEXIST;
    Fail(error, "an unfinished step in " + m_folder);
    close(m_dir_fd);  // left for the recovery, not undone here
    m_dir_fd = -1;
    return false;
  }
  m_plan = plan;
  m_from = from;
  m_to = to;
  // The folder itself must survive a cut before anything relies on it.
  if (!SyncPath(install_dir, O_RDONLY | O_DIRECTORY)) return Fail(error, "flushing " + install_dir);
  if (!WriteDurably(m_folder, RenderPlan(plan, from, to), error)) return false;
  for (size_t i = 0; i < m_plan.size(); ++i) {
    if (m_plan[i].kind != StepChange::Kind::kKeep) continue;
    std::string original = m_install + "/" + m_plan[i].path;
    if (link(original.c_str(), AsidePath(i).c_str()) != 0 && errno != ENOENT) {
      return Fail(error, "keeping " + original);
    }
  }
  return true;
}

std::string StepJournal::AsidePath(size_t index) const {
  return m_folder + "/" + std::to_string(index);
}

std::string StepJournal::TempPath() { return m_folder + "/t" + std::to_string(m_temps++); }

bool StepJournal::MoveAside(size_t index, std::string* error) {
  std::string original = m_install + "/" + m_plan[index].path;
  if (TarvFile::Rename(original, AsidePath(index))) return true;
  return Fail(error, "moving aside " + original);
}

bool StepJournal::Commit(const Finish& finish, std::string* error) {
  if (syncfs(m_dir_fd) != 0) return Fail(error, "flushing the file system of " + m_install);
  // The mark appears whole (written aside, flushed, renamed, folder
  // flushed): a mark that exists always says whether the finish is owed.
  std::string mark = m_folder + "/" + kCommitName;
  TarvFile::ReplaceOptions options;
  options.mode = 0600;
  if (!TarvFile::ReplaceFile(mark, finish ? kFinishOwed : "", options, error)) return false;
  // Done for good from here; what is left, the finishing action included, is
  // finished at the next start when this run ends before the journal goes.
  if (finish) finish();
  std::string ignored;
  Drop(&ignored);
  return true;
}

bool StepJournal::UndoPlan(std::string* error) {
  bool ok = true;
  for (size_t i = m_plan.size(); i-- > 0;) {
    const StepChange& change = m_plan[i];
    std::string path = m_install + "/" + change.path;
    switch (change.kind) {
      case StepChange::Kind::kFolder:
        if (rmdir(path.c_str()) != 0 && errno != ENOENT) ok = Fail(error, "removing " + path);
        break;
      case StepChange::Kind::kNew:
        if (!TarvFile::Unlink(path) && errno != ENOENT) ok = Fail(error, "removing " + path);
        break;
      case StepChange::Kind::kRebuilt:
        if (!TarvFile::Unlink(path + ".part") && errno != ENOENT) {
          ok = Fail(error, "removing " + path + ".part");
        }
        [[fallthrough]];
      case StepChange::Kind::kAside:
      case StepChange::Kind::kKeep:
        if (Exists(AsidePath(i)) && !TarvFile::Rename(AsidePath(i), path)) {
          ok = Fail(error, "putting back " + path);
        }
        break;
    }
  }
  return ok;
}

bool StepJournal::Undo(std::string* error) {
  // A commit that failed after its mark was renamed into place: the mark
  // goes first, so that a run killed during the undo is undone again at the
  // next start, not completed from a half-undone installation.
  const std::string mark = m_folder + "/" + kCommitName;
  if (Exists(mark) && (!TarvFile::Unlink(mark) || !SyncPath(m_folder, O_RDONLY | O_DIRECTORY))) {
    return Fail(error, "removing " + mark);
  }
  if (!UndoPlan(error)) return false;
  if (syncfs(m_dir_fd) != 0) return Fail(error, "flushing the file system of " + m_install);
  return Drop(error);
}

bool StepJournal::Drop(std::string* error) {
  if (!EmptyFolder(m_folder, error)) return false;
  if (rmdir(m_folder.c_str()) != 0) return Fail(error, "removing " + m_folder);
  close(m_dir_fd);
  m_dir_fd = -1;
  return true;
}

// Recovery reads the journal into a StepJournal and finishes it.
class StepRecovery {
 public:
  static RecoveryOutcome Run(const std::string& install_dir, const StepJournal::Finish& finish,
                             std::string* version, std::string* error) {
    if (!Exists(install_dir + "/" + kStepFolderName)) return RecoveryOutcome::kNothing;
    StepJournal journal;
    if (!journal.Lock(install_dir, error)) {
      return errno == EWOULDBLOCK ? RecoveryOutcome::kBusy : RecoveryOutcome::kFailed;
    }
    std::string text;
    if (!Exists(journal.m_folder + "/" + kPlanName)) {
      // Ended before the plan was durable: nothing was changed.
      return journal.Drop(error) ? RecoveryOutcome::kNothing : RecoveryOutcome::kFailed;
    }
    if (!ReadWhole(journal.m_folder + "/" + kPlanName, &text) ||
        !ParsePlan(text, &journal.m_plan, &journal.m_from, &journal.m_to)) {
      if (error) *error = "the plan in " + journal.m_folder + " cannot be read";
      return RecoveryOutcome::kFailed;
    }
    const std::string mark = journal.m_folder + "/" + kCommitName;
    if (Exists(mark)) {
      *version = journal.m_to;
      std::string owed;
      if (finish && ReadWhole(mark, &owed) && owed == kFinishOwed) finish();
      return journal.Drop(error) ? RecoveryOutcome::kCompleted : RecoveryOutcome::kFailed;
    }
    *version = journal.m_from;
    return journal.Undo(error) ? RecoveryOutcome::kUndone : RecoveryOutcome::kFailed;
  }
};

RecoveryOutcome RecoverStep(const std::string& install_dir, const StepJournal::Finish& finish,
                            std::string* version, std::string* error) {
  return StepRecovery::Run(install_dir, finish, version, error);
}

}  // namespace TarvPatch
