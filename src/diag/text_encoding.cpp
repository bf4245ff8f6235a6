#include "diag/text_encoding.h"

#include <cstdint>

namespace TarvText {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when invalid.
size_t ValidSequenceAt(const std::string& s, size_t i, char32_t* out) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  unsigned char c = b(0);
  size_t len;
  char32_t cp;
  if (c < 0x80) {
    *out = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *out = cp;
  return len;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Where wchar_t holds UTF-16 units (Windows), characters above U+FFFF take
// a surrogate pair; where it holds whole code points (Linux) they take one.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool IsPairAt(const std::wstring& text, size_t i) {
  if (!kWideIsUtf16 || i + 1 >= text.size()) return false;
  const auto high = static_cast<char32_t>(text[i]);
  const auto low = static_cast<char32_t>(text[i + 1]);
  return high >= 0xD800 && high <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF;
}

void AppendWide(char32_t cp, std::wstring* out) {
  if (kWideIsUtf16 && cp >= 0x10000) {
    cp -= 0x10000;
    out->push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out->push_back(static_cast<wchar_t>(cp));
  }
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = static_cast<char32_t>(text[i]);
    if (IsPairAt(text, i)) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
      AppendUtf8(cp, &out);
    } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out.push_back(static_cast<char>(cp - 0xDC00));  // an escaped raw byte
    } else if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(cp, &out);
    }
  }
  return out;
}

std::wstring FromUtf8(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    size_t len = ValidSequenceAt(bytes, i, &cp);
    if (len == 0) {
      out.push_back(static_cast<wchar_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
      ++i;
    } else {
      AppendWide(cp, &out);
      i += len;
    }
  }
  return out;
}

std::string ToUtf16Le(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() * 2);
  auto unit = [&](uint16_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (wchar_t wc : text) {
    char32_t cp = static_cast<char32_t>(wc);
    if (cp > 0x10FFFF) cp = 0xFFFD;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      unit(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      unit(static_cast<uint16_t>(cp));
    }
  }
  return out;
}

bool IsValidUtf8(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    size_t len = ValidSequenceAt(bytes, i, &cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace TarvText
