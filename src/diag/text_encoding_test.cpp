#include "diag/text_encoding.h"

#include <gtest/gtest.h>

namespace {

TEST(TextEncoding, Utf8RoundTripsAndEscapesInvalidBytes) {
  struct Case {
    std::string bytes;
    std::wstring wide;
    bool valid;
  } cases[] = {
      {"", L"", true},
      {"abc", L"abc", true},
      {"\xc3\xa4\xe2\x82\xac", L"\u00e4\u20ac", true},
      {"\xf0\x9f\x98\x80", L"\U0001F600", true},
      // A Latin-1 byte in a name found on disk survives as an escape.
      {"a\xe4"
       "b",
       std::wstring(L"a") + wchar_t(0xDCE4) + L"b", false},
      // Overlong form of '/', and an encoded surrogate, are not UTF-8.
      {"\xc0\xaf", std::wstring{wchar_t(0xDCC0), wchar_t(0xDCAF)}, false},
      {"\xed\xa0\x80", std::wstring{wchar_t(0xDCED), wchar_t(0xDCA0), wchar_t(0xDC80)}, false},
      // A sequence cut short at the end.
      {"x\xe2\x82", std::wstring{L'x', wchar_t(0xDCE2), wchar_t(0xDC82)}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TarvText::FromUtf8(c.bytes), c.wide) << c.bytes;
    EXPECT_EQ(TarvText::ToUtf8(c.wide), c.bytes) << c.bytes;
    EXPECT_EQ(TarvText::IsValidUtf8(c.bytes), c.valid) << c.bytes;
  }
}

TEST(TextEncoding, Utf16LeUsesSurrogatePairs) {
  EXPECT_EQ(TarvText::ToUtf16Le(L"A\u00e4"), std::string("A\0\xe4\0", 4));
  EXPECT_EQ(TarvText::ToUtf16Le(L"\U0001F600"), std::string("\x3d\xd8\x00\xde", 4));
}

}  // namespace
