// The foreign minisign program, a Linux tool, as the reference of the
// signature formats.
// The signature, key and secret-key files of the publisher, checked against
// files made by Debian's minisign program and against malformed ones.
#include <gtest/gtest.h>

#include "crypto/base64.h"
#include "crypto/minisign_signature.h"
#include "crypto/secret_key.h"
#include "support/test_support.h"

namespace TarvCrypto {
namespace {

using tarvtest::ReadFile;
using tarvtest::WriteFile;

const char kMinisign[] = "/usr/bin/minisign";
const char kCatalogue[] =
    "source-version: 1\r\ntarget-version: 2\r\npatch-data-url: 1_to_2.zip\r\n";

// A key pair and a signed file made by the minisign program itself.
struct MinisignFiles {
  tarvtest::ScopedTempDir dir;
  std::string pub = dir.Sub("k.pub"), sec = dir.Sub("k.sec"), file = dir.Sub("patches.txt");

  MinisignFiles() {
    auto made = tarvtest::Run({kMinisign, "-G", "-W", "-p", pub, "-s", sec});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    WriteFile(file, kCatalogue);
  }
  // minisign -S with the trusted comment; "-l" in `extra` asks for the
  // legacy form.
  std::string Sign(const std::string& comment, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {kMinisign, "-S", "-s", sec, "-m", file, "-t", comment};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto signed_ = tarvtest::Run(argv);
    EXPECT_EQ(signed_.exit_code, 0) << signed_.err;
    return ReadFile(file + ".minisig");
  }
  std::vector<PublisherKey> Keys() {
    std::vector<PublisherKey> keys;
    std::string error;
    EXPECT_TRUE(ParsePublisherKeys(ReadFile(pub), &keys, &error)) << error;
    return keys;
  }
};

TEST(MinisignSignature, WhatTheMinisignProgramSignsIsVerifiedInBothForms) {
  MinisignFiles m;
  const std::vector<PublisherKey> keys = m.Keys();
  ASSERT_EQ(keys.size(), 1u);
  // The id minisign names in the key's comment is the one we show.
  EXPECT_NE(ReadFile(m.pub).find("minisign public key " + keys[0].IdText()), std::string::npos)
      << ReadFile(m.pub) << keys[0].IdText();
  struct {
    const char* name;
    std::vector<std::string> extra;
    SignatureAlgorithm algorithm;
  } forms[] = {{"prehashed", {}, SignatureAlgorithm::kPrehashed},
               {"legacy", {"-l"}, SignatureAlgorithm::kLegacy}};
  for (const auto& form : forms) {
    SCOPED_TRACE(form.name);
    MinisignSignature sig;
    std::string error;
    ASSERT_TRUE(ParseMinisignSignature(m.Sign("serial:5 expires:2100-01-01T00:00:00Z", form.extra),
                                       &sig, &error))
        << error;
    EXPECT_EQ(sig.algorithm, form.algorithm);
    EXPECT_EQ(sig.trusted_comment, "serial:5 expires:2100-01-01T00:00:00Z");
    PublisherKey signer;
    EXPECT_EQ(VerifyMinisignSignature(sig, kCatalogue, keys, &signer), SignatureCheck::kValid);
    EXPECT_EQ(signer.id, keys[0].id);
    // One byte of the file, of the trusted comment, or another key.
    std::string changed = kCatalogue;
    changed[17] = '3';
    EXPECT_EQ(VerifyMinisignSignature(sig, changed, keys), SignatureCheck::kInvalid);
    MinisignSignature comment = sig;
    comment.trusted_comment = "serial:9 expires:2100-01-01T00:00:00Z";
    EXPECT_EQ(VerifyMinisignSignature(comment, kCatalogue, keys), SignatureCheck::kInvalid);
    const std::vector<PublisherKey> other = {GenerateSecretKey().PublicKey()};
    EXPECT_EQ(VerifyMinisignSignature(sig, kCatalogue, other), SignatureCheck::kUnknownKey);
    // The same id with another key's bytes is not trusted either.
    std::vector<PublisherKey> forged = other;
    forged[0].id = keys[0].id;
    EXPECT_EQ(VerifyMinisignSignature(sig, kCatalogue, forged), SignatureCheck::kInvalid);
  }
}

TEST(MinisignSignature, WhatWeSignTheMinisignProgramVerifies) {
  MinisignFiles m;
  std::string error;
  SecretKey key;
  ASSERT_TRUE(ParseSecretKey(ReadFile(m.sec), &key, &error)) << error;
  EXPECT_EQ(FormatPublisherKey(key.PublicKey()).substr(ReadFile(m.pub).find('\n')),
            ReadFile(m.pub).substr(ReadFile(m.pub).find('\n')));
  const MinisignSignature sig =
      SignMessage(key, kCatalogue, "serial:7 expires:2100-01-01T00:00:00Z");
  WriteFile(m.file + ".minisig", FormatMinisignSignature(sig, "signature from tarv"));
  auto verified = tarvtest::Run({kMinisign, "-V", "-p", m.pub, "-m", m.file});
  EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;
  EXPECT_NE(verified.out.find("serial:7 expires:2100-01-01T00:00:00Z"), std::string::npos);
  // A key we generate signs for minisign too.
  const SecretKey ours = GenerateSecretKey();
  WriteFile(m.pub, FormatPublisherKey(ours.PublicKey()));
  WriteFile(m.file + ".minisig",
            FormatMinisignSignature(SignMessage(ours, kCatalogue, "serial:8"), "x"));
  verified = tarvtest::Run({kMinisign, "-V", "-p", m.pub, "-m", m.file});
  EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;
  WriteFile(m.file, std::string(kCatalogue) + " ");
  verified = tarvtest::Run({kMinisign, "-V", "-p", m.pub, "-m", m.file});
  EXPECT_NE(verified.exit_code, 0);
}

}  // namespace
}  // namespace TarvCrypto
