// The publisher's signing subcommands with the real programs: what
// tarv-mkpatch signs the minisign program verifies and the other way round,
// and every refusal is one clear line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

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
  ASSERT_EQ(Mkpatch({"sign", "--force", "--expires", "2001-01-01T00:00:00Z", p.sec, p.file,
                     p.dir.Sub("old.sig")})
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
       p.pub + ": this is a public key; signing needs the secret key"},
      {"secret key given to verify",
       {"verify", p.sec, p.file},
       p.sec + ": this is a secret key; the installation needs the public key"},
      {"expiry passed",
       {"sign", "--expires", "2001-01-01T00:00:00Z", p.sec, p.file, p.dir.Sub("new.sig")},
       "the expiry 2001-01-01T00:00:00Z has passed; the patcher refuses this signature "
       "(--force signs anyway)"},
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
  EXPECT_FALSE(tarvtest::FileExists(p.dir.Sub("new.sig")));
  ASSERT_EQ(Mkpatch({"keygen", "--force", p.pub, p.sec}).exit_code, 0);
  EXPECT_NE(ReadFile(p.pub), pub_before);
}

// The serial printed by a successful sign or chain --sign.
unsigned long long PrintedSerial(const std::string& out) {
  const size_t at = out.find(": serial ");
  return at == std::string::npos ? 0 : std::stoull(out.substr(at + 9));
}

TEST(MkpatchSigning, ASignatureNeverGoesBelowTheOneItReplaces) {
  Publisher p;
  const std::string sig = p.file + ".minisig";
  const char kFar[] = "9999999999";  // a serial far above the clock's seconds
  struct {
    const char* name;
    const char* existing_serial;  // nullptr: no signature; "": a damaged one
    std::vector<std::string> options;
    int exit_code;
    unsigned long long serial;  // printed on success
  } cases[] = {
      {"lower serial", "100", {"--serial", "50"}, 1, 0},
      {"equal serial", "100", {"--serial", "100"}, 1, 0},
      {"higher serial", "100", {"--serial", "101"}, 0, 101},
      {"lower serial forced", "100", {"--force", "--serial", "5"}, 0, 5},
      {"default after a far serial goes above it", kFar, {}, 0, 10000000000ull},
      {"damaged signature holds no serial", "", {"--serial", "3"}, 0, 3},
      {"no signature", nullptr, {"--serial", "1"}, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(sig);
    if (c.existing_serial && *c.existing_serial) {
      ASSERT_EQ(Mkpatch({"sign", "--serial", c.existing_serial, p.sec, p.file}).exit_code, 0);
    } else if (c.existing_serial) {
      WriteFile(sig, "untrusted comment: x\nnot a signature\n");
    }
    const std::string before = c.existing_serial ? ReadFile(sig) : "";
    std::vector<std::string> args = {"sign"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {p.sec, p.file});
    auto r = Mkpatch(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    if (c.exit_code == 0) {
      EXPECT_EQ(PrintedSerial(r.out), c.serial) << r.out;
      EXPECT_EQ(Mkpatch({"verify", p.pub, p.file}).exit_code, 0);
      continue;
    }
    EXPECT_EQ(r.err, "tarv-mkpatch: " + sig + ": holds serial 100; every player who accepted it " +
                         "refuses serial " + c.options[1] +
                         " (give a higher --serial, or --force)\n");
    EXPECT_EQ(ReadFile(sig), before);
  }
}

// A version folder as a publisher copies it from a build, with a key file.
void MakeVersion(const std::string& dir, const std::string& text, const std::string& key = "") {
  WriteFile(dir + "/a.txt", text);
  if (!key.empty()) WriteFile(dir + "/Binaries/tarv-publisher.pub", key);
}

TEST(MkpatchSigning, ChainRefusesWhatWouldHurtPlayersBeforeMakingAnything) {
  Publisher p;
  tarvtest::ScopedTempDir dir;
  MakeVersion(dir.Sub("v1"), "one\n", ReadFile(p.pub));
  MakeVersion(dir.Sub("v2"), "two\n", ReadFile(p.pub));
  MakeVersion(dir.Sub("leaky"), "two\n", ReadFile(p.sec));
  const std::string srv = dir.Sub("srv"),
                    leaked = dir.Sub("leaky") + "/Binaries/tarv-publisher.pub";
  const std::string v1 = "1.0=" + dir.Sub("v1"), v2 = "1.1=" + dir.Sub("v2");
  struct {
    const char* name;
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {"version named twice",
       {"chain", srv, v1, "1.0=" + dir.Sub("v2")},
       "1.0=" + dir.Sub("v2") + ": version 1.0 is named twice (each version once, oldest first)"},
      {"versions that differ in case only",
       {"chain", srv, "V1=" + dir.Sub("v1"), "v1=" + dir.Sub("v2")},
       "v1=" + dir.Sub("v2") + ": version v1 is named twice (each version once, oldest first)"},
      {"secret key in a version folder",
       {"chain", srv, v1, "1.1=" + dir.Sub("leaky")},
       leaked + ": holds a secret signing key, which would be published to every player; remove it "
                "from the version folder"},
      {"secret key in the new folder of a patch",
       {"patch", dir.Sub("v1"), dir.Sub("leaky"), dir.Sub("srv/p.zip")},
       leaked + ": holds a secret signing key, which would be published to every player; remove it "
                "from the version folder"},
      {"public key given to --sign",
       {"chain", "--sign", p.pub, srv, v1, v2},
       p.pub + ": this is a public key; signing needs the secret key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Mkpatch(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tarv-mkpatch: " + c.error + "\n");
    EXPECT_FALSE(tarvtest::FileExists(srv)) << "something was made";
  }
}

TEST(MkpatchSigning, ChainSignsInTheSameRunAndNeverLeavesAStaleSignature) {
  Publisher p;
  tarvtest::ScopedTempDir dir;
  MakeVersion(dir.Sub("v1"), "one\n");
  MakeVersion(dir.Sub("v2"), "two\n");
  MakeVersion(dir.Sub("v3"), "three\n");
  const std::string srv = dir.Sub("srv"), catalogue = srv + "/patches.txt";
  const std::string v1 = "1=" + dir.Sub("v1"), v2 = "2=" + dir.Sub("v2"), v3 = "3=" + dir.Sub("v3");

  auto first = Mkpatch({"chain", "--sign", p.sec, srv, v1, v2});
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(Mkpatch({"verify", p.pub, catalogue}).exit_code, 0);
  const unsigned long long serial = PrintedSerial(first.out);
  EXPECT_GT(serial, 1700000000ull);

  // The same catalogue again: its signature still matches and stays.
  auto same = Mkpatch({"chain", srv, v1, v2});
  ASSERT_EQ(same.exit_code, 0) << same.err;
  EXPECT_EQ(same.err, "");
  EXPECT_EQ(Mkpatch({"verify", p.pub, catalogue}).exit_code, 0);

  // A longer chain without --sign: the old signature goes, with a word.
  auto longer = Mkpatch({"chain", srv, v1, v2, v3});
  ASSERT_EQ(longer.exit_code, 0) << longer.err;
  EXPECT_FALSE(tarvtest::FileExists(catalogue + ".minisig"));
  EXPECT_EQ(longer.err, "tarv-mkpatch: warning: " + catalogue +
                            ".minisig removed: the catalogue changed and must be signed again "
                            "(tarv-mkpatch sign with a serial above " +
                            std::to_string(serial) + ")\n");

  // Signed again within the same second: the serial still rises.
  ASSERT_EQ(Mkpatch({"sign", p.sec, catalogue}).exit_code, 0);
  auto again = Mkpatch({"chain", "--sign", p.sec, srv, v1, v2});
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_GT(PrintedSerial(again.out), serial);
  EXPECT_EQ(Mkpatch({"verify", p.pub, catalogue}).exit_code, 0);
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
