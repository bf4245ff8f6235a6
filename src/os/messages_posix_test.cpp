// The language comes from the machine hive's record; these cases write the
// hive file of the Linux counterpart of the registry directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "os/messages.h"
#include "support/test_support.h"

namespace TarvMessages {
namespace {

class SelectLanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hive_ = dir_.Sub("machine.conf");
    setenv("OBELK_MACHINE_REGISTRY", hive_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("OBELK_MACHINE_REGISTRY");
    SetThreadLanguage(Language::kEnglish);
  }
  tarvtest::ScopedTempDir dir_;
  std::string hive_;
};

TEST_F(SelectLanguageTest, LanguageIdChoosesTheTable) {
  struct Case {
    const char* hive;  // nullptr: no hive file at all
    Language expected;
  };
  const Case cases[] = {
      {nullptr, Language::kEnglish},
      {"[SOFTWARE/Obelk/Tarv]\nLanguageID=dword:00000001\n", Language::kFrench},
      {"[SOFTWARE/Obelk/Tarv]\nLanguageID=dword:00000002\n", Language::kGerman},
      {"[Software/Obelk/Tarv]\nlanguageid=dword:00000002\n", Language::kGerman},
      {"[SOFTWARE/Obelk/Tarv]\nLanguageID=dword:00000003\n", Language::kEnglish},
      {"[SOFTWARE/Obelk/Tarv]\nLanguageID=hex:02,00\n", Language::kEnglish},
      {"[SOFTWARE/Obelk/Tarv]\nLanguageID=hex(4):02,00,00,00\n", Language::kGerman},
      {"[SOFTWARE/Obelk/Tarv]\nLanguageID=2\n", Language::kEnglish},
      {"[SOFTWARE/Obelk/Tarv]\nOther=dword:00000002\n", Language::kEnglish},
      {"[SOFTWARE/Obelk]\nLanguageID=dword:00000002\n", Language::kEnglish},
  };
  for (const Case& c : cases) {
    tarvtest::RemoveTree(hive_);
    if (c.hive != nullptr) tarvtest::WriteFile(hive_, c.hive);
    SetThreadLanguage(Language::kFrench == c.expected ? Language::kGerman : Language::kFrench);
    EXPECT_EQ(SelectLanguage(), c.expected) << (c.hive ? c.hive : "no hive");
    EXPECT_EQ(ThreadLanguage(), c.expected);
  }
}

TEST_F(SelectLanguageTest, EachThreadHasItsOwnLanguage) {
  tarvtest::WriteFile(hive_, "[SOFTWARE/Obelk/Tarv]\nLanguageID=dword:00000002\n");
  ASSERT_EQ(SelectLanguage(), Language::kGerman);
  std::wstring other_thread_text;
  Language other_thread_language = Language::kGerman;
  std::thread worker([&] {
    other_thread_language = ThreadLanguage();
    other_thread_text = LoadMessage(163);
  });
  worker.join();
  EXPECT_EQ(other_thread_language, Language::kEnglish);
  EXPECT_EQ(other_thread_text, L"Patching aborted.");
  EXPECT_EQ(LoadMessage(163), LoadMessage(163, Language::kGerman));
}

}  // namespace
}  // namespace TarvMessages
