// tarv-mkpatch chain [--level N] [--jobs N] SERVER_DIR VERSION=DIR VERSION=DIR ...:
// one patch archive per consecutive pair of versions and the catalogue
// patches.txt that lists them, ready for a static HTTP or FTP server; and
// for repair, the manifest of every version and the file objects.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "crypto/sha256.h"
#include "data/file_io.h"
#include "data/file_util.h"
#include "mkpatch.h"
#include "patch_archive.h"
#include "repair_store.h"

namespace mkpatch {
namespace {

struct Version {
  std::string name, dir;
};

// Versions become file names and catalogue values: plain characters only.
bool UsableVersion(const std::string& v) {
  if (v.empty() || v == "." || v == "..") return false;
  for (char c : v) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool ParseVersions(const Args& args, std::vector<Version>* out, std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    size_t eq = args[i].find('=');
    Version v{args[i].substr(0, eq), eq == std::string::npos ? "" : args[i].substr(eq + 1)};
    if (eq == std::string::npos || !UsableVersion(v.name) || v.dir.empty()) {
      *error = args[i] + ": expected VERSION=DIR, the version of letters, digits, '.', '-', '_'";
      return false;
    }
    out->push_back(v);
  }
  return true;
}

// The archive's size and SHA-256 bind the record to it: a patcher checks the
// download against both before unpacking.
std::string Record(const std::string& from, const std::string& to, uint64_t size,
                   const std::string& sha256) {
  std::string name = from + "_to_" + to;
  return "source-version: " + from + "\r\ntarget-version: " + to + "\r\npatch-exe-url: " + name +
         ".exe\r\npatch-data-url: " + name + ".zip\r\npatch-data-size: " + std::to_string(size) +
         "\r\npatch-data-sha256: " + sha256 + "\r\n";
}

bool ArchiveFields(const std::string& zip, uint64_t* size, std::string* sha256,
                   std::string* error) {
  const std::wstring path = TarvUtil::FromFsPath(zip);
  if (TarvUtil::QueryFileSize(path, *size) != DB_OK ||
      !TarvCrypto::ComputeFileSha256(path, sha256)) {
    *error = zip + ": cannot be read back";
    return false;
  }
  return true;
}

bool WriteCatalogue(const std::string& path, const std::string& text, std::string* error) {
  TarvFile::ReplaceOptions options;
  options.temp_path = path + ".part";
  if (TarvFile::ReplaceFile(path, text, options)) return true;
  *error = path + ": cannot be written";
  return false;
}

}  // namespace

int CmdChain(const Args& in) {
  Args args = in;
  int level = kDefaultLevel;
  std::string error;
  std::vector<Version> versions;
  unsigned jobs = DefaultJobs();
  if (!TakeLevelOption(&args, &level, &error) || !TakeJobsOption(&args, &jobs, &error))
    return Fail(error);
  if (args.size() < 3) {
    return Fail(
        "usage: tarv-mkpatch chain [--level N] [--jobs N] SERVER_DIR VERSION=DIR VERSION=DIR "
        "...");
  }
  if (!ParseVersions(args, &versions, &error)) return Fail(error);
  const std::string& server = args[0];
  std::error_code ec;
  std::filesystem::create_directories(server, ec);
  if (ec) return Fail(server + ": cannot be made: " + ec.message());
  std::vector<std::string> written;
  std::string catalogue;
  for (size_t i = 0; i + 1 < versions.size(); ++i) {
    const Version &from = versions[i], &to = versions[i + 1];
    std::string zip = server + "/" + from.name + "_to_" + to.name + ".zip";
    PatchSummary s;
    if (!WritePatchArchive(from.dir, to.dir, zip, level, &s, &error, DifferenceFormat::kBest,
                           jobs)) {
      for (const auto& w : written) TarvFile::Unlink(w);
      return Fail(error);
    }
    written.push_back(zip);
    printf("%s: %zu added, %zu deleted, %zu patched\n", zip.c_str(), s.added, s.deleted, s.patched);
    uint64_t size = 0;
    std::string sha256;
    if (!ArchiveFields(zip, &size, &sha256, &error)) {
      for (const auto& w : written) TarvFile::Unlink(w);
      return Fail(error);
    }
    catalogue += (i ? "\r\n" : "") + Record(from.name, to.name, size, sha256);
  }
  std::vector<std::pair<std::string, std::string>> trees;
  trees.reserve(versions.size());
  for (const Version& v : versions) trees.emplace_back(v.name, v.dir);
  RepairStoreSummary stored;
  if (!WriteRepairStore(server, trees, &catalogue, &stored, &error)) {
    for (const auto& w : written) TarvFile::Unlink(w);
    return Fail(error);
  }
  printf("%s: %zu manifests, %zu objects written, %zu kept\n", server.c_str(), versions.size(),
         stored.objects_written, stored.objects_kept);
  if (!WriteCatalogue(server + "/patches.txt", catalogue, &error)) {
    for (const auto& w : written) TarvFile::Unlink(w);
    return Fail(error);
  }
  return 0;
}

}  // namespace mkpatch
