#include "session/unpacker.h"

#include <cerrno>

#include "data/file_util.h"
#include "diag/system_log.h"
#include "os/process.h"
#include "os/session_folder.h"

namespace TarvPatch {
namespace {

const wchar_t kUnpacker[] = L"Binaries/miniunz.exe";
constexpr int kWorkFolderAttempts = 100;

}  // namespace

bool MakeArchivePath(const std::wstring& temp_folder, const std::wstring& patch_name,
                     std::wstring* path) {
  path->clear();
  if (temp_folder.empty() || patch_name.empty() ||
      patch_name.find_first_of(L"/\\") != std::wstring::npos) {
    return false;
  }
  *path = TarvUtil::JoinPath(temp_folder, patch_name + L".zip");
  if (TarvUtil::CreateExclusiveFile(*path)) return true;
  path->clear();
  return false;
}

bool MakeWorkFolder(const std::wstring& temp_folder, std::wstring* folder) {
  // A name that is taken is never used as it is: the next one is tried.
  for (int attempt = 0; attempt < kWorkFolderAttempts; ++attempt) {
    *folder = TarvUtil::MakeTempFilePath(temp_folder);
    if (TarvUtil::CreateExclusiveFolder(*folder)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

std::wstring UnpackerCommandLine(const std::wstring& install_dir, const std::wstring& archive,
                                 const std::wstring& work_folder) {
  return install_dir + L"\\Binaries\\" + L"miniunz.exe -o -x " + L"\"" + archive + L"\"" +
         L" -d \"" + work_folder + L"\"";
}

std::vector<std::string> UnpackerArgv(const std::wstring& install_dir, const std::wstring& archive,
                                      const std::wstring& work_folder) {
  return {TarvUtil::FsPath(TarvUtil::JoinPath(install_dir, kUnpacker)),
          "-o",
          "-x",
          TarvUtil::FsPath(archive),
          "-d",
          TarvUtil::FsPath(work_folder)};
}

UnpackOutcome RunUnpacker(const UnpackRequest& request) {
  const std::wstring shown =
      UnpackerCommandLine(request.install_dir, request.archive, request.work_folder);
  SystemLogW(L"unpack: %s\n", shown.c_str());
  OS::Process unpacker;
  std::string error;
  if (!unpacker.Start(UnpackerArgv(request.install_dir, request.archive, request.work_folder),
                      &error)) {
    SystemLogA("unpack: could not start the unpacker: %s\n", error.c_str());
    return UnpackOutcome::kNotStarted;
  }
  bool cancelled = false;
  const OS::Process::WaitResult waited = unpacker.WaitInSlices(request.slice_ms, [&] {
    cancelled = request.cancelled && request.cancelled();
    return !cancelled;
  });
  if (cancelled) {
    unpacker.Terminate();
    SystemLogA("unpack: cancelled, unpacker terminated\n");
    return UnpackOutcome::kCancelled;
  }
  // A status that cannot be read counts as a failure, like exit code 1.
  const int code = waited == OS::Process::WaitResult::kExited ? unpacker.ExitCode() : 1;
  SystemLogA("unpack: exit code %d\n", code);
  return code == 0 ? UnpackOutcome::kUnpacked : UnpackOutcome::kFailed;
}

}  // namespace TarvPatch
