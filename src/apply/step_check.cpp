#include "apply/step_check.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "apply/apply_files.h"
#include "apply/file_patcher.h"
#include "apply/patch_path.h"
#include "crypto/md5.h"
#include "data/file_status.h"
#include "data/file_util.h"
#include "data/path_beneath.h"
#include "diag/system_log.h"
#include "diag/text_encoding.h"
#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatch {
namespace {

// Room kept free beyond what the step writes: file-system metadata, the
// journal's own files, and what the estimates of rebuilt files miss.
constexpr uint64_t kSpaceMargin = 16u << 20;
constexpr uint64_t kSpaceMarginPercent = 5;

// The files a step patches are digested by this many threads at most: more
// gain nothing on one disk.
constexpr size_t kMaxDigestThreads = 4;

uint64_t SizeOf(const std::wstring& path) {
  TarvFile::FileStatus st;
  if (!TarvFile::StatusOfEntry(TarvUtil::FsPath(path), &st)) return 0;
  return st.size;
}

// The state of one check: the plan grows as the entries are looked at.
class Checker {
 public:
  Checker(const std::wstring& install_dir, const std::wstring& project_dir, StepObserver& observer,
          CheckedStep* step)
      : m_install(install_dir),
        m_data(TarvUtil::JoinPath(project_dir, L"data")),
        m_observer(observer),
        m_step(step) {}

  bool Added(const PatchFileEntry& entry, PlannedEntry* planned);
  bool Deleted(const PatchFileEntry& entry, PlannedEntry* planned);
  bool Patched(const PatchFileEntry& entry, PlannedEntry* planned);
  bool ToolReady(bool needed);

 private:
  bool Inside(const PatchFileEntry& entry, EntryPath* path);
  bool Folders(const EntryPath& path);
  size_t Plan(StepChange::Kind kind, const std::string& rel);

  void Line(int level, const std::wstring& text) { m_observer.Line(level, text); }

  std::wstring m_install, m_data;
  StepObserver& m_observer;
  CheckedStep* m_step;
  std::set<std::string> m_planned_folders;
  std::wstring m_first_rebuilt;
};

bool Checker::Inside(const PatchFileEntry& entry, EntryPath* path) {
  *path = SplitEntryPath(entry.m_path);
  // The journal's folder is the step's own and never a game file.
  bool journal = (path->dirs.empty() ? path->name : path->dirs.front()) ==
                 TarvUtil::FromFsPath(kStepFolderName);
  if (!IsSafeEntryPath(*path) || journal) {
    Line(2, L"Refused a path that leaves the installation folder: " + entry.m_path);
    return false;
  }
  return NoLinkOnPath(m_install, RelativeFsPath(entry.m_path), entry.m_path, m_observer);
}

size_t Checker::Plan(StepChange::Kind kind, const std::string& rel) {
  m_step->plan.push_back({kind, rel});
  return m_step->plan.size() - 1;
}

// Plans the folders of `path` that are missing; false when one of them is
// taken by something that is not a folder.
bool Checker::Folders(const EntryPath& path) {
  std::wstring dir = m_install;
  std::string rel;
  for (const auto& part : path.dirs) {
    dir = TarvUtil::JoinPath(dir, part);
    rel += (rel.empty() ? "" : "/") + TarvUtil::FsPath(part);
    if (m_planned_folders.count(rel) || IsDirectory(dir)) continue;
    if (KindOfPath(dir) != FileKind::kMissing) {
      Line(2, L"Could not create the directory: " + dir);
      return false;
    }
    m_planned_folders.insert(rel);
    Plan(StepChange::Kind::kFolder, rel);
  }
  return true;
}

bool Checker::Added(const PatchFileEntry& entry, PlannedEntry* planned) {
  EntryPath path;
  if (!Inside(entry, &path)) return false;
  std::wstring source = JoinEntryPath(m_data, path);
  std::wstring target = JoinEntryPath(m_install, path);
  FileKind kind = KindOfPath(source);
  if (kind == FileKind::kMissing) {
    Line(2, L"Could not copy the file: " + source);
    return false;
  }
  if (kind != FileKind::kRegular) {
    Line(2, L"Refused a new file that is not a regular file: " + source);
    return false;
  }
  if (!Folders(path)) return false;
  FileKind existing = KindOfPath(target);
  if (existing == FileKind::kDirectory) {
    Line(2, L"Could not copy the file: " + source);
    return false;
  }
  m_step->bytes_needed += SizeOf(source);
  std::string rel = RelativeFsPath(entry.m_path);
  planned->change =
      Plan(existing == FileKind::kMissing ? StepChange::Kind::kNew : StepChange::Kind::kAside, rel);
  return true;
}

bool Checker::Deleted(const PatchFileEntry& entry, PlannedEntry* planned) {
  EntryPath path;
  if (!Inside(entry, &path)) return false;
  std::wstring target = JoinEntryPath(m_install, path);
  switch (KindOfPath(target)) {
    case FileKind::kMissing:
      planned->missing = true;
      return true;
    case FileKind::kDirectory:
      Line(2, L"Could not delete: " + target);
      return false;
    default:
      planned->change = Plan(StepChange::Kind::kAside, RelativeFsPath(entry.m_path));
      return true;
  }
}

bool Checker::Patched(const PatchFileEntry& entry, PlannedEntry* planned) {
  EntryPath path;
  if (!Inside(entry, &path)) return false;
  std::wstring target = JoinEntryPath(m_install, path);
  std::wstring diff = JoinEntryPath(m_data, path, L".diff");
  std::wstring digest;
  if (KindOfPath(target) != FileKind::kRegular || !m_step->digests.Digest(target, &digest)) {
    Line(2, L"Failed to compute the checksum for existing file: " + target);
    return false;
  }
  if (digest == entry.m_newDigest) {
    planned->already_new = true;
    return true;
  }
  if (digest != entry.m_oldDigest) {
    Line(2, L"Existing file is damaged and cannot be patched: " + target);
    return false;
  }
  FileKind diff_kind = KindOfPath(diff);
  if (diff_kind == FileKind::kMissing) {
    Line(2, entry.m_path + PatchToolExitText(3));
    return false;
  }
  if (diff_kind != FileKind::kRegular) {
    Line(2, L"Refused a difference file that is not a regular file: " + diff);
    return false;
  }
  // The rebuilt file sits beside the old one until the step is committed.
  m_step->bytes_needed += SizeOf(target) + SizeOf(diff);
  if (m_first_rebuilt.empty()) m_first_rebuilt = entry.m_path;
  planned->change = Plan(StepChange::Kind::kRebuilt, RelativeFsPath(entry.m_path));
  return true;
}

bool Checker::ToolReady(bool needed) {
  std::wstring tool = TarvUtil::JoinPath(m_install, L"Binaries/jpatchl-w32.exe");
  if (!needed || TarvFile::IsExecutable(TarvUtil::FsPath(tool))) return true;
  // The reason, as the line of a tool that could not be started gives it.
  const std::wstring reason = L" (" + TarvText::FromUtf8(strerror(errno)) + L")";
  EntryPath path = SplitEntryPath(m_first_rebuilt);
  std::wstring target = JoinEntryPath(m_install, path);
  Line(0, L"Failed patch Command: " +
              RenderPatchCommand(tool, target + L".bak", JoinEntryPath(m_data, path, L".diff"),
                                 target) +
              reason);
  Line(2, m_first_rebuilt);
  return false;
}

bool EnoughSpace(const std::wstring& install_dir, uint64_t needed, StepObserver& observer) {
  uint64_t free_bytes = 0;
  if (!TarvFile::FreeSpace(TarvUtil::FsPath(install_dir), &free_bytes)) return true;  // cannot tell
  uint64_t wanted = needed + needed / 100 * kSpaceMarginPercent + kSpaceMargin;
  if (wanted <= free_bytes) return true;
  SystemLogA("step: %llu bytes needed with margin, %llu free\n",
             static_cast<unsigned long long>(wanted), static_cast<unsigned long long>(free_bytes));
  observer.Line(2, TarvMessages::LoadMessage(TarvMessages::Id::kStepNoSpace) + install_dir);
  return false;
}

}  // namespace

bool DigestCache::Identify(const std::wstring& path, Known* known) {
  TarvFile::FileStatus st;
  if (!TarvFile::StatusOf(TarvUtil::FsPath(path), &st)) return false;
  known->dev = st.device;
  known->ino = st.inode;
  known->size = st.size;
  known->mtime_ns = st.mtime_ns;
  return true;
}

bool DigestCache::SameContent(const Known& a, const Known& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns;
}

bool DigestCache::Digest(const std::wstring& path, std::wstring* digest) {
  Known now;
  if (!Identify(path, &now)) return false;
  auto it = m_known.find(path);
  if (it != m_known.end() && SameContent(it->second, now)) {
    *digest = it->second.digest;
    return true;
  }
  if (!TarvCrypto::ComputeFileMD5(path, now.digest)) return false;
  *digest = now.digest;
  m_known[path] = now;
  return true;
}

void DigestCache::Prefetch(const std::vector<std::wstring>& paths) {
  const size_t threads = std::min<size_t>(
      {std::max(1u, std::thread::hardware_concurrency()), kMaxDigestThreads, paths.size()});
  if (threads < 2) return;  // one file or one core: Digest reads it in turn
  std::vector<Known> found(paths.size());
  std::vector<char> ok(paths.size(), 0);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < paths.size();) {
      // Kept only when the file did not change while it was read.
      Known after;
      ok[i] = Identify(paths[i], &found[i]) &&
              TarvCrypto::ComputeFileMD5(paths[i], found[i].digest) && Identify(paths[i], &after) &&
              SameContent(found[i], after);
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& thread : pool) thread.join();
  for (size_t i = 0; i < paths.size(); ++i) {
    if (ok[i]) m_known[paths[i]] = std::move(found[i]);
  }
}

bool NoLinkOnPath(const std::wstring& install_dir, const std::string& rel,
                  const std::wstring& shown, StepObserver& observer) {
  std::string met;
  if (TarvFile::WalkBeneath(TarvUtil::FsPath(install_dir), rel, &met) != TarvFile::Beneath::kLink) {
    return true;
  }
  SystemLogA("step: %s is a link inside %s\n", met.c_str(), TarvUtil::FsPath(install_dir).c_str());
  observer.Line(2, TarvMessages::LoadMessage(TarvMessages::Id::kStepLinkRefused) + shown);
  return false;
}

std::string RelativeFsPath(const std::wstring& entry_path) {
  EntryPath path = SplitEntryPath(entry_path);
  std::string rel;
  for (const auto& dir : path.dirs) rel += TarvUtil::FsPath(dir) + "/";
  return rel + TarvUtil::FsPath(path.name);
}

bool CheckStep(const std::wstring& install_dir, const std::wstring& project_dir,
               const PatchFileList& added, const PatchFileList& deleted,
               const PatchFileList& patched, uint64_t reserve, StepObserver& observer,
               CheckedStep* step) {
  Checker checker(install_dir, project_dir, observer, step);
  bool ok = true;
  step->added.assign(added.size(), {});
  step->deleted.assign(deleted.size(), {});
  step->patched.assign(patched.size(), {});
  for (size_t i = 0; i < added.size(); ++i) {
    if (!checker.Added(added[i], &step->added[i])) {
      observer.Line(0, L"Failed adding: " + added[i].m_path + L"...");
      ok = false;
    }
  }
  for (size_t i = 0; i < deleted.size(); ++i)
    ok = checker.Deleted(deleted[i], &step->deleted[i]) && ok;
  std::vector<std::wstring> to_digest;
  for (const auto& entry : patched) {
    EntryPath path = SplitEntryPath(entry.m_path);
    // Only what the check accepts is read ahead: nothing through a link.
    if (IsSafeEntryPath(path) &&
        TarvFile::WalkBeneath(TarvUtil::FsPath(install_dir), RelativeFsPath(entry.m_path)) ==
            TarvFile::Beneath::kInside) {
      to_digest.push_back(JoinEntryPath(install_dir, path));
    }
  }
  step->digests.Prefetch(to_digest);
  bool rebuilds = false;
  for (size_t i = 0; i < patched.size(); ++i) {
    ok = checker.Patched(patched[i], &step->patched[i]) && ok;
    rebuilds = rebuilds || step->patched[i].change != PlannedEntry::kNoChange;
  }
  ok = ok && checker.ToolReady(rebuilds);
  return ok && EnoughSpace(install_dir, step->bytes_needed + reserve, observer);
}

}  // namespace TarvPatch
