// Fuzz target: tarv-unzip's unpacking of any archive. The input is written
// as the archive and unpacked into a fresh folder; whatever the entries'
// names, sizes and methods, nothing may appear outside that folder and
// nothing inside may be anything but a regular file or a folder. The name
// rules are checked on the input itself as well.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/unzip/unzip_archive.h"

namespace {

std::string g_base;

int CheckEntry(const char* path, const struct stat* st, int type, struct FTW*) {
  if (std::string(path).compare(0, g_base.size(), g_base) != 0) abort();
  if (type == FTW_SL || type == FTW_SLN) abort();
  if (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode)) abort();
  return 0;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 ? 0 : -1;
}

void CheckNameRules(const std::string& name) {
  std::vector<std::string> parts;
  bool is_dir = false;
  if (!TarvUnzip::SplitName(name, &parts, &is_dir)) return;
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") abort();
    if (part.find_first_of(std::string("/\\\0", 3)) != std::string::npos) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_base.empty()) {
    char templ[] = "/tmp/tarv-unzip-fuzz-XXXXXX";
    if (mkdtemp(templ) == nullptr) abort();
    g_base = templ;
  }
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckNameRules(bytes);
  const std::string archive = g_base + "/archive.zip", out = g_base + "/out";
  FILE* f = fopen(archive.c_str(), "wb");
  if (f == nullptr) abort();
  if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) abort();
  TarvUnzip::Unzip(archive, out, nullptr);
  nftw(out.c_str(), CheckEntry, 16, FTW_PHYS);
  nftw(out.c_str(), RemoveEntry, 16, FTW_PHYS | FTW_DEPTH);
  // Only the archive and the output folder may be below the base.
  nftw(
      g_base.c_str(),
      [](const char* path, const struct stat*, int, struct FTW* ftw) {
        if (ftw->level == 1 && std::string(path).rfind("/archive.zip") == std::string::npos) {
          abort();
        }
        return 0;
      },
      16, FTW_PHYS);
  return 0;
}
