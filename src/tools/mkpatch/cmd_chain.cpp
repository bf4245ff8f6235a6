// tarv-mkpatch chain [--level N] [--jobs N] [--sign SECRET_KEY] SERVER_DIR VERSION=DIR ...:
// one patch archive per consecutive pair of versions and the catalogue
// patches.txt that lists them, ready for a static HTTP or FTP server; and
// for repair, the manifest of every version and the file objects. With
// --sign the catalogue is signed in the same run; without it, a signature
// left from an earlier catalogue is removed, since it no longer matches.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "crypto/sha256.h"
#include "data/file_io.h"
#include "data/file_status.h"
#include "data/file_util.h"
#include "mkpatch.h"
#include "patch_archive.h"
#include "repair_store.h"
#include "signing.h"

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

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// A version named twice would make a record that leads back to itself or a
// loop; names that differ only in case would share archive names on the
// servers whose file names ignore case.
bool ParseVersions(const Args& args, std::vector<Version>* out, std::string* error) {
  for (size_t i = 1; i < args.size(); ++i) {
    size_t eq = args[i].find('=');
    Version v{args[i].substr(0, eq), eq == std::string::npos ? "" : args[i].substr(eq + 1)};
    if (eq == std::string::npos || !UsableVersion(v.name) || v.dir.empty()) {
      *error = args[i] + ": expected VERSION=DIR, the version of letters, digits, '.', '-', '_'";
      return false;
    }
    for (const Version& earlier : *out) {
      if (Lower(earlier.name) == Lower(v.name)) {
        *error =
            args[i] + ": version " + v.name + " is named twice (each version once, oldest first)";
        return false;
      }
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

// Without --sign, a signature of an earlier catalogue goes: it no longer
// matches, and a player's patcher would refuse the whole server for it.
// An unchanged catalogue keeps its signature.
bool DropStaleSignature(const std::string& catalogue_path, const std::string& before,
                        const std::string& after, std::string* error) {
  const std::string signature = catalogue_path + ".minisig";
  if (before == after || !TarvFile::EntryExists(signature)) return true;
  CatalogueStamp stamp;
  const bool had_stamp = ReadExistingStamp(signature, &stamp);
  if (!TarvFile::Unlink(signature)) {
    *error = signature + ": no longer matches the catalogue and cannot be removed";
    return false;
  }
  fprintf(stderr,
          "tarv-mkpatch: warning: %s removed: the catalogue changed and must be signed again "
          "(tarv-mkpatch sign%s)\n",
          signature.c_str(),
          had_stamp ? (" with a serial above " + std::to_string(stamp.serial)).c_str() : "");
  return true;
}

// The parsed command line; `key_path` is set by --sign.
struct ChainRequest {
  int level = kDefaultLevel;
  unsigned jobs = DefaultJobs();
  std::string server, key_path;
  std::vector<Version> versions;
};

bool ParseChain(const Args& in, ChainRequest* request, std::string* error) {
  Args args = in;
  if (!TakeLevelOption(&args, &request->level, error) ||
      !TakeJobsOption(&args, &request->jobs, error) ||
      !TakeValueOption(&args, "--sign", &request->key_path, error)) {
    return false;
  }
  if (args.size() < 3) {
    *error =
        "usage: tarv-mkpatch chain [--level N] [--jobs N] [--sign SECRET_KEY] SERVER_DIR "
        "VERSION=DIR VERSION=DIR ...";
    return false;
  }
  request->server = args[0];
  if (!ParseVersions(args, &request->versions, error)) return false;
  for (const Version& v : request->versions) {
    if (!RefuseSecretKeys(v.dir, error)) return false;
  }
  return true;
}

// The archives of every consecutive pair and their records.
bool WriteArchives(const ChainRequest& r, std::vector<std::string>* written, std::string* catalogue,
                   std::string* error) {
  for (size_t i = 0; i + 1 < r.versions.size(); ++i) {
    const Version &from = r.versions[i], &to = r.versions[i + 1];
    std::string zip = r.server + "/" + from.name + "_to_" + to.name + ".zip";
    PatchSummary s;
    if (!WritePatchArchive(from.dir, to.dir, zip, r.level, &s, error, DifferenceFormat::kBest,
                           r.jobs)) {
      return false;
    }
    written->push_back(zip);
    printf("%s: %zu added, %zu deleted, %zu patched\n", zip.c_str(), s.added, s.deleted, s.patched);
    uint64_t size = 0;
    std::string sha256;
    if (!ArchiveFields(zip, &size, &sha256, error)) return false;
    *catalogue += (i ? "\r\n" : "") + Record(from.name, to.name, size, sha256);
  }
  return true;
}

bool WriteChain(const ChainRequest& r, SignPlan* plan, std::vector<std::string>* written,
                std::string* error) {
  std::string catalogue;
  if (!WriteArchives(r, written, &catalogue, error)) return false;
  std::vector<std::pair<std::string, std::string>> trees;
  trees.reserve(r.versions.size());
  for (const Version& v : r.versions) trees.emplace_back(v.name, v.dir);
  RepairStoreSummary stored;
  if (!WriteRepairStore(r.server, trees, &catalogue, &stored, error)) return false;
  printf("%s: %zu manifests, %zu objects written, %zu kept\n", r.server.c_str(), r.versions.size(),
         stored.objects_written, stored.objects_kept);
  const std::string path = r.server + "/patches.txt";
  std::string before, ignored;
  if (!ReadFile(path, uint64_t{256} << 20, &before, &ignored)) before.clear();
  if (!WriteCatalogue(path, catalogue, error)) return false;
  written->clear();  // the catalogue names them now: they stay whatever follows
  if (r.key_path.empty()) return DropStaleSignature(path, before, catalogue, error);
  return WriteSignature(*plan, catalogue, error);
}

}  // namespace

int CmdChain(const Args& args) {
  ChainRequest request;
  std::string error;
  if (!ParseChain(args, &request, &error)) return Fail(error);
  // The key and the serial are checked before hours of work, not after.
  SignPlan plan;
  plan.stamp = DefaultStamp();
  plan.signature_path = request.server + "/patches.txt.minisig";
  if (!request.key_path.empty() && !PrepareSigning(request.key_path, false, &plan, &error)) {
    return Fail(error);
  }
  std::error_code ec;
  std::filesystem::create_directories(request.server, ec);
  if (ec) return Fail(request.server + ": cannot be made: " + ec.message());
  std::vector<std::string> written;
  if (!WriteChain(request, &plan, &written, &error)) {
    for (const auto& w : written) TarvFile::Unlink(w);
    return Fail(error);
  }
  return 0;
}

}  // namespace mkpatch
