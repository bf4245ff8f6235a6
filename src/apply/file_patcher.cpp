#include "apply/file_patcher.h"

#include <cstdio>
#include <cstring>

#include "apply/patch_path.h"
#include "crypto/md5.h"
#include "data/file_status.h"
#include "data/file_util.h"
#include "diag/text_encoding.h"
#include "os/exit_cleanup.h"
#include "os/pipe.h"
#include "os/process.h"

namespace TarvPatch {
namespace {

// The difference tool is waited for in slices this long; between slices the
// cancel query is asked, so that a cancel or a closed window ends the tool.
constexpr int kToolSliceMs = 100;

struct FilePaths {
  std::wstring target, backup, diff, tool;
};

FilePaths PathsFor(const EntryPath& path, const std::wstring& install_dir,
                   const std::wstring& project_dir) {
  FilePaths p;
  p.target = JoinEntryPath(install_dir, path);
  p.diff = JoinEntryPath(TarvUtil::JoinPath(project_dir, L"data"), path, L".diff");
  p.tool = TarvUtil::JoinPath(install_dir, L"Binaries/jpatchl-w32.exe");
  return p;
}

// How a run of the difference tool ended.
struct ToolRun {
  enum class End { kNotStarted, kExited, kSignalled, kCancelled } end = End::kNotStarted;
  int code = -1;            // the exit status for kExited, the signal for kSignalled
  std::string error;        // why it could not start
  std::string digest_line;  // what the tool said of the file it wrote, if anything
};

// Our tool takes the digest of the file as it writes it and says so on a
// pipe of ours; the line also names the file it belongs to (size, device,
// inode, modification time), so a file changed or replaced since is read
// again. A tool that says nothing, or a line that does not fit the file,
// leaves the digest to be computed here, as for any other tool.
bool DigestFromTool(const std::string& line, const std::wstring& target, std::wstring* digest) {
  char hex[33];
  long long size = 0, mtime_ns = 0;
  unsigned long long dev = 0, ino = 0;
  char end = 0;
  if (sscanf(line.c_str(), "%32[0-9a-f] %lld %llu %llu %lld%c", hex, &size, &dev, &ino, &mtime_ns,
             &end) != 6 ||
      end != '\n' || strlen(hex) != 32) {
    return false;
  }
  TarvFile::FileStatus st;
  if (!TarvFile::StatusOfEntry(TarvUtil::FsPath(target), &st) ||
      st.type != TarvFile::FileType::kRegular || st.size != static_cast<uint64_t>(size) ||
      st.device != dev || st.inode != ino || st.mtime_ns != mtime_ns) {
    return false;
  }
  *digest = TarvText::FromUtf8(hex);
  return true;
}

// The most of the digest pipe that is read: a line is far shorter.
constexpr size_t kDigestLineLimit = 1024;

// Runs the tool, asking the observer between slices of the wait whether to
// stop; a cancelled or lost tool is killed before this returns.
ToolRun RunTool(const FilePaths& p, StepObserver& observer) {
  ToolRun run;
  OS::Process tool;
  std::vector<std::string> argv = {TarvUtil::FsPath(p.tool), TarvUtil::FsPath(p.backup),
                                   TarvUtil::FsPath(p.diff), TarvUtil::FsPath(p.target)};
  OS::Pipe digest_pipe;
  std::vector<std::string> env;
  const bool piped = digest_pipe.Open();
  if (piped) {
    tool.PassDescriptor(digest_pipe.WriteEnd());
    env.push_back("TARV_DIGEST_FD=3");
  }
  const bool started = tool.Start(argv, &run.error, "", env);
  digest_pipe.CloseWriteEnd();
  if (!started) return run;
  // Should the process end meanwhile, the tool goes with it, never orphaned.
  const OS::ProcessId pid = tool.Pid();
  OS::ExitCleanup stop([pid] { OS::KillProcess(pid); });
  bool cancelled = false;
  OS::Process::WaitResult waited = tool.WaitInSlices(kToolSliceMs, [&] {
    cancelled = observer.Cancelled();
    return !cancelled;
  });
  if (waited != OS::Process::WaitResult::kExited) {
    tool.Terminate();
    run.end = cancelled ? ToolRun::End::kCancelled : ToolRun::End::kSignalled;
    run.code = OS::KilledSignal();
    return run;
  }
  if (piped) run.digest_line = digest_pipe.ReadAvailable(kDigestLineLimit);
  run.end = tool.TermSignal() != 0 ? ToolRun::End::kSignalled : ToolRun::End::kExited;
  run.code = tool.TermSignal() != 0 ? tool.TermSignal() : tool.ExitCode();
  return run;
}

// Has the tool rebuild the target from the backup and checks the result.
// True when the target now carries the new digest.
bool Rebuild(const PatchFileEntry& entry, const FilePaths& p, StepObserver& observer) {
  const ToolRun run = RunTool(p, observer);
  switch (run.end) {
    case ToolRun::End::kNotStarted:
      observer.Line(0, L"Failed patch Command: " +
                           RenderPatchCommand(p.tool, p.backup, p.diff, p.target) + L" (" +
                           TarvText::FromUtf8(run.error) + L")");
      observer.Line(2, entry.m_path);
      return false;
    case ToolRun::End::kCancelled:
      return false;  // the cancel ends the session; it says so itself
    case ToolRun::End::kSignalled:
      // Shown as a shell would show it, 128 + the signal's number.
      observer.Line(2, entry.m_path + L": the patch tool ended abnormally (code " +
                           std::to_wstring(128 + run.code) + L")");
      return false;
    case ToolRun::End::kExited:
      break;
  }
  // Only the listed codes mean failure; any other status is judged by the
  // digest of what the tool left.
  if (run.code >= 1 && run.code <= 4) {
    observer.Line(2, entry.m_path + PatchToolExitText(run.code));
    return false;
  }
  std::wstring digest;
  bool known = DigestFromTool(run.digest_line, p.target, &digest);
  if ((!known && !TarvCrypto::ComputeFileMD5(p.target, digest)) || digest != entry.m_newDigest) {
    observer.Line(2, L"The patched file does not have the expected checksum: " + p.target);
    return false;
  }
  return true;
}

}  // namespace

std::wstring RenderPatchCommand(const std::wstring& tool, const std::wstring& backup,
                                const std::wstring& diff, const std::wstring& target) {
  return tool + L" \"" + backup + L"\" \"" + diff + L"\" \"" + target + L"\"";
}

std::wstring PatchToolExitText(int exit_code) {
  switch (exit_code) {
    case 1:
      return L"Not enough Argument Specified to patch the file";
    case 2:
      return L"Could not open data file %s for reading.";
    case 3:
      return L"Could not open patch file %s for reading.";
    case 4:
      return L"Could not open output file for writing.";
    default:
      return L"";
  }
}

bool RebuildFromCopy(const PatchFileEntry& entry, const std::wstring& old_copy,
                     const std::wstring& install_dir, const std::wstring& project_dir,
                     StepObserver& observer) {
  FilePaths p = PathsFor(SplitEntryPath(entry.m_path), install_dir, project_dir);
  p.backup = old_copy;
  return Rebuild(entry, p, observer);
}

}  // namespace TarvPatch
