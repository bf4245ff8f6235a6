#include "difference.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "mkpatch.h"
#include "os/process.h"

namespace mkpatch {
namespace {

// Byte-for-byte comparison of two files.
bool SameContent(const std::string& a, const std::string& b) {
  FILE* fa = fopen(a.c_str(), "rbe");
  FILE* fb = fopen(b.c_str(), "rbe");
  bool same = fa && fb;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (same) {
    size_t na = fread(ba.data(), 1, ba.size(), fa), nb = fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && memcmp(ba.data(), bb.data(), na) == 0 && !ferror(fa) && !ferror(fb);
    if (na == 0) break;
  }
  if (fa) fclose(fa);
  if (fb) fclose(fb);
  return same;
}

}  // namespace

bool TakeFormatOption(std::vector<std::string>* args, DifferenceFormat* format,
                      std::string* error) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != "--format") continue;
    const std::string value = i + 1 < args->size() ? (*args)[i + 1] : "";
    if (value == "1") {
      *format = DifferenceFormat::kZstd;
    } else if (value == "2") {
      *format = DifferenceFormat::kSecond;
    } else if (value == "best") {
      *format = DifferenceFormat::kBest;
    } else {
      *error = "--format must be 1, 2 or best";
      return false;
    }
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    --i;
  }
  return true;
}

bool ProveDifference(const std::string& old_path, const std::string& diff_path,
                     const std::string& new_path, std::string* error) {
  std::string dir = MakePrivateTempDir();
  if (dir.empty()) {
    *error = "cannot make a temporary folder";
    return false;
  }
  std::string rebuilt = dir + "/rebuilt";
  std::string why;
  int code = OS::RunProgram({ProgramDir() + "/jpatch", old_path, diff_path, rebuilt}, &why);
  bool ok = code == 0 && SameContent(rebuilt, new_path);
  if (!ok) {
    *error = code < 0 ? "cannot run jpatch: " + why
                      : diff_path + ": jpatch (exit " + std::to_string(code) +
                            ") did not rebuild " + new_path + " exactly";
  }
  RemoveTree(dir);
  return ok;
}

}  // namespace mkpatch
