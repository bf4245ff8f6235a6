#include "signing_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mkpatch {

bool ReadSmallFile(const std::string& path, size_t limit, std::string* text, std::string* error) {
  FILE* file = fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  std::string out;
  char chunk[65536];
  size_t got = 0;
  while (out.size() <= limit && (got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    out.append(chunk, got);
  }
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed || out.size() > limit) {
    *error = path + (failed ? ": cannot be read" : ": is larger than " + std::to_string(limit) +
                                                       " bytes");
    return false;
  }
  *text = std::move(out);
  return true;
}

bool WriteFileInPlace(const std::string& path, const std::string& text, mode_t mode,
                      bool keep_existing, std::string* error) {
  struct stat st {};
  if (keep_existing && lstat(path.c_str(), &st) == 0) {
    *error = path + ": exists already (--force replaces it)";
    return false;
  }
  const std::string part = path + ".part";
  unlink(part.c_str());
  const int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(part.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    *error = path + ": cannot be written: " + strerror(errno);
    unlink(part.c_str());
  }
  return ok;
}

}  // namespace mkpatch
