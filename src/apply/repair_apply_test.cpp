#include "apply/repair_apply.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "data/file_faults.h"
#include "data/file_util.h"
#include "support/test_support.h"

namespace TarvPatch {
namespace {

using tarvtest::SnapshotTree;
using tarvtest::WriteFile;

std::wstring W(const std::string& path) { return TarvUtil::FromFsPath(path); }

struct Installation {
  tarvtest::ScopedTempDir dir;
  std::string install = dir.Sub("game"), staging = dir.Sub("game/.tarv-repair-test");

  Installation() {
    WriteFile(install + "/a.txt", "old a");
    WriteFile(install + "/Data/b.txt", "old b");
    WriteFile(staging + "/0", "new a");
    WriteFile(staging + "/1", "new b");
    WriteFile(staging + "/2", "new c");
  }
  std::vector<RepairFile> Files() {
    return {{W(staging + "/0"), W(install + "/a.txt")},
            {W(staging + "/1"), W(install + "/Data/b.txt")},
            {W(staging + "/2"), W(install + "/New/Deep/c.txt")}};
  }
  bool Apply(const std::vector<RepairFile>& files, std::string* error) {
    JournalRepairApplier applier(W(install), L"1");
    return applier.Apply(files, error);
  }
};

TEST(JournalRepairApplier, PutsEveryFileInPlaceAndLeavesNoJournal) {
  Installation i;
  std::string error;
  ASSERT_TRUE(i.Apply(i.Files(), &error)) << error;
  EXPECT_EQ(tarvtest::ReadFile(i.install + "/a.txt"), "new a");
  EXPECT_EQ(tarvtest::ReadFile(i.install + "/Data/b.txt"), "new b");
  EXPECT_EQ(tarvtest::ReadFile(i.install + "/New/Deep/c.txt"), "new c");
  EXPECT_FALSE(tarvtest::FileExists(i.install + "/.tarv-step"));
}

// A step that fails after some files were replaced and folders made puts
// everything back; one that cannot be made is refused before any change.
TEST(JournalRepairApplier, FailureLeavesTheInstallationAsItWas) {
  struct Case {
    const char* name;
    std::function<void(Installation&, std::vector<RepairFile>&)> arrange;
  };
  const Case cases[] = {
      {"the last copy is gone after two were placed",
       [](Installation& i, std::vector<RepairFile>&) { std::remove((i.staging + "/2").c_str()); }},
      {"a file stands where a folder must be",
       [](Installation& i, std::vector<RepairFile>&) { WriteFile(i.install + "/New", "file"); }},
      {"a target outside the installation",
       [](Installation& i, std::vector<RepairFile>& files) {
         files[1].target = W(i.dir.Sub("elsewhere.txt"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation i;
    std::vector<RepairFile> files = i.Files();
    c.arrange(i, files);
    auto before = SnapshotTree(i.install);
    std::string error;
    EXPECT_FALSE(i.Apply(files, &error));
    EXPECT_FALSE(error.empty());
    auto after = SnapshotTree(i.install);
    // The copies already placed return to the staging folder: only the
    // installation's own files must be as before.
    auto game = [](std::vector<std::pair<std::string, std::string>> tree) {
      std::erase_if(tree, [](const auto& e) { return e.first.rfind(".tarv-repair-test", 0) == 0; });
      return tree;
    };
    EXPECT_EQ(game(after), game(before));
    EXPECT_FALSE(tarvtest::FileExists(i.install + "/.tarv-step"));
  }
}

// A link planted inside the installation, as a top folder, a nested folder
// or the damaged file itself, is never followed: the repair is refused
// before any change, naming the link, and nothing outside changes.
TEST(JournalRepairApplier, LinksInsideTheInstallationAreNotFollowed) {
  struct Case {
    const char* name;
    const char* link;   // inside the installation
    const char* to;     // inside the outside folder
    const char* named;  // what the error must name
  };
  const Case cases[] = {
      {"a top folder", "Data", "", "Data: a link"},
      {"a nested folder of a missing file", "New/Deep", "", "New/Deep: a link"},
      {"the damaged file itself", "a.txt", "/a.txt", "a.txt: a link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation i;
    const std::string outside = i.dir.Sub("outside");
    WriteFile(outside + "/a.txt", "outside a");
    WriteFile(outside + "/b.txt", "outside b");
    tarvtest::RemoveTree(i.install + "/" + c.link);
    tarvtest::MakeDirs(i.install + "/New");
    ASSERT_EQ(symlink((outside + c.to).c_str(), (i.install + "/" + c.link).c_str()), 0);
    const auto outside_before = SnapshotTree(outside);
    const auto before = SnapshotTree(i.install);
    std::string error;
    EXPECT_FALSE(i.Apply(i.Files(), &error));
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
    EXPECT_EQ(SnapshotTree(outside), outside_before);
    EXPECT_EQ(SnapshotTree(i.install), before);
  }
}

// Every failing rename and flush of the step, from the first on, ends with
// the installation as it was; past the last one the repair goes through.
TEST(JournalRepairApplier, EachFailedCallLeavesTheInstallationAsItWas) {
  for (TarvFile::Call call : {TarvFile::Call::kRename, TarvFile::Call::kFsync}) {
    bool went_through = false;
    for (uint64_t nth = 1; nth < 60 && !went_through; ++nth) {
      SCOPED_TRACE(std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth));
      Installation i;
      const auto game = [&i] {
        auto tree = SnapshotTree(i.install);
        std::erase_if(tree,
                      [](const auto& e) { return e.first.rfind(".tarv-repair-test", 0) == 0; });
        return tree;
      };
      const auto before = game();
      std::string error;
      {
        TarvFile::ScopedFault fault(call, nth, EIO);
        went_through = i.Apply(i.Files(), &error);
      }
      if (went_through) {
        EXPECT_EQ(tarvtest::ReadFile(i.install + "/New/Deep/c.txt"), "new c");
      } else {
        EXPECT_EQ(game(), before);
      }
      EXPECT_FALSE(tarvtest::FileExists(i.install + "/.tarv-step"));
    }
    EXPECT_TRUE(went_through);
  }
}

}  // namespace
}  // namespace TarvPatch
