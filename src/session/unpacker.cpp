#include "session/unpacker.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "data/file_io.h"
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

bool CopyArchiveIn(const std::wstring& source, const std::wstring& destination,
                   uint64_t max_bytes) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(
      TarvFile::OpenRegularForReading(TarvUtil::FsPath(source)), fclose);
  if (!in) return false;
  const int out = TarvFile::OpenForReplacing(TarvUtil::FsPath(destination));
  if (out < 0) return false;
  std::vector<char> buffer(1u << 20);
  uint64_t left = max_bytes == UINT64_MAX ? UINT64_MAX : max_bytes + 1;
  bool ok = true;
  while (ok && left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), left));
    const size_t n = fread(buffer.data(), 1, want, in.get());
    if (n == 0) break;
    ok = TarvFile::WriteAll(out, buffer.data(), n);
    left -= n;
  }
  ok = ok && !ferror(in.get());
  return TarvFile::Close(out) && ok;
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
