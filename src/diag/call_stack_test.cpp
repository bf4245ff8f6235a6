#include "diag/call_stack.h"

#include <gtest/gtest.h>

namespace {

using TarvDiag::FormatAddressList;

TEST(CallStack, AddressListIsCutAtFiveHundredElevenCharacters) {
  struct Case {
    std::vector<uint64_t> addresses;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{0x1, 0xdeadbeef}, "1 deadbeef "},
      {{0xFFFFFFFFFFFFFFFFull}, "ffffffffffffffff "},
      // 30 addresses of 16 digits and a blank are 510 characters; the 31st
      // contributes its first digit only.
      {std::vector<uint64_t>(31, 0x123456789abcdef0ull),
       [] {
         std::string s;
         for (int i = 0; i < 30; ++i) s += "123456789abcdef0 ";
         return s + "1";
       }()},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(FormatAddressList(cases[i].addresses), cases[i].text) << i;
  }
  // Many short addresses: the text stops at 511 characters.
  std::string many = FormatAddressList(std::vector<uint64_t>(200, 0xabc));
  EXPECT_EQ(many.size(), 511u);
  EXPECT_EQ(many.substr(0, 8), "abc abc ");
}

__attribute__((noinline)) std::vector<uint64_t> CaptureHere() {
  std::vector<uint64_t> stack = TarvDiag::CaptureStack();
  asm volatile("" ::: "memory");  // keeps this frame a real call
  return stack;
}

TEST(CallStack, FramesResolveToFunctionFileAndModule) {
  std::vector<uint64_t> stack = CaptureHere();
  ASSERT_GE(stack.size(), 3u);
  ASSERT_LE(stack.size(), TarvDiag::kMaxStackFrames);
  bool found = false;
  for (uint64_t address : stack) {
    TarvDiag::StackFrameInfo f = TarvDiag::ResolveFrame(address);
    if (f.function.find(L"CaptureHere") == std::wstring::npos) continue;
    found = true;
    EXPECT_NE(f.file.find(L"call_stack_test.cpp"), std::wstring::npos);
    EXPECT_GT(f.line, 0);
    EXPECT_NE(f.module.find(L"tarv_diag_tests"), std::wstring::npos);
  }
  EXPECT_TRUE(found);

  TarvDiag::StackFrameInfo unknown = TarvDiag::ResolveFrame(0x10);
  EXPECT_EQ(unknown.module, L"");
  EXPECT_EQ(unknown.function, L"");
  EXPECT_EQ(unknown.file, L"<unknown>");
  EXPECT_EQ(unknown.line, -1);
}

}  // namespace
