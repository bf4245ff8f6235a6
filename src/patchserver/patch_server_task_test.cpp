#include "patchserver/patch_server_task.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "crypto/minisign_signature.h"
#include "crypto/secret_key.h"
#include "data/file_util.h"
#include "os/messages.h"
#include "patchserver/patch_task_test_support.h"
#include "servers/test_servers.h"
#include "support/test_support.h"

namespace {

using tarvtest::Catalogue;
using tarvtest::FtpTestServer;
using tarvtest::HttpTestServer;
using tarvtest::PatchTaskTest;
using tarvtest::RecordingTask;
using tarvtest::W;

TEST_F(PatchTaskTest, FindPatchesTakesTheFirstServerWithAValidRecord) {
  HttpTestServer second;
  tarvtest::WriteFile(http_.root() + "/a/patches.txt", Catalogue("1.0", "1.1"));
  tarvtest::WriteFile(http_.root() + "/other/patches.txt", Catalogue("2.0", "2.1"));
  tarvtest::WriteFile(second.root() + "/b/patches.txt", Catalogue("1.0", "1.2"));
  http_.SetRoute("/html/patches.txt", {.status = 404, .body = "<html>Not Found</html>"});
  http_.SetRoute("/page/patches.txt", {.body = "<html><body>Welcome</body></html>"});
  http_.SetRoute("/huge/patches.txt", {.body = std::string(5 << 20, '\n')});
  const std::string a = http_.Url("a"), b = second.Url("b/"), other = http_.Url("other");
  const std::string html = http_.Url("html"), page = http_.Url("page"), huge = http_.Url("huge");
  const std::string down =
      "http://127.0.0.1:" + std::to_string(tarvtest::UnusedLoopbackPort()) + "/x";
  struct Case {
    const char* name;
    std::vector<std::string> servers;
    bool result;
    std::string accepted;
    std::vector<std::string> reports;
    const char* target_of_1_0;  // nullptr: no record for 1.0
  } cases[] = {
      {"first of two good", {a, b}, true, a, {}, "1.1"},
      {"error page then good",
       {html, b},
       true,
       b,
       {"2|Unable to download patch file: " + html + "/patches.txt",
        "2|The server answered with error 404."},
       "1.2"},
      {"page without record then good", {page, a}, true, a, {}, "1.1"},
      {"unreachable then good",
       {down, "", a},
       true,
       a,
       {"2|Unable to download patch file: " + down + "/patches.txt",
        "2|The server refused the connection."},
       "1.1"},
      {"catalogue over 4 MiB",
       {huge, b},
       true,
       b,
       {"2|Unable to download patch file: " + huge + "/patches.txt",
        "2|The server sent more data than it announced."},
       "1.2"},
      {"unsupported scheme",
       {"gopher://127.0.0.1/x/", a},
       true,
       a,
       {"2|Unable to download patch file: gopher://127.0.0.1/x/patches.txt",
        "2|The connection to the server failed."},
       "1.1"},
      {"valid but not for this version", {other, a}, true, other, {}, nullptr},
      {"all empty", {"", ""}, false, "", {"0|Unable to connect to any patch servers."}, nullptr},
      {"none usable", {page}, false, "", {"0|Unable to connect to any patch servers."}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingTask task;
    std::vector<std::wstring> servers;
    for (const auto& s : c.servers) servers.push_back(W(s));
    bool result = !c.result;
    tarvtest::CaptureStdoutLines([&] { result = task.FindPatches(servers); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(TarvUtil::ToNarrow(task.GetAcceptedServer()), c.accepted);
    EXPECT_EQ(task.reports, c.reports);
    const PatchInfo* info = task.GetPatchInfo("1.0");
    if (c.target_of_1_0 == nullptr) {
      EXPECT_EQ(info, nullptr);
    } else {
      ASSERT_NE(info, nullptr);
      EXPECT_EQ(info->targetVersion, c.target_of_1_0);
      EXPECT_EQ(TarvUtil::ToNarrow(info->patchDataUrl),
                TarvUtil::ToNarrow(TarvUtil::JoinPath(
                    W(c.accepted), W("data/1.0_to_" + std::string(c.target_of_1_0) + ".zip"))));
    }
  }
  // Catalogues are asked for fresh from every cache.
  EXPECT_EQ(http_.Requests().front().headers["cache-control"], "no-cache");
  // The page without a record was asked once per search: a successful
  // fetch is not repeated, whatever it holds.
  EXPECT_EQ(http_.CountRequests("/page/patches.txt"), 2);
  // The 4 MiB cap is final: another attempt would bring the same.
  EXPECT_EQ(http_.CountRequests("/huge/patches.txt"), 1);
}

// Causes come from the string table in the player's language and reach the
// window with every character.
TEST_F(PatchTaskTest, CausesAreReportedInThePlayersLanguage) {
  class WideTask : public RecordingTask {
   public:
    using RecordingTask::Report;
    void Report(int level, const std::wstring& text) override {
      wide.push_back(std::to_wstring(level) + L"|" + text);
    }
    std::vector<std::wstring> wide;
  };
  const std::string down =
      "http://127.0.0.1:" + std::to_string(tarvtest::UnusedLoopbackPort()) + "/";
  struct Case {
    TarvMessages::Language language;
    std::wstring cause;
  } cases[] = {
      {TarvMessages::Language::kGerman, L"2|Der Server hat die Verbindung abgelehnt."},
      {TarvMessages::Language::kFrench, L"2|Le serveur a refus\u00e9 la connexion."},
  };
  for (const Case& c : cases) {
    TarvMessages::SetThreadLanguage(c.language);
    WideTask task;
    tarvtest::CaptureStdoutLines([&] { EXPECT_FALSE(task.FindPatches({W(down)})); });
    EXPECT_EQ(task.wide, std::vector<std::wstring>{c.cause});
    EXPECT_EQ(task.reports.front(), "2|Unable to download patch file: " + down + "patches.txt");
  }
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
}

TEST_F(PatchTaskTest, FindPatchesOverFtp) {
  FtpTestServer ftp;
  tarvtest::WriteFile(ftp.root() + "/pub/patches.txt", Catalogue("1.0", "1.1"));
  RecordingTask task;
  std::string server = ftp.Url("pub/");
  EXPECT_TRUE(task.FindPatches({W(server)}));
  EXPECT_EQ(ftp.CountCommands("RETR pub/patches.txt"), 1);
  ASSERT_NE(task.GetPatchInfo("1.0"), nullptr);
  EXPECT_EQ(task.GetPatchInfo("1.0")->patchDataUrl, W(server + "data/1.0_to_1.1.zip"));
}

// Servers with signed and unsigned catalogues; the task takes the first
// whose catalogue passes, says for each other one why, and keeps the serial.
TEST_F(PatchTaskTest, SignedCataloguesAreCheckedServerByServer) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  const TarvCrypto::SecretKey publisher = TarvCrypto::GenerateSecretKey(),
                              stranger = TarvCrypto::GenerateSecretKey();
  const std::string text = Catalogue("1.0", "1.1");
  auto serve = [&](const std::string& folder, const TarvCrypto::SecretKey* key,
                   const std::string& comment, const std::string& served_text) {
    tarvtest::WriteFile(http_.root() + "/" + folder + "/patches.txt", served_text);
    if (key != nullptr) {
      tarvtest::WriteFile(
          http_.root() + "/" + folder + "/patches.txt.minisig",
          TarvCrypto::FormatMinisignSignature(TarvCrypto::SignMessage(*key, text, comment), "u"));
    }
    return http_.Url(folder);
  };
  const std::string fresh = " expires:2100-01-01T00:00:00Z";
  const std::string good = serve("good", &publisher, "serial:12" + fresh, text);
  const std::string unsigned_ = serve("unsigned", nullptr, "", text);
  const std::string changed = serve("changed", &publisher, "serial:12" + fresh, text + "\r\n");
  const std::string other = serve("other", &stranger, "serial:12" + fresh, text);
  const std::string old = serve("old", &publisher, "serial:3" + fresh, text);
  const std::string stale =
      serve("stale", &publisher, "serial:12 expires:2001-01-01T00:00:00Z", text);
  CataloguePolicy policy;
  policy.keys = {publisher.PublicKey()};
  policy.lowest_serial = 5;
  policy.now = 1800000000;
  RecordingTask task;
  task.SetCataloguePolicy(policy);
  bool found = false;
  tarvtest::CaptureStdoutLines([&] {
    found = task.FindPatches({W(unsigned_), W(changed), W(other), W(old), W(stale), W(good)});
  });
  EXPECT_TRUE(found);
  EXPECT_EQ(TarvUtil::ToNarrow(task.GetAcceptedServer()), good);
  EXPECT_EQ(task.GetAcceptedSerial(), 12u);
  EXPECT_EQ(task.reports,
            (std::vector<std::string>{
                "2|The patch catalogue has no signature: " + unsigned_ + "/patches.txt",
                "2|The signature of the patch catalogue is not valid: " + changed + "/patches.txt",
                "2|The signature of the patch catalogue is not valid: " + other + "/patches.txt",
                "2|The patch catalogue is older than one already used: " + old + "/patches.txt",
                "2|The patch catalogue has expired: " + stale + "/patches.txt"}));
  // Only the accepted server's records are in the catalogue.
  ASSERT_NE(task.GetPatchInfo("1.0"), nullptr);
  EXPECT_EQ(task.GetPatchInfo("1.0")->patchDataUrl, W(good + "/data/1.0_to_1.1.zip"));
  // Signatures are fetched fresh, like catalogues; none of a refused server
  // is asked for twice.
  EXPECT_EQ(http_.CountRequests("/unsigned/patches.txt.minisig"), 1);
  EXPECT_EQ(http_.CountRequests("/changed/patches.txt.minisig"), 1);

  // Without keys, signatures are not even fetched.
  RecordingTask plain;
  EXPECT_TRUE(plain.FindPatches({W(changed)}));
  EXPECT_EQ(plain.GetAcceptedSerial(), 0u);
  EXPECT_EQ(http_.CountRequests("/changed/patches.txt.minisig"), 1);
}

// One table run through both sources: a folder given with --patch is
// refused for the same reasons, with the same lines, as a server, and the
// accepted one hands on its serial either way.
TEST_F(PatchTaskTest, AFolderCatalogueIsJudgedAsAServersIs) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  const TarvCrypto::SecretKey publisher = TarvCrypto::GenerateSecretKey(),
                              stranger = TarvCrypto::GenerateSecretKey();
  const std::string text = Catalogue("1.0", "1.1"), fresh = " expires:2100-01-01T00:00:00Z";
  struct Case {
    const char* name;
    const TarvCrypto::SecretKey* key;  // null: no signature file
    std::string comment;
    std::string served;  // the catalogue as served; the signature is over `text`
    const char* line;    // the refusal's words; null when accepted
  } cases[] = {
      {"good", &publisher, "serial:12" + fresh, text, nullptr},
      {"unsigned", nullptr, "", text, "The patch catalogue has no signature: "},
      {"changed", &publisher, "serial:12" + fresh, text + "\r\n",
       "The signature of the patch catalogue is not valid: "},
      {"other", &stranger, "serial:12" + fresh, text,
       "The signature of the patch catalogue is not valid: "},
      {"old", &publisher, "serial:3" + fresh, text,
       "The patch catalogue is older than one already used: "},
      {"stale", &publisher, "serial:12 expires:2001-01-01T00:00:00Z", text,
       "The patch catalogue has expired: "},
  };
  CataloguePolicy policy;
  policy.keys = {publisher.PublicKey()};
  policy.lowest_serial = 5;
  policy.now = 1800000000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = http_.root() + "/" + c.name;
    tarvtest::WriteFile(folder + "/patches.txt", c.served);
    if (c.key != nullptr) {
      tarvtest::WriteFile(folder + "/patches.txt.minisig",
                          TarvCrypto::FormatMinisignSignature(
                              TarvCrypto::SignMessage(*c.key, text, c.comment), "u"));
    }
    const std::string url = http_.Url(c.name);
    RecordingTask server, local;
    server.SetCataloguePolicy(policy);
    local.SetCataloguePolicy(policy);
    bool from_server = false, from_folder = false;
    tarvtest::CaptureStdoutLines([&] {
      from_server = server.FindPatches({W(url)});
      from_folder = local.FindLocalPatches(W(folder));
    });
    EXPECT_EQ(from_server, c.line == nullptr);
    EXPECT_EQ(from_folder, c.line == nullptr);
    if (c.line == nullptr) {
      EXPECT_EQ(server.reports, std::vector<std::string>{});
      EXPECT_EQ(local.reports, std::vector<std::string>{});
      EXPECT_EQ(server.GetAcceptedSerial(), 12u);
      EXPECT_EQ(local.GetAcceptedSerial(), 12u);
      ASSERT_NE(local.GetPatchInfo("1.0"), nullptr);
      EXPECT_EQ(local.GetPatchInfo("1.0")->patchDataUrl, W(folder + "/data/1.0_to_1.1.zip"));
      continue;
    }
    EXPECT_EQ(server.reports,
              (std::vector<std::string>{"2|" + std::string(c.line) + url + "/patches.txt",
                                        "0|Unable to connect to any patch servers."}));
    EXPECT_EQ(local.reports,
              std::vector<std::string>{"2|" + std::string(c.line) + folder + "/patches.txt"});
    EXPECT_EQ(local.GetAcceptedSerial(), 0u);
  }
}

// What else a folder's catalogue can lack: the file itself, or a record.
TEST_F(PatchTaskTest, AFolderWithoutAUsableCatalogueIsNamed) {
  TarvMessages::SetThreadLanguage(TarvMessages::Language::kEnglish);
  const std::string empty = temp_.Sub("empty"), bare = temp_.Sub("bare");
  tarvtest::WriteFile(bare + "/patches.txt", "source-version: 1.0\r\n");
  std::filesystem::create_directories(empty);
  struct Case {
    std::string folder;
    std::string line;
  } cases[] = {
      {empty, "0|Unable to download patch file: " + empty + "/patches.txt"},
      {bare, "2|No patch catalogue or patch archive named <installed>_to_<target>.zip at: " + bare},
  };
  for (const Case& c : cases) {
    RecordingTask task;
    EXPECT_FALSE(task.FindLocalPatches(W(c.folder)));
    EXPECT_EQ(task.reports, std::vector<std::string>{c.line});
  }
}

}  // namespace
