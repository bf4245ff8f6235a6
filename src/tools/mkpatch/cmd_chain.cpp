// tarv-mkpatch chain [--level N] SERVER_DIR VERSION=DIR VERSION=DIR ...:
// one patch archive per consecutive pair of versions and the catalogue
// patches.txt that lists them, ready for a static HTTP or FTP server.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "data/file_io.h"
#include "mkpatch.h"
#include "patch_archive.h"

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

std::string Record(const std::string& from, const std::string& to) {
  std::string name = from + "_to_" + to;
  return "source-version: " + from + "\r\ntarget-version: " + to + "\r\npatch-exe-url: " + name +
         ".exe\r\npatch-data-url: " + name + ".zip\r\n";
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
  if (!TakeLevelOption(&args, &level, &error)) return Fail(error);
  if (args.size() < 3) {
    return Fail("usage: tarv-mkpatch chain [--level N] SERVER_DIR VERSION=DIR VERSION=DIR ...");
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
    if (!WritePatchArchive(from.dir, to.dir, zip, level, &s, &error)) {
      for (const auto& w : written) TarvFile::Unlink(w);
      return Fail(error);
    }
    written.push_back(zip);
    printf("%s: %zu added, %zu deleted, %zu patched\n", zip.c_str(), s.added, s.deleted, s.patched);
    catalogue += (i ? "\r\n" : "") + Record(from.name, to.name);
  }
  if (!WriteCatalogue(server + "/patches.txt", catalogue, &error)) {
    for (const auto& w : written) TarvFile::Unlink(w);
    return Fail(error);
  }
  return 0;
}

}  // namespace mkpatch
