#include "os/application_mutex.h"

#include <cstdint>
#include <cstdio>

#include "data/file_util.h"

namespace TarvUtil {
namespace {

bool NameSafe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

}  // namespace

std::string ApplicationMutexName(const std::wstring& folder) {
  // Joining "x" gives every folder exactly one trailing separator, which is
  // then dropped with the "x", so "a\b" and "a\b\" name the same lock.
  std::string narrow = ToNarrow(JoinPath(folder, L"x"));
  for (char& c : narrow) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string name = "TARV_" + narrow;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (!NameSafe(c) || (i == 0 && c == '.')) name[i] = '_';
  }
  name.resize(name.size() - 2);
  return name;
}

std::string ApplicationMutexFileName(const std::string& name) {
  constexpr size_t kMaxFileName = 255;
  constexpr size_t kKept = kMaxFileName - 17;
  if (name.size() <= kMaxFileName) return name;
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char digits[17];
  snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  return name.substr(0, kKept) + "~" + digits;
}

}  // namespace TarvUtil
