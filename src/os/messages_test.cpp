#include "os/messages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <thread>

#include "diag/text_encoding.h"
#include "os/registry.h"
#include "support/test_support.h"

namespace TarvMessages {
namespace {

constexpr Language kLanguages[] = {Language::kEnglish, Language::kGerman, Language::kFrench};

std::set<int> ExpectedIds() {
  std::set<int> ids;
  for (int id = 101; id <= 177; ++id) {
    if (id != 133 && id != 155 && id != 156) ids.insert(id);
  }
  return ids;
}

// The printf conversions of the text in order, each followed by "|".
std::string Placeholders(const std::wstring& text) {
  std::string found;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') continue;
    size_t end = text.find_first_not_of(L"-+ #0123456789.hlLqjzt", i + 1);
    if (end == std::wstring::npos) end = text.size() - 1;
    found += TarvText::ToUtf8(text.substr(i, end - i + 1)) + "|";
    i = end;
  }
  return found;
}

std::wstring LeadingBlanks(const std::wstring& text) {
  return text.substr(0, text.find_first_not_of(L" \t\n"));
}

std::wstring TrailingBlanks(const std::wstring& text) {
  size_t last = text.find_last_not_of(L" \t\n");
  return last == std::wstring::npos ? text : text.substr(last + 1);
}

TEST(MessagesTest, EveryTableHoldsExactlyTheSeventyFourIds) {
  std::set<int> expected = ExpectedIds();
  ASSERT_EQ(expected.size(), 74u);
  for (Language language : kLanguages) {
    for (int id = 90; id <= 190; ++id) {
      bool present = !LoadMessage(id, language).empty();
      EXPECT_EQ(present, expected.count(id) == 1)
          << "id " << id << " language " << static_cast<int>(language);
    }
  }
}

TEST(MessagesTest, TranslationsKeepPlaceholdersEdgesAndLimits) {
  for (int id : ExpectedIds()) {
    std::wstring english = LoadMessage(id, Language::kEnglish);
    for (Language language : {Language::kGerman, Language::kFrench}) {
      std::wstring text = LoadMessage(id, language);
      SCOPED_TRACE("id " + std::to_string(id) + ": " + TarvText::ToUtf8(text));
      EXPECT_EQ(Placeholders(text), Placeholders(english));
      EXPECT_EQ(LeadingBlanks(text), LeadingBlanks(english));
      EXPECT_EQ(TrailingBlanks(text), TrailingBlanks(english));
      // Option names are matched on the command line: never translated.
      if (id <= 120) {
        EXPECT_EQ(text, english);
      }
      // Descriptions are read into 63 characters, every other text into 255.
      EXPECT_LE(text.size(), id <= 130 ? 63u : 255u);
    }
    EXPECT_LE(english.size(), id <= 130 ? 63u : 255u);
  }
  EXPECT_EQ(Placeholders(LoadMessage(175, Language::kFrench)), "%lu|%lu|%lu|");
  EXPECT_EQ(Placeholders(LoadMessage(174, Language::kGerman)), "%lu|%lu|%lu|%lu|");
}

TEST(MessagesTest, EnglishTextsAreExact) {
  struct Case {
    int id;
    const wchar_t* text;
  };
  const Case cases[] = {
      {101, L"h"},
      {120, L"onexit"},
      {121, L"print usage"},
      {131, L" to "},
      {132,
       L"The current system user account does not have sufficient privileges to install "
       L"necessary Tarv patches.\nPlease login with Administrative access and try again."},
      {151, L"Patching...\n"},
      {152, L"\nFailed to apply the patch: "},
      {160, L"Repair isn't implemented!"},
      {165, L"ManualPatchPath:      "},
      {174, L"Download Progress %lu kB of %lu kB, %lu hr %lu min remaining"},
      {176, L"about:blank"},
  };
  for (const Case& c : cases) EXPECT_EQ(LoadMessage(c.id, Language::kEnglish), c.text) << c.id;
  // Descriptions and messages are translated.
  EXPECT_NE(LoadMessage(121, Language::kGerman), LoadMessage(121, Language::kEnglish));
  EXPECT_NE(LoadMessage(121, Language::kFrench), LoadMessage(121, Language::kEnglish));
  EXPECT_NE(LoadMessage(162, Language::kGerman), LoadMessage(162, Language::kFrench));
  EXPECT_EQ(LoadMessage(144, Language::kGerman).find(L"Gr\u00f6\u00dfe"), 4u);
}

}  // namespace
}  // namespace TarvMessages
