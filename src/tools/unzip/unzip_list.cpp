// tarv-unzip -l: the entries of an archive with their sizes, read from its
// central directory without unpacking anything. An entry that unpacking
// would refuse is listed with the reason.
#include <unzip.h>

#include "tools/unzip/unzip_archive.h"
#include "tools/unzip/unzip_entry.h"

namespace TarvUnzip {

int List(const std::string& archive, FILE* out, FILE* err) {
  unzFile zip = OpenZip(archive);
  if (zip == nullptr) {
    if (err)
      fprintf(err, "tarv-unzip: %s: cannot open the archive or it is damaged\n", archive.c_str());
    return kArchiveBad;
  }
  fprintf(out, "%12s  %s\n%12s  %s\n", "Length", "Name", "------------", "----");
  uint64_t total = 0, count = 0;
  std::vector<char> raw(65536);
  int rc = unzGoToFirstFile(zip);
  while (rc == UNZ_OK) {
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, raw.data(), raw.size(), nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
      break;
    }
    const std::string name(raw.data(), info.size_filename);
    std::vector<std::string> parts;
    bool is_dir = false;
    std::string why;
    const std::string note = CheckEntry(info, name, &parts, &is_dir, &why) ? "" : "  (" + why + ")";
    fprintf(out, "%12llu  %s%s\n", static_cast<unsigned long long>(info.uncompressed_size),
            name.c_str(), note.c_str());
    total += info.uncompressed_size;
    ++count;
    rc = unzGoToNextFile(zip);
  }
  unzClose(zip);
  fprintf(out, "%12s  %s\n%12llu  %llu %s\n", "------------", "----",
          static_cast<unsigned long long>(total), static_cast<unsigned long long>(count),
          count == 1 ? "entry" : "entries");
  if (rc != UNZ_END_OF_LIST_OF_FILE) {
    if (err) fprintf(err, "tarv-unzip: %s: the archive's directory is damaged\n", archive.c_str());
    return kArchiveBad;
  }
  return kOk;
}

}  // namespace TarvUnzip
