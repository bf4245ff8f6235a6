#include <gtest/gtest.h>

#include "data/file_util.h"
#include "patchserver/patch_catalogue.h"

namespace {

const std::string kSha(64, 'a');

PatchCatalogue ParseText(const std::string& text, bool* found) {
  TarvDataBufferMemoryDynamic buffer;
  buffer.Write(text.data(), static_cast<uint32_t>(text.size()));
  buffer.SetPosition(0);
  PatchCatalogue catalogue;
  *found = catalogue.ParseCatalogue(&buffer, L"http://srv/p");
  return catalogue;
}

std::string ManifestRecord(const std::string& version, const std::string& url,
                           const std::string& sha) {
  return "manifest-version: " + version + "\r\nmanifest-url: " + url +
         "\r\nmanifest-sha256: " + sha + "\r\n";
}

const std::string kPatch =
    "source-version: 1.0\r\ntarget-version: 1.1\r\npatch-exe-url: a.exe\r\n"
    "patch-data-url: 1.0_to_1.1.zip\r\n";

TEST(CatalogueManifests, StoredBesidePatchRecordsWithoutCountingAsThem) {
  struct Case {
    const char* name;
    std::string text;
    bool found;           // a patch record was valid
    std::string version;  // looked up
    std::string url;      // expected address, empty for none
  };
  const Case cases[] = {
      {"relative address joined to the server",
       kPatch + "\r\n" + ManifestRecord("1.1", "manifests/1.1.txt", kSha), true, "1.1",
       "http://srv/p/manifests/1.1.txt"},
      {"absolute address kept", ManifestRecord("1.0", "HTTP://other/m.txt", kSha) + "\r\n" + kPatch,
       true, "1.0", "HTTP://other/m.txt"},
      {"a catalogue of manifests alone offers no patch", ManifestRecord("2", "m/2.txt", kSha),
       false, "2", "http://srv/p/m/2.txt"},
      {"digest in capitals is accepted", ManifestRecord("3", "m.txt", std::string(64, 'F')), false,
       "3", "http://srv/p/m.txt"},
      {"short digest refused", ManifestRecord("3", "m.txt", kSha.substr(1)), false, "3", ""},
      {"missing address refused", ManifestRecord("3", "", kSha), false, "3", ""},
      {"other version not found", ManifestRecord("3", "m.txt", kSha), false, "4", ""},
      {"mixed into a patch record, both are taken", kPatch + ManifestRecord("1.0", "m.txt", kSha),
       true, "1.0", "http://srv/p/m.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool found = !c.found;
    PatchCatalogue catalogue = ParseText(c.text, &found);
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(catalogue.GetPatchInfo("1.0") != nullptr, c.found);
    const ManifestInfo* info = catalogue.GetManifestInfo(c.version);
    EXPECT_EQ(info ? TarvUtil::ToNarrow(info->url) : "", c.url);
    if (info) {
      EXPECT_EQ(info->sha256.size(), 64u);
    }
  }
}

// A reader that knows only patch records (the record check alone) sees the
// manifest records as incomplete and skips them without losing the others.
TEST(CatalogueManifests, PatchRecordsUnchangedByManifestRecords) {
  bool with_found = false, without_found = false;
  PatchCatalogue with = ParseText(ManifestRecord("1.0", "m.txt", kSha) + "\r\n" + kPatch + "\r\n" +
                                      ManifestRecord("1.1", "n.txt", kSha),
                                  &with_found);
  PatchCatalogue without = ParseText(kPatch, &without_found);
  EXPECT_TRUE(with_found);
  EXPECT_TRUE(without_found);
  ASSERT_EQ(with.Records().size(), 1u);
  EXPECT_EQ(with.GetPatchInfo("1.0")->patchDataUrl, without.GetPatchInfo("1.0")->patchDataUrl);
  EXPECT_EQ(with.GetPatchInfo("1.0")->targetVersion, "1.1");
}

}  // namespace
