#include "data/file_util.h"

#include <atomic>

#include "diag/text_encoding.h"

namespace TarvUtil {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Wide characters outside ASCII that the 8-bit table keeps, with their byte.
struct TableEntry {
  wchar_t wide;
  unsigned char narrow;
};
constexpr TableEntry kTable[] = {
    {171, 171},  {176, 176},  {187, 187},  {8211, 150}, {8216, 145},
    {8217, 146}, {8220, 147}, {8221, 148}, {8230, 133},
};

// Bytes outside the table map to a private-use character that ToNarrow does
// not know, so a name read from disk never turns into another valid name.
constexpr wchar_t kUnmappedBase = 0xF700;

}  // namespace

std::wstring JoinPath(const std::wstring& base, const std::wstring& relative) {
  if (base.empty()) return relative;
  size_t start = 0;
  while (start < relative.size() && IsSeparator(relative[start])) ++start;
  std::wstring result = base;
  if (!IsSeparator(base.back())) result += L'/';
  result.append(relative, start, std::wstring::npos);
  return result;
}

void NormalizeSeparators(std::wstring& path, wchar_t separator) {
  for (wchar_t& c : path) {
    if (IsSeparator(c)) c = separator;
  }
}

std::string ToNarrow(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    char byte = '?';
    if ((c >= 32 && c <= 127) || c == 9 || c == 10 || c == 13) {
      byte = static_cast<char>(c);
    } else {
      for (const auto& e : kTable) {
        if (e.wide == c) byte = static_cast<char>(e.narrow);
      }
    }
    out.push_back(byte);
  }
  return out;
}

std::wstring ToWide(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char b = static_cast<unsigned char>(ch);
    wchar_t wide = b < 128 ? b : kUnmappedBase + b;
    for (const auto& e : kTable) {
      if (e.narrow == b) wide = e.wide;
    }
    out.push_back(wide);
  }
  return out;
}

std::string FsPath(const std::wstring& path) {
  std::wstring p = path;
  NormalizeSeparators(p, L'/');
  return TarvText::ToUtf8(p);
}

std::wstring FromFsPath(const std::string& path) { return TarvText::FromUtf8(path); }

std::wstring MakeTempFilePath(const std::wstring& directory) {
  static std::atomic<uint32_t> counter{0};
  static std::atomic<bool> started{false};
  if (!started.exchange(true)) counter = MonotonicMilliseconds();
  uint32_t value = ++counter;
  return JoinPath(directory, L"file" + std::to_wstring(value));
}

}  // namespace TarvUtil
