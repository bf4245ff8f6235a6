#include "ui/terminal_progress.h"

#include <gtest/gtest.h>

#include "os/messages.h"

namespace TarvPatch {
namespace {

using TarvMessages::Language;

class TerminalProgressTest : public ::testing::Test {
 protected:
  void TearDown() override { TarvMessages::SetThreadLanguage(Language::kEnglish); }
};

TEST_F(TerminalProgressTest, TransferLineInEveryLanguage) {
  struct Case {
    uint64_t done, total;
    double elapsed;
    const char* english;
    const char* german;
    const char* french;
  };
  const Case cases[] = {
      // 0.5 MB/s with 15 MB left: 30 seconds.
      {5'000'000, 20'000'000, 10, "25% 5.00 of 20.0 MB, 0.50 MB/s, 0:30 left",
       "25 % 5,00 von 20,0 MB, 0,50 MB/s, noch 0:30",
       "25 % 5,00 sur 20,0 Mo, 0,50 Mo/s, reste 0:30"},
      // Nothing yet: no estimate rather than an infinite one.
      {0, 20'000'000, 3, "0% 0.00 of 20.0 MB, 0.00 MB/s, --:-- left",
       "0 % 0,00 von 20,0 MB, 0,00 MB/s, noch --:--",
       "0 % 0,00 sur 20,0 Mo, 0,00 Mo/s, reste --:--"},
      // Bytes but no time yet.
      {1'000'000, 20'000'000, 0, "5% 1.00 of 20.0 MB, 0.00 MB/s, --:-- left",
       "5 % 1,00 von 20,0 MB, 0,00 MB/s, noch --:--",
       "5 % 1,00 sur 20,0 Mo, 0,00 Mo/s, reste --:--"},
      // Complete.
      {20'000'000, 20'000'000, 4, "100% 20.0 of 20.0 MB, 5.00 MB/s, 0:00 left",
       "100 % 20,0 von 20,0 MB, 5,00 MB/s, noch 0:00",
       "100 % 20,0 sur 20,0 Mo, 5,00 Mo/s, reste 0:00"},
      // More than announced: shown as it is, but never above 100 % or below
      // no time left.
      {30'000'000, 20'000'000, 10, "100% 30.0 of 20.0 MB, 3.00 MB/s, 0:00 left",
       "100 % 30,0 von 20,0 MB, 3,00 MB/s, noch 0:00",
       "100 % 30,0 sur 20,0 Mo, 3,00 Mo/s, reste 0:00"},
      // Hours: 4999 MB at 0.1 MB/s is 49990 s.
      {1'000'000, 5'000'000'000, 10, "0% 1.00 of 5000.0 MB, 0.10 MB/s, 13:53:10 left",
       "0 % 1,00 von 5000,0 MB, 0,10 MB/s, noch 13:53:10",
       "0 % 1,00 sur 5000,0 Mo, 0,10 Mo/s, reste 13:53:10"},
      // Percent is cut, megabytes are rounded, seconds left round up; a
      // small archive still moves in the second decimal.
      {18'999, 20'000, 1, "94% 0.02 of 0.02 MB, 0.02 MB/s, 0:01 left",
       "94 % 0,02 von 0,02 MB, 0,02 MB/s, noch 0:01",
       "94 % 0,02 sur 0,02 Mo, 0,02 Mo/s, reste 0:01"},
      {9'996'000, 12'345'678, 2, "80% 10.00 of 12.3 MB, 5.00 MB/s, 0:01 left",
       "80 % 10,00 von 12,3 MB, 5,00 MB/s, noch 0:01",
       "80 % 10,00 sur 12,3 Mo, 5,00 Mo/s, reste 0:01"},
      // No size from the server: megabytes and speed only.
      {123'456'789, 0, 10, "123.5 MB, 12.3 MB/s", "123,5 MB, 12,3 MB/s", "123,5 Mo, 12,3 Mo/s"},
      {0, 0, 0, "0.00 MB, 0.00 MB/s", "0,00 MB, 0,00 MB/s", "0,00 Mo, 0,00 Mo/s"},
      // Sizes near the top of the range do not overflow.
      {UINT64_MAX / 2, UINT64_MAX, 0,
       "49% 9223372036854.8 of 18446744073709.6 MB, 0.00 MB/s, --:-- left",
       "49 % 9223372036854,8 von 18446744073709,6 MB, 0,00 MB/s, noch --:--",
       "49 % 9223372036854,8 sur 18446744073709,6 Mo, 0,00 Mo/s, reste --:--"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.english);
    const std::pair<Language, const char*> expected[] = {{Language::kEnglish, c.english},
                                                         {Language::kGerman, c.german},
                                                         {Language::kFrench, c.french}};
    for (const auto& [language, text] : expected) {
      TarvMessages::SetThreadLanguage(language);
      EXPECT_EQ(FormatTransferProgress(c.done, c.total, c.elapsed).utf8_string(), text);
    }
  }
}

TEST_F(TerminalProgressTest, PhaseLineInEveryLanguage) {
  const std::pair<Language, const char*> cases[] = {
      {Language::kEnglish, "Applying: 3 of 40"},
      {Language::kGerman, "Anwenden: 3 von 40"},
      {Language::kFrench, "Application : 3 sur 40"},
  };
  for (const auto& [language, text] : cases) {
    TarvMessages::SetThreadLanguage(language);
    EXPECT_EQ(FormatPhaseProgress(3, 40).utf8_string(), text);
  }
}

}  // namespace
}  // namespace TarvPatch
