#include "patchserver/patch_catalogue.h"

#include <gtest/gtest.h>

#include "data/file_util.h"

namespace {

// Records as "source>target|exe|data", sorted by source.
std::vector<std::string> Parse(const std::string& text, const std::wstring& server, bool* found) {
  TarvDataBufferMemoryDynamic buffer;
  buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
  buffer.SetPosition(0);
  PatchCatalogue catalogue;
  *found = catalogue.ParseCatalogue(&buffer, server);
  std::vector<std::string> out;
  for (const auto& [source, info] : catalogue.Records()) {
    out.push_back(source + ">" + info.targetVersion + "|" + TarvUtil::ToNarrow(info.patchExeUrl) +
                  "|" + TarvUtil::ToNarrow(info.patchDataUrl));
  }
  return out;
}

std::string Record(const std::string& source, const std::string& target, const std::string& eol,
                   const std::string& data = "p.zip") {
  return "source-version: " + source + eol + "target-version: " + target + eol +
         "patch-exe-url: p.exe" + eol + "patch-data-url: " + data + eol;
}

struct Case {
  const char* name;
  std::string text;
  std::wstring server;
  bool found;
  std::vector<std::string> records;
};

void Check(const Case& c) {
  SCOPED_TRACE(c.name);
  bool found = !c.found;
  EXPECT_EQ(Parse(c.text, c.server, &found), c.records);
  EXPECT_EQ(found, c.found);
}

const std::wstring kSrv = L"http://srv/patches";

TEST(ParseCatalogue, LineEndsOfAllFourKindsGiveTheSameRecords) {
  const std::vector<std::string> two = {"1.0>1.1|p.exe|http://srv/patches/p.zip",
                                        "1.1>1.2|p.exe|http://srv/patches/p.zip"};
  for (const char* eol : {"\r\n", "\n", "\r", "\n\r"}) {
    std::string e = eol;
    Check({eol, Record("1.0", "1.1", e) + e + Record("1.1", "1.2", e), kSrv, true, two});
    // Several empty lines before, between and after.
    Check({eol, e + e + Record("1.0", "1.1", e) + e + e + e + Record("1.1", "1.2", e) + e + e, kSrv,
           true, two});
  }
}

TEST(ParseCatalogue, RecordsKeysAndValues) {
  const std::string r10 = Record("1.0", "1.1", "\n");
  const Case cases[] = {
      {"blank line joins records, later key wins",
       Record("1.0", "1.1", "\n") + "   \n" + Record("1.0", "2.0", "\n"),
       kSrv,
       true,
       {"1.0>2.0|p.exe|http://srv/patches/p.zip"}},
      {"key case",
       "Source-Version: 1.0\nTARGET-VERSION: 1.1\nPatch-Exe-Url: p.exe\nPATCH-data-URL: p.zip\n",
       kSrv,
       true,
       {"1.0>1.1|p.exe|http://srv/patches/p.zip"}},
      {"spaces around line, key and value",
       "  source-version  :   1.0   \ntarget-version:1.1\npatch-exe-url :p.exe\npatch-data-url: "
       "p.zip\n",
       kSrv,
       true,
       {"1.0>1.1|p.exe|http://srv/patches/p.zip"}},
      {"1.00 is another version",
       Record("1.00", "1.1", "\n"),
       kSrv,
       true,
       {"1.00>1.1|p.exe|http://srv/patches/p.zip"}},
      {"quoted value",
       Record("\"1.0\"", "\" 1.1 \"", "\n"),
       kSrv,
       true,
       {"1.0> 1.1 |p.exe|http://srv/patches/p.zip"}},
      {"value only beginning with a quote",
       Record("\"1.0", "1.1\"", "\n"),
       kSrv,
       true,
       {"\"1.0>1.1\"|p.exe|http://srv/patches/p.zip"}},
      {"empty quotes count as missing", Record("1.0", "\"\"", "\n"), kSrv, false, {}},
      {"a lone quote stays",
       Record("1.0", "\"", "\n"),
       kSrv,
       true,
       {"1.0>\"|p.exe|http://srv/patches/p.zip"}},
      {"tab before a key",
       "\tsource-version: 1.0\n" + r10.substr(r10.find("target")),
       kSrv,
       false,
       {}},
      {"byte-order mark hides the first key",
       "\xEF\xBB\xBF" + r10 + "\n" + Record("1.1", "1.2", "\n"),
       kSrv,
       true,
       {"1.1>1.2|p.exe|http://srv/patches/p.zip"}},
      {"colons in the value",
       Record("1.0", "1.1", "\n", "http://srv:8080/dir/p.zip"),
       kSrv,
       true,
       {"1.0>1.1|p.exe|http://srv:8080/dir/p.zip"}},
      {"line without colon spoils only its record",
       Record("1.0", "1.1", "\n") + "comment line\n\n" + Record("1.1", "1.2", "\n"),
       kSrv,
       true,
       {"1.1>1.2|p.exe|http://srv/patches/p.zip"}},
      {"missing key",
       "source-version: 1.0\ntarget-version: 1.1\npatch-exe-url: p.exe\n",
       kSrv,
       false,
       {}},
      {"other keys ignored",
       "md5: abc\n" + Record("1.0", "1.1", "\n"),
       kSrv,
       true,
       {"1.0>1.1|p.exe|http://srv/patches/p.zip"}},
      {"duplicates: the later record stays",
       Record("1.0", "1.1", "\n") + "\n" + Record("1.0", "1.5", "\n"),
       kSrv,
       true,
       {"1.0>1.5|p.exe|http://srv/patches/p.zip"}},
      {"last line without line end completes its record",
       Record("1.0", "1.1", "\n").substr(0, Record("1.0", "1.1", "\n").size() - 1),
       kSrv,
       true,
       {"1.0>1.1|p.exe|http://srv/patches/p.zip"}},
      {"one lone last line without line end", "\n\nsource-version: 1.0", kSrv, false, {}},
      {"CR CR splits a record in two",
       "source-version: 1.0\rtarget-version: 1.1\r\rpatch-exe-url: p.exe\rpatch-data-url: p.zip\r",
       kSrv,
       false,
       {}},
      {"empty file", "", kSrv, false, {}},
      {"HTML error page", "<html><body><h1>404 Not Found</h1></body></html>\n", kSrv, false, {}},
  };
  for (const Case& c : cases) Check(c);
}

TEST(ParseCatalogue, DataAddressesAbsoluteOrJoinedToTheServer) {
  const std::string r = "source-version: 1.0\ntarget-version: 1.1\npatch-exe-url: p.exe\n";
  const Case cases[] = {
      {"relative",
       r + "patch-data-url: data/p.zip\n",
       L"http://srv/patches",
       true,
       {"1.0>1.1|p.exe|http://srv/patches/data/p.zip"}},
      {"slashes on both sides",
       r + "patch-data-url: /data/p.zip\n",
       L"http://srv/patches/",
       true,
       {"1.0>1.1|p.exe|http://srv/patches/data/p.zip"}},
      {"backslash",
       r + "patch-data-url: \\data/p.zip\n",
       L"ftp://srv/pub\\",
       true,
       {"1.0>1.1|p.exe|ftp://srv/pub\\data/p.zip"}},
      {"absolute http in capitals",
       r + "patch-data-url: HTTP://other/p.zip\n",
       kSrv,
       true,
       {"1.0>1.1|p.exe|HTTP://other/p.zip"}},
      {"absolute ftp",
       r + "patch-data-url: ftp://other/p.zip\n",
       kSrv,
       true,
       {"1.0>1.1|p.exe|ftp://other/p.zip"}},
      {"absolute https",
       r + "patch-data-url: HTTPS://other/p.zip\n",
       kSrv,
       true,
       {"1.0>1.1|p.exe|HTTPS://other/p.zip"}},
      {"https without its slashes is relative",
       r + "patch-data-url: https:other/p.zip\n",
       kSrv,
       true,
       {"1.0>1.1|p.exe|http://srv/patches/https:other/p.zip"}},
      {"relative without server", r + "patch-data-url: p.zip\n", L"", false, {}},
      {"absolute without server",
       r + "patch-data-url: http://other/p.zip\n",
       L"",
       true,
       {"1.0>1.1|p.exe|http://other/p.zip"}},
  };
  for (const Case& c : cases) Check(c);
}

TEST(ParseCatalogue, ArchiveSizeAndDigestAreOptionalButMustBeWellFormed) {
  const std::string r = Record("1.0", "1.1", "\n");
  const std::string digest(64, 'a');
  struct {
    const char* name;
    std::string fields;
    bool valid;
    std::optional<uint64_t> size;
    std::string sha256;
  } cases[] = {
      {"neither", "", true, std::nullopt, ""},
      {"both", "patch-data-size: 1234\npatch-data-sha256: " + digest + "\n", true, 1234, digest},
      {"digest in capitals, quoted, key in capitals",
       "PATCH-DATA-SHA256: \"" + std::string(64, 'A') + "\"\n", true, std::nullopt, digest},
      {"size only", "patch-data-size: 0\n", true, 0, ""},
      {"largest size", "patch-data-size: 4294967295\n", true, 4294967295u, ""},
      {"size beyond 32 bits", "patch-data-size: 4294967296\n", false, std::nullopt, ""},
      {"size with a sign", "patch-data-size: +12\n", false, std::nullopt, ""},
      {"size with a blank inside", "patch-data-size: 1 2\n", false, std::nullopt, ""},
      {"size of twenty digits", "patch-data-size: 00000000000000000012\n", false, std::nullopt, ""},
      {"short digest", "patch-data-sha256: " + digest.substr(1) + "\n", false, std::nullopt, ""},
      {"digest not hex", "patch-data-sha256: " + digest.substr(1) + "g\n", false, std::nullopt, ""},
      {"unknown keys beside them", "patch-data-sha512: x\nmirror: y\n", true, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = r + c.fields;
    TarvDataBufferMemoryDynamic buffer;
    buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
    buffer.SetPosition(0);
    PatchCatalogue catalogue;
    EXPECT_EQ(catalogue.ParseCatalogue(&buffer, kSrv), c.valid);
    const PatchInfo* info = catalogue.GetPatchInfo("1.0");
    ASSERT_EQ(info != nullptr, c.valid);
    if (info == nullptr) continue;
    EXPECT_EQ(info->patchDataSize, c.size);
    EXPECT_EQ(info->patchDataSha256, c.sha256);
  }
}

TEST(ParseCatalogue, LaterFilesReplaceEarlierRecordsAndLookupIsExact) {
  PatchCatalogue catalogue;
  std::string first = Record("1.0", "1.1", "\n") + "\n" + Record("1.1", "1.2", "\n");
  std::string second = Record("1.0", "1.9", "\n");
  for (const std::string& text : {first, second}) {
    TarvDataBufferMemoryDynamic buffer;
    buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
    buffer.SetPosition(0);
    EXPECT_TRUE(catalogue.ParseCatalogue(&buffer, L"ftp://srv/pub/"));
  }
  ASSERT_NE(catalogue.GetPatchInfo("1.0"), nullptr);
  EXPECT_EQ(catalogue.GetPatchInfo("1.0")->targetVersion, "1.9");
  EXPECT_EQ(catalogue.GetPatchInfo("1.0")->patchDataUrl, L"ftp://srv/pub/p.zip");
  ASSERT_NE(catalogue.GetPatchInfo("1.1"), nullptr);
  EXPECT_EQ(catalogue.GetPatchInfo("1.1")->targetVersion, "1.2");
  EXPECT_EQ(catalogue.GetPatchInfo("1.0 "), nullptr);
  EXPECT_EQ(catalogue.GetPatchInfo("1.00"), nullptr);
  EXPECT_EQ(catalogue.GetPatchInfo(""), nullptr);
}

}  // namespace
