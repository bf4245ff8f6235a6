// tarv-mkpatch check-server SERVER_ADDRESS [--download DIR]: the publisher's
// check of a deployed server through the patcher's own code. Reads the
// catalogue as the patcher's server search does, prints each record, asks
// each archive's size, and with --download fetches each archive into DIR and
// applies the patcher's size check. Problems are one line each on standard
// error; the exit code is 0 only when everything worked.
#include <cstdio>
#include <string>

#include "data/file_util.h"
#include "inet/url.h"
#include "mkpatch.h"
#include "patchserver/patch_server_task.h"

namespace mkpatch {

namespace {

// The patch task with its report lines turned into this tool's error lines.
class CheckTask : public PatchServerTask {
 public:
  void Report(int, const std::string& text) override {
    ++problems;
    // The search's closing line would only repeat the problem named before
    // it, or is replaced by a clearer one.
    if (text != "Unable to connect to any patch servers.") Fail(text);
  }
  int problems = 0;
};

// A file name from two versions, as the patcher names its archive.
std::string ArchiveName(const std::string& source, const std::string& target) {
  std::string name = source + "_to_" + target + ".zip";
  for (char& c : name) {
    if (c == '/' || c == '\\') c = '_';
  }
  return name;
}

bool CheckArchive(CheckTask& task, const std::string& source, const PatchInfo& info,
                  const std::string& download_dir) {
  std::string shown = TarvInet::RedactUrl(TarvUtil::ToNarrow(info.patchDataUrl));
  printf("%s -> %s\n  data: %s\n  exe:  %s\n", source.c_str(), info.targetVersion.c_str(),
         shown.c_str(), TarvUtil::ToNarrow(info.patchExeUrl).c_str());
  fflush(stdout);
  bool ok = task.QueryPatchSize(info.patchDataUrl);
  if (!ok) {
    Fail(shown + ": the server does not tell the archive's size");
  } else {
    printf("  size: %llu bytes\n", static_cast<unsigned long long>(task.GetBytesExpected()));
  }
  if (download_dir.empty()) return ok;
  std::string path = download_dir + "/" + ArchiveName(source, info.targetVersion);
  std::wstring wpath = TarvUtil::FromFsPath(path);
  if (!task.DownloadPatch(info.patchDataUrl, wpath)) return false;
  uint64_t size = 0;
  TarvUtil::QueryFileSize(wpath, size);
  if (!task.IsDownloadedSizeAcceptable(wpath)) {
    return Fail(shown + ": downloaded " + std::to_string(size) + " bytes, the server announced " +
                std::to_string(task.GetBytesExpected())) == 0;
  }
  printf("  downloaded: %llu bytes to %s\n", static_cast<unsigned long long>(size), path.c_str());
  return ok;
}

}  // namespace

int CmdCheckServer(const Args& args) {
  const char* usage = "usage: tarv-mkpatch check-server SERVER_ADDRESS [--download DIR]";
  std::string server, download_dir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--download") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return Fail(usage);
      download_dir = args[++i];
    } else if (server.empty() && !args[i].empty()) {
      server = args[i];
    } else {
      return Fail(usage);
    }
  }
  if (server.empty()) return Fail(usage);
  if (!download_dir.empty() && !TarvUtil::MakeDirectory(TarvUtil::FromFsPath(download_dir))) {
    return Fail(download_dir + ": cannot create the folder");
  }
  CheckTask task;
  std::wstring entry = TarvUtil::ToWide(server);
  if (!task.FindPatches({entry})) {
    // Without a failed fetch the file was there but held no valid record.
    if (task.problems == 1) {
      Fail(TarvInet::RedactUrl(TarvUtil::ToNarrow(TarvUtil::JoinPath(entry, L"patches.txt"))) +
           ": no valid record");
    }
    return 1;
  }
  bool ok = true;
  for (const auto& [source, info] : task.Catalogue().Records()) {
    ok = CheckArchive(task, source, info, download_dir) && ok;
  }
  printf("%zu record(s) checked: %s\n", task.Catalogue().Records().size(),
         ok ? "all good" : "problems found");
  return ok && task.problems == 0 ? 0 : 1;
}

}  // namespace mkpatch
