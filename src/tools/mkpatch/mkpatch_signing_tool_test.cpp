// The publisher's signing subcommands with the real programs: what
// tarv-mkpatch signs the minisign program verifies and the other way round,
// and every refusal is one clear line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "crypto/sha256.h"
#include "support/test_support.h"

namespace {

using tarvtest::ReadFile;
using tarvtest::WriteFile;

const char kMinisign[] = "/usr/bin/minisign";

tarvtest::RunResult Mkpatch(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tarvtest::BinDir() + "/tarv-mkpatch"};
  argv.insert(argv.end(), args.begin(), args.end());
  return tarvtest::Run(argv);
}

struct Publisher {
  tarvtest::ScopedTempDir dir;
  std::string pub = dir.Sub("tarv.pub"), sec = dir.Sub("tarv.sec"), file = dir.Sub("patches.txt");
  Publisher() {
    WriteFile(file, "source-version: 1\r\ntarget-version: 2\r\n");
    auto made = Mkpatch({"keygen", pub, sec});
    EXPECT_EQ(made.exit_code, 0) << made.err;
  }
};

TEST(MkpatchSigning, BothToolsAcceptWhatTheOtherSigns) {
  Publisher p;
  struct stat st {};
  ASSERT_EQ(stat(p.sec.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Ours, checked by minisign.
  auto signed_ =
      Mkpatch({"sign", "--serial", "5", "--expires", "2100-01-01T00:00:00Z", p.sec, p.file});
  ASSERT_EQ(signed_.exit_code, 0) << signed_.err;
  auto checked = tarvtest::Run({kMinisign, "-V", "-p", p.pub, "-m", p.file});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  EXPECT_NE(checked.out.find("Trusted comment: serial:5 expires:2100-01-01T00:00:00Z"),
            std::string::npos);

  // minisign's, with a key minisign made, checked by us; and minisign
  // signing with our key.
  const std::string mpub = p.dir.Sub("m.pub"), msec = p.dir.Sub("m.sec");
  ASSERT_EQ(tarvtest::Run({kMinisign, "-G", "-W", "-p", mpub, "-s", msec}).exit_code, 0);
  for (const std::string& key : {msec, p.sec}) {
    SCOPED_TRACE(key);
    auto by_minisign = tarvtest::Run(
        {kMinisign, "-S", "-s", key, "-m", p.file, "-t", "serial:6 expires:2100-01-01T00:00:00Z"});
    ASSERT_EQ(by_minisign.exit_code, 0) << by_minisign.err;
    const std::string keys = key == msec ? mpub : p.pub;
    auto verified = Mkpatch({"verify", keys, p.file});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    EXPECT_NE(verified.out.find("valid, key "), std::string::npos);
    EXPECT_NE(verified.out.find(", serial 6, expires 2100-01-01T00:00:00Z"), std::string::npos);
  }
  // Our sign with minisign's key, checked by minisign.
  ASSERT_EQ(Mkpatch({"sign", msec, p.file}).exit_code, 0);
  EXPECT_EQ(tarvtest::Run({kMinisign, "-V", "-p", mpub, "-m", p.file}).exit_code, 0);
}

TEST(MkpatchSigning, DefaultsAndRefusals) {
  Publisher p;
  auto defaults = Mkpatch({"sign", p.sec, p.file, p.dir.Sub("d.sig")});
  ASSERT_EQ(defaults.exit_code, 0) << defaults.err;
  const std::string sig = ReadFile(p.dir.Sub("d.sig"));
  const size_t at = sig.find("trusted comment: serial:");
  ASSERT_NE(at, std::string::npos);
  // Seconds since 1970 as the serial: ten digits for centuries to come.
  const unsigned long long serial = std::stoull(sig.substr(at + 24, 10));
  EXPECT_GT(serial, 1700000000ull);
  EXPECT_EQ(Mkpatch({"verify", p.pub, p.file, p.dir.Sub("d.sig")}).exit_code, 0);
  ASSERT_EQ(Mkpatch({"sign", p.sec, p.file}).exit_code, 0);

  const std::string other_pub = p.dir.Sub("o.pub"), other_sec = p.dir.Sub("o.sec");
  ASSERT_EQ(Mkpatch({"keygen", other_pub, other_sec}).exit_code, 0);
  // The secret key as the minisign program writes an encrypted one: the
  // key-derivation bytes say "Sc" (base64 "RWRTYw" starts such a key line).
  std::string encrypted = ReadFile(p.sec);
  encrypted.replace(encrypted.find('\n') + 1, 6, "RWRTYw");
  WriteFile(p.dir.Sub("enc.sec"), encrypted);
  WriteFile(p.dir.Sub("changed.txt"), ReadFile(p.file) + "x");
  WriteFile(p.dir.Sub("changed.txt.minisig"), ReadFile(p.file + ".minisig"));
  ASSERT_EQ(
      Mkpatch({"sign", "--expires", "2001-01-01T00:00:00Z", p.sec, p.file, p.dir.Sub("old.sig")})
          .exit_code,
      0);

  struct {
    const char* name;
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {"keygen over an existing key",
       {"keygen", p.pub, p.dir.Sub("new.sec")},
       p.pub + ": exists already (--force replaces it)"},
      {"encrypted key",
       {"sign", p.dir.Sub("enc.sec"), p.file},
       p.dir.Sub("enc.sec") +
           ": the secret key is encrypted with a password; sign with \"minisign -S\" instead"},
      {"public key given to sign",
       {"sign", p.pub, p.file},
       p.pub + ": line 2: the key holds 42 bytes instead of 158"},
      {"serial not a number",
       {"sign", "--serial", "x", p.sec, p.file},
       "--serial must be a number below 2^64 and --expires a time YYYY-MM-DDTHH:MM:SSZ"},
      {"expires not a time",
       {"sign", "--expires", "tomorrow", p.sec, p.file},
       "--serial must be a number below 2^64 and --expires a time YYYY-MM-DDTHH:MM:SSZ"},
      {"verify with another key",
       {"verify", other_pub, p.file},
       p.file + ".minisig: made by a key that " + other_pub + " does not hold"},
      {"verify a changed file",
       {"verify", p.pub, p.dir.Sub("changed.txt")},
       p.dir.Sub("changed.txt.minisig") + ": does not match " + p.dir.Sub("changed.txt")},
      {"verify an expired signature",
       {"verify", p.pub, p.file, p.dir.Sub("old.sig")},
       p.dir.Sub("old.sig") + ": expired at 2001-01-01T00:00:00Z"},
      {"verify without signature",
       {"verify", p.pub, p.dir.Sub("changed.txt"), p.dir.Sub("none")},
       "cannot open " + p.dir.Sub("none") + ": No such file or directory"},
  };
  // The keygen case must find the public key there: keygen writes nothing
  // unless both names are free.
  const std::string pub_before = ReadFile(p.pub);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Mkpatch(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tarv-mkpatch: " + c.error + "\n");
  }
  EXPECT_EQ(ReadFile(p.pub), pub_before);
  EXPECT_FALSE(tarvtest::FileExists(p.dir.Sub("new.sec")));
  ASSERT_EQ(Mkpatch({"keygen", "--force", p.pub, p.sec}).exit_code, 0);
  EXPECT_NE(ReadFile(p.pub), pub_before);
}

TEST(MkpatchSigning, ChainBindsEveryRecordToItsArchive) {
  tarvtest::ScopedTempDir dir;
  WriteFile(dir.Sub("v1/a.txt"), "one\n");
  WriteFile(dir.Sub("v2/a.txt"), "two\n");
  WriteFile(dir.Sub("v3/a.txt"), "three\n");
  auto r = Mkpatch(
      {"chain", dir.Sub("srv"), "1=" + dir.Sub("v1"), "2=" + dir.Sub("v2"), "3=" + dir.Sub("v3")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string catalogue = ReadFile(dir.Sub("srv/patches.txt"));
  for (const std::string step : {"1_to_2", "2_to_3"}) {
    const std::string zip = ReadFile(dir.Sub("srv/" + step + ".zip"));
    const std::string fields =
        "patch-data-url: " + step + ".zip\r\npatch-data-size: " + std::to_string(zip.size()) +
        "\r\npatch-data-sha256: " + TarvCrypto::Sha256Hex(zip.data(), zip.size()) + "\r\n";
    EXPECT_NE(catalogue.find(fields), std::string::npos) << catalogue;
  }
}

}  // namespace
