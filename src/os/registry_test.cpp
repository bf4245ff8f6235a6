#include "os/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/text_encoding.h"

namespace OS {
namespace {

TEST(RegistryValueTest, StoredFormRoundTrips) {
  struct Case {
    RegistryValue value;
    std::string stored;
  };
  RegistryValue short_dword;
  short_dword.type = RegistryType::kDword;
  short_dword.data = {2, 0};
  RegistryValue qword;
  qword.type = RegistryType::kQword;
  qword.data = {1, 2, 3, 4, 5, 6, 7, 8};
  const Case cases[] = {
      {RegistryValue::Dword(2), "dword:00000002"},
      {RegistryValue::Dword(0xDEADBEEF), "dword:deadbeef"},
      {RegistryValue::Binary({2, 0}), "hex:02,00"},
      {RegistryValue::Binary({}), "hex:"},
      {short_dword, "hex(4):02,00"},
      {qword, "hex(b):01,02,03,04,05,06,07,08"},
      {RegistryValue::String(L"C:\\Games\\Tarv"), "C:\\Games\\Tarv"},
      {RegistryValue::String(L""), ""},
      {RegistryValue::String(L"Stra\u00dfe"),
       "Stra\xc3\x9f"
       "e"},
      // Strings that look typed are escaped so that they stay strings.
      {RegistryValue::String(L"dword:00000002"), "sz:dword:00000002"},
      {RegistryValue::String(L"HEX:01"), "sz:HEX:01"},
      {RegistryValue::String(L"hex(4):00"), "sz:hex(4):00"},
      {RegistryValue::String(L"sz:x"), "sz:sz:x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatRegistryValue(c.value), c.stored);
    RegistryValue parsed;
    ASSERT_TRUE(ParseRegistryValue(c.stored, &parsed)) << c.stored;
    EXPECT_EQ(parsed, c.value) << c.stored;
  }
}

TEST(RegistryValueTest, MalformedTypedValuesAreRefused) {
  for (const char* stored :
       {"dword:2", "dword:0000000g", "dword:000000020", "hex:0x", "hex:02,,00", "hex:123",
        "hex:02,", "hex(zz):00", "hex(1):41,00", "hex(4)02", "hex():00", "hex(123456789):00"}) {
    RegistryValue value;
    EXPECT_FALSE(ParseRegistryValue(stored, &value)) << stored;
  }
}

TEST(RegistryValueTest, SizeIsWhatAQueryReports) {
  EXPECT_EQ(RegistryValue::Dword(7).Size(), 4u);
  EXPECT_EQ(RegistryValue::Binary({2, 0}).Size(), 2u);
  EXPECT_EQ(RegistryValue::String(L"ab").Size(), 6u);  // UTF-16 with terminator
  EXPECT_EQ(RegistryValue::String(L"").Size(), 2u);
}

TEST(HiveLinesTest, MaskThenRestoreIsTheIdentity) {
  const std::string texts[] = {
      "", "\n", "a", "[x]\n\xe4\n", "#tarv-kept-line~0\n#tarv-kept-line~~1\nodd", "=v\n k \n",
  };
  for (const std::string& text : texts) {
    KeptHiveLines kept;
    const std::string masked = MaskHiveLines(text, &kept);
    EXPECT_TRUE(TarvText::IsValidUtf8(masked)) << text;
    EXPECT_TRUE(RestoreHiveLines(masked, kept) == text) << text;
  }
}

// Points both hives at places of their own for one test: files in a fresh
// folder on Linux, keys of their own below the user's key on Windows.
class RegistryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path base =
        std::filesystem::temp_directory_path() /
        ("tarv-registry-" + std::string(info->name()) + "-" + std::to_string(std::rand()));
    folder_ = base.string();
    SetVariable("OBELK_MACHINE_REGISTRY", (base / "machine.conf").string());
    SetVariable("OBELK_USER_REGISTRY", (base / "user.conf").string());
  }
  void TearDown() override {
    SetVariable("OBELK_MACHINE_REGISTRY", "");
    SetVariable("OBELK_USER_REGISTRY", "");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  static void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
  }

  std::string folder_;
};

RegistryValue Typed(RegistryType type, std::vector<uint8_t> data) {
  RegistryValue value;
  value.type = type;
  value.data = std::move(data);
  return value;
}

// What the store gives back is what was stored: type, bytes and size, in
// either hive, for every type the installation record and the game use.
TEST_F(RegistryStoreTest, TypedValuesKeepTypeAndSize) {
  const struct {
    const wchar_t* name;
    RegistryValue value;
  } cases[] = {
      {L"LanguageID", RegistryValue::Dword(2)},
      {L"Big", RegistryValue::Dword(0xDEADBEEF)},
      {L"Short", RegistryValue::Binary({2, 0})},
      {L"Empty", RegistryValue::Binary({})},
      {L"ShortDword", Typed(RegistryType::kDword, {2, 0})},
      {L"Qword", Typed(RegistryType::kQword, {1, 2, 3, 4, 5, 6, 7, 8})},
      {L"Expand", Typed(RegistryType::kExpandString, {'%', 0, 'X', 0, '%', 0, 0, 0})},
      {L"InstallPath", RegistryValue::String(L"C:\\Games\\Tarv")},
      {L"Blank", RegistryValue::String(L"")},
      {L"Odd", RegistryValue::String(L"  \"x\" $HOME\\n\t;#=[a]")},
      {L"Typed", RegistryValue::String(L"dword:00000002")},
      {L"Wide", RegistryValue::String(L"Stra\u00dfe \u20ac \U0001F600")},
  };
  for (RegistryHive hive : {RegistryHive::kMachine, RegistryHive::kUser}) {
    RegistryKey key;
    std::string error;
    ASSERT_TRUE(key.Create(hive, L"Software\\Obelk\\Tarv", &error)) << error;
    for (const auto& c : cases) {
      ASSERT_TRUE(key.SetValue(c.name, c.value, &error)) << TarvText::ToUtf8(c.name) << error;
    }
    RegistryKey reader;
    ASSERT_TRUE(reader.Open(hive, L"SOFTWARE\\obelk\\TARV", RegistryKey::Access::kRead, &error))
        << error;
    for (const auto& c : cases) {
      RegistryValue back;
      EXPECT_TRUE(reader.QueryValue(c.name, &back, &error)) << TarvText::ToUtf8(c.name) << error;
      EXPECT_EQ(back, c.value) << TarvText::ToUtf8(c.name);
      EXPECT_EQ(back.Size(), c.value.Size()) << TarvText::ToUtf8(c.name);
    }
  }
}

// Exactly four bytes of a non-string type make a number; text only comes
// from strings; names of keys and values compare without regard to case.
TEST_F(RegistryStoreTest, NumbersAndTextOnlyFromTheirOwnTypes) {
  RegistryKey key;
  ASSERT_TRUE(key.Create(RegistryHive::kMachine, L"Software\\Obelk\\Tarv"));
  ASSERT_TRUE(key.SetDword(L"LanguageID", 2));
  ASSERT_TRUE(key.SetString(L"InstallPath", L"C:\\Games"));
  ASSERT_TRUE(key.SetValue(L"Short", RegistryValue::Binary({2, 0})));
  ASSERT_TRUE(key.SetValue(L"Four", RegistryValue::Binary({1, 0, 0, 0})));
  const struct {
    const wchar_t* name;
    bool is_number;
    uint32_t number;
    bool is_text;
  } cases[] = {
      {L"languageid", true, 2, false},  {L"Four", true, 1, false},     {L"Short", false, 0, false},
      {L"INSTALLPATH", false, 0, true}, {L"Missing", false, 0, false},
  };
  for (const auto& c : cases) {
    uint32_t number = 0;
    std::wstring text;
    EXPECT_EQ(key.QueryDword(c.name, &number), c.is_number) << TarvText::ToUtf8(c.name);
    if (c.is_number) {
      EXPECT_EQ(number, c.number) << TarvText::ToUtf8(c.name);
    }
    EXPECT_EQ(key.QueryString(c.name, &text), c.is_text) << TarvText::ToUtf8(c.name);
  }
  // The other hive holds none of it.
  RegistryKey user;
  EXPECT_FALSE(
      user.Open(RegistryHive::kUser, L"Software\\Obelk\\Tarv", RegistryKey::Access::kRead));
}

TEST_F(RegistryStoreTest, InvalidUseIsRefusedWithAReason) {
  RegistryKey key;
  std::string error;
  for (const wchar_t* path : {L"a\\\\b", L"\\a", L"a\\", L"a/b", L"a\\..\\b", L"[x]"}) {
    error.clear();
    EXPECT_FALSE(key.Create(RegistryHive::kUser, path, &error)) << TarvText::ToUtf8(path);
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(key.Open(RegistryHive::kUser, L"Missing", RegistryKey::Access::kRead, &error));
  EXPECT_NE(error.find("not found"), std::string::npos) << error;

  ASSERT_TRUE(key.Create(RegistryHive::kUser, L"K", &error)) << error;
  ASSERT_TRUE(key.SetDword(L"V", 1));
  EXPECT_FALSE(key.SetDword(L"", 1, &error));
  EXPECT_FALSE(key.SetDword(L"a/b", 1, &error));
  EXPECT_FALSE(key.DeleteValue(L"Missing", &error));
  EXPECT_TRUE(key.DeleteValue(L"v", &error)) << error;
  uint32_t number = 0;
  EXPECT_FALSE(key.QueryDword(L"V", &number));

  RegistryKey reader;
  ASSERT_TRUE(reader.Open(RegistryHive::kUser, L"K", RegistryKey::Access::kRead));
  EXPECT_FALSE(reader.SetDword(L"V", 1, &error));
  EXPECT_NE(error.find("writing"), std::string::npos) << error;
  // A sub key that was never made does not exist; an existing one opens
  // under any spelling.
  EXPECT_FALSE(reader.Open(RegistryHive::kUser, L"K\\Sub", RegistryKey::Access::kRead));
  EXPECT_TRUE(reader.Open(RegistryHive::kUser, L"k", RegistryKey::Access::kWrite));
}

}  // namespace
}  // namespace OS
