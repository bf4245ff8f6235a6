#include "apply/patch_list.h"

#include <gtest/gtest.h>

#include "apply/patch_path.h"
#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

const char kNew[] = "0123456789abcdef0123456789abcdef";
const char kOld[] = "fedcba9876543210fedcba9876543210";

std::vector<std::vector<std::wstring>> Entries(const PatchFileList& list) {
  std::vector<std::vector<std::wstring>> out;
  for (const auto& e : list) out.push_back({e.m_path, e.m_newDigest, e.m_oldDigest});
  return out;
}

TEST(PatchListTest, LineEndsAndEncodingGiveTheSameEntries) {
  const std::vector<std::vector<std::wstring>> kTwo = {
      {L"Sub\\File.dat", L"0123456789abcdef0123456789abcdef", L"fedcba9876543210fedcba9876543210"},
      {L"Größe ü.txt", L"", L"x"}};
  const std::string a = std::string("Sub\\File.dat") + "\r\n" + kNew + "\r\n" + kOld + "\r\n" +
                        "Größe ü.txt\r\n\r\nx";
  std::string lf = a, cr = a, mixed;
  for (size_t p; (p = lf.find("\r\n")) != std::string::npos;) lf.replace(p, 2, "\n");
  for (size_t p; (p = cr.find("\r\n")) != std::string::npos;) cr.replace(p, 2, "\r");
  mixed =
      std::string("Sub\\File.dat") + "\r" + kNew + "\n" + kOld + "\r\n" + "Größe ü.txt\n\rx\r\n";
  const std::pair<const char*, std::string> kCases[] = {
      {"CR LF", a},     {"CR LF and final", a + "\r\n"},
      {"LF", lf},       {"LF and final", lf + "\n"},
      {"CR", cr},       {"CR and final", cr + "\r"},
      {"mixed", mixed}, {"byte-order mark", "\xEF\xBB\xBF" + a},
  };
  for (const auto& [name, text] : kCases) {
    PatchFileList list;
    std::string why;
    ASSERT_EQ(ParsePatchFileList(text, list, &why), ListResult::kOk) << name << ": " << why;
    EXPECT_EQ(Entries(list), kTwo) << name;
  }
}

TEST(PatchListTest, LinesAreTakenAsTheyStand) {
  PatchFileList list;
  std::string text = std::string("a.txt \n") + kNew + "\n " + kOld + "\n";
  ASSERT_EQ(ParsePatchFileList(text, list, nullptr), ListResult::kOk);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].m_path, L"a.txt ");  // the trailing blank stays
  EXPECT_EQ(list[0].m_oldDigest, L" fedcba9876543210fedcba9876543210");

  // Only one leading byte-order mark is skipped; a second one is text.
  ASSERT_EQ(ParsePatchFileList("\xEF\xBB\xBF\xEF\xBB\xBF"
                               "a\nb\nc",
                               list, nullptr),
            ListResult::kOk);
  EXPECT_EQ(list[0].m_path, L"\uFEFFa");

  ASSERT_EQ(ParsePatchFileList("", list, nullptr), ListResult::kOk);
  EXPECT_TRUE(list.empty());
  ASSERT_EQ(ParsePatchFileList("\n\n\n", list, nullptr), ListResult::kOk);
  EXPECT_EQ(Entries(list), (std::vector<std::vector<std::wstring>>{{L"", L"", L""}}));

  ASSERT_EQ(ParsePatchFileList("p\nn\no\n", list, nullptr, /*paths_only=*/true), ListResult::kOk);
  EXPECT_EQ(Entries(list), (std::vector<std::vector<std::wstring>>{{L"p", L"", L""}}));
}

TEST(PatchListTest, BrokenListsAreRefusedWhole) {
  const std::pair<std::string, std::string> kCases[] = {
      {"a\nb\n", "the number of lines is not a multiple of three"},
      {"a\nb\nc\nd", "the number of lines is not a multiple of three"},
      {"\n", "the number of lines is not a multiple of three"},
      {"a\r\n\r\nb\nc", "the number of lines is not a multiple of three"},
      {"a\xff\nb\nc\n", "not valid UTF-8"},
      {"a\xC0\xAF\nb\nc\n", "not valid UTF-8"},  // overlong "/"
      {std::string("a\0b\nc\nd\n", 9), "contains a zero byte"},
  };
  for (const auto& [text, reason] : kCases) {
    PatchFileList list = {PatchFileEntry{L"stale", L"", L""}};
    std::string why;
    EXPECT_EQ(ParsePatchFileList(text, list, &why), ListResult::kBroken) << text;
    EXPECT_EQ(why, reason) << text;
    EXPECT_TRUE(list.empty());
  }
}

TEST(PatchListTest, ReadingFiles) {
  tarvtest::ScopedTempDir dir;
  tarvtest::WriteFile(dir.Sub("ok.txt"), "p\r\nn\r\no");
  tarvtest::WriteFile(dir.Sub("big.txt"), std::string(kMaxListBytes + 1, 'a'));
  tarvtest::MakeDirs(dir.Sub("folder.txt"));
  PatchFileList list;
  std::string why;
  EXPECT_EQ(ReadPatchFileList(TarvUtil::FromFsPath(dir.Sub("ok.txt")), list, &why),
            ListResult::kOk);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(ReadPatchFileList(TarvUtil::FromFsPath(dir.Sub("missing.txt")), list, &why),
            ListResult::kCannotOpen);
  EXPECT_EQ(ReadPatchFileList(TarvUtil::FromFsPath(dir.Sub("folder.txt")), list, &why),
            ListResult::kCannotOpen);
  EXPECT_EQ(ReadPatchFileList(TarvUtil::FromFsPath(dir.Sub("big.txt")), list, &why),
            ListResult::kBroken);
  EXPECT_EQ(why, "larger than 64 MiB");
}

TEST(PatchPathTest, SplittingAndSafety) {
  struct Case {
    std::wstring path;
    std::wstring joined;  // under "/i"
    bool safe;
  };
  const Case kCases[] = {
      {L"Sub\\File.dat", L"/i/Sub/File.dat", true},
      {L"Sub/Deeper\\File.dat", L"/i/Sub/Deeper/File.dat", true},
      {L"C:\\Game\\x.exe", L"/i/Game/x.exe", true},
      {L"c:rel.txt", L"/i/rel.txt", true},
      {L"\\\\server\\share\\f", L"/i/server/share/f", true},
      {L"/etc/passwd", L"/i/etc/passwd", true},
      {L"a\\\\b", L"/i/a/b", true},
      {L".\\a", L"/i/./a", true},
      {L"..\\victim.txt", L"", false},
      {L"Sub\\..\\..\\x", L"", false},
      {L"C:\\..\\x", L"", false},
      {L"a/..", L"", false},
      {L"Sub\\", L"", false},
      {L"", L"", false},
      {L"..a\\b..", L"/i/..a/b..", true},
  };
  for (const auto& c : kCases) {
    EntryPath p = SplitEntryPath(c.path);
    EXPECT_EQ(IsSafeEntryPath(p), c.safe) << TarvUtil::FsPath(c.path);
    if (c.safe) {
      EXPECT_EQ(JoinEntryPath(L"/i", p), c.joined) << TarvUtil::FsPath(c.path);
    }
  }
  EXPECT_EQ(JoinEntryPath(L"/p/data", SplitEntryPath(L"Sub\\File.dat"), L".diff"),
            L"/p/data/Sub/File.dat.diff");
  EXPECT_EQ(EntryDirectory(L"/i/", SplitEntryPath(L"Sub\\File.dat")), L"/i/Sub");
}

}  // namespace
}  // namespace TarvPatch
