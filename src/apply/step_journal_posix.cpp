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
#include "data/path_beneath.h"

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

bool IsEmptyFolder(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
  }
  closedir(dir);
  return empty;
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
  if (!TakeOverLeftovers(error)) {
    // Another run's journal: only the recovery, which reads its commit
    // mark, may finish it; a step must not undo what it did not plan.
    close(m_dir_fd);
    m_dir_fd = -1;
    return false;
  }
  if (BeginLocked(plan, from, to, error)) return true;
  // Nothing of the installation has changed yet; the journal goes again
  // (or stays for the next start when even that fails).
  std::string ignored;
  Undo(&ignored);
  return false;
}

bool StepJournal::TakeOverLeftovers(std::string* error) {
  if (Exists(m_folder + "/" + kPlanName)) {
    errno = EEXIST;
    return Fail(error, "an unfinished step in " + m_folder);
  }
  // Without a plan nothing of the installation was changed, or the step
  // was committed and its journal was being dropped: what is left (a
  // commit mark among it) goes, as the recovery would drop it, so that no
  // stale mark can stand beside this step's plan.
  return IsEmptyFolder(m_folder) || EmptyFolder(m_folder, error);
}

bool StepJournal::BeginLocked(const std::vector<StepChange>& plan, const std::string& from,
                              const std::string& to, std::string* error) {
  const std::string& install_dir = m_install;
  m_plan = plan;
  m_from = from;
  m_to = to;
  // The folder itself must survive a cut before anything relies on it.
  if (!SyncPath(install_dir, O_RDONLY | O_DIRECTORY)) return Fail(error, "flushing " + install_dir);
  if (!WriteDurably(m_folder, RenderPlan(plan, from, to), error)) return false;
  for (size_t i = 0; i < m_plan.size(); ++i) {
    if (m_plan[i].kind == StepChange::Kind::kKeep && !Keep(i, error)) return false;
  }
  return true;
}

bool StepJournal::Keep(size_t index, std::string* error) {
  const std::string original = m_install + "/" + m_plan[index].path;
  if (TarvFile::Link(original, AsidePath(index)) || errno == ENOENT) return true;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != EXDEV && errno != EMLINK) {
    return Fail(error, "keeping " + original);
  }
  // A file system without hard links (FAT, exFAT): a whole copy, flushed
  // with its folder before the caller rewrites the original.
  TarvFile::ReplaceOptions options;
  options.temp_path = TempPath();
  std::string why;
  if (TarvFile::CopyRegularFile(original, AsidePath(index), &why, options) || errno == ENOENT) {
    return true;
  }
  if (error) *error = "keeping a copy of " + original + ": " + why;
  return false;
}

std::string StepJournal::AsidePath(size_t index) const {
  return m_folder + "/" + std::to_string(index);
}

std::string StepJournal::TempPath() { return m_folder + "/t" + std::to_string(m_temps++); }

bool StepJournal::MoveAside(size_t index, std::string* error) {
  const std::string& rel = m_plan[index].path;
  const std::string original = m_install + "/" + rel;
  // Its folder is reached without following a link, so a link planted on
  // the way never moves a file from outside the installation.
  int folder = TarvFile::OpenFolderBeneath(m_install, TarvFile::ParentOf(rel));
  if (folder < 0) return Fail(error, "moving aside " + original);
  bool moved =
      TarvFile::RenameAt(folder, TarvFile::LastComponentOf(rel), m_dir_fd, std::to_string(index));
  if (!moved) Fail(error, "moving aside " + original);
  close(folder);
  return moved;
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

// One change undone inside `folder`, the descriptor of the change's folder
// reached without following links: an undo never removes or puts back a
// file outside the installation, even when a link was planted meanwhile.
bool StepJournal::UndoChange(size_t index, int folder, std::string* error) {
  const StepChange& change = m_plan[index];
  const std::string path = m_install + "/" + change.path;
  const std::string name = TarvFile::LastComponentOf(change.path);
  switch (change.kind) {
    case StepChange::Kind::kFolder:
      if (unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        return Fail(error, "removing " + path);
      }
      return true;
    case StepChange::Kind::kNew:
      if (!TarvFile::UnlinkAt(folder, name) && errno != ENOENT) {
        return Fail(error, "removing " + path);
      }
      return true;
    case StepChange::Kind::kRebuilt:
      if (!TarvFile::UnlinkAt(folder, name + ".part") && errno != ENOENT) {
        return Fail(error, "removing " + path + ".part");
      }
      [[fallthrough]];
    case StepChange::Kind::kAside:
    case StepChange::Kind::kKeep:
      if (Exists(AsidePath(index)) &&
          !TarvFile::RenameAt(m_dir_fd, std::to_string(index), folder, name)) {
        return Fail(error, "putting back " + path);
      }
      return true;
  }
  return true;
}

bool StepJournal::UndoPlan(std::string* error) {
  bool ok = true;
  for (size_t i = m_plan.size(); i-- > 0;) {
    int folder = TarvFile::OpenFolderBeneath(m_install, TarvFile::ParentOf(m_plan[i].path));
    if (folder < 0) {
      // Nothing to do where the old file never left (a file moved aside
      // is always moved before it is rebuilt), nor where no folder is (the
      // step's own folder, gone already). Anything else waits for the next
      // try: a link there is never followed.
      const bool aside_kind = m_plan[i].kind == StepChange::Kind::kAside ||
                              m_plan[i].kind == StepChange::Kind::kKeep ||
                              m_plan[i].kind == StepChange::Kind::kRebuilt;
      if ((aside_kind || errno == ENOENT) && !Exists(AsidePath(i))) continue;
      ok = Fail(error, "reaching the folder of " + m_install + "/" + m_plan[i].path);
      continue;
    }
    ok = UndoChange(i, folder, error) && ok;
    close(folder);
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
