// The publisher's signature files, malformed in every way the reader must
// refuse; the files of the minisign program itself are read in the Linux-only
// test beside this one.
#include "crypto/minisign_signature.h"

#include <gtest/gtest.h>

#include "crypto/base64.h"
#include "crypto/secret_key.h"
#include "support/test_support.h"

namespace TarvCrypto {
namespace {

std::string B64(const std::string& bytes) {
  return EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(MinisignSignature, MalformedFilesAreRefusedWithTheirReason) {
  const std::string sig_line = B64("ED" + std::string(8, 'k') + std::string(64, 's'));
  const std::string global = B64(std::string(64, 'g'));
  const std::string good =
      "untrusted comment: u\n" + sig_line + "\ntrusted comment: serial:1\n" + global + "\n";
  MinisignSignature parsed;
  std::string error;
  ASSERT_TRUE(ParseMinisignSignature(good, &parsed, &error)) << error;
  EXPECT_EQ(parsed.trusted_comment, "serial:1");
  EXPECT_EQ(parsed.global_signature[0], 'g');
  ASSERT_TRUE(ParseMinisignSignature(good.substr(0, good.size() - 1), &parsed, &error)) << error;

  auto with = [&](const std::string& line1, const std::string& line2, const std::string& line3,
                  const std::string& line4) {
    return line1 + "\n" + line2 + "\n" + line3 + "\n" + line4 + "\n";
  };
  const std::string megabyte(1 << 20, 'c');
  struct {
    const char* name;
    std::string text;
    std::string error;
  } cases[] = {
      {"empty", "", "has 0 lines instead of 4"},
      {"missing lines", "untrusted comment: u\n" + sig_line + "\n", "has 2 lines instead of 4"},
      {"no global signature", "untrusted comment: u\n" + sig_line + "\ntrusted comment: t\n",
       "has 3 lines instead of 4"},
      {"text after", good + "more\n", "has text after the fourth line"},
      {"CRLF line ends",
       "untrusted comment: u\r\n" + sig_line + "\r\ntrusted comment: t\r\n" + global + "\r\n",
       "has CR LF line ends (only LF is accepted)"},
      {"a lone CR", with("untrusted comment: u\rv", sig_line, "trusted comment: t", global),
       "holds a CR character"},
      {"zero byte",
       with("untrusted comment: u", sig_line, std::string("trusted comment: \0", 18), global),
       "holds a zero byte"},
      {"no untrusted prefix", with("comment: u", sig_line, "trusted comment: t", global),
       "line 1: expected \"untrusted comment: \""},
      {"no trusted prefix", with("untrusted comment: u", sig_line, "comment: t", global),
       "line 3: expected \"trusted comment: \""},
      {"wrong base64",
       with("untrusted comment: u", sig_line.substr(1), "trusted comment: t", global),
       "line 2: the signature is not base64"},
      {"blank in base64",
       with("untrusted comment: u", sig_line.substr(0, 10) + " " + sig_line.substr(10),
            "trusted comment: t", global),
       "line 2: the signature is not base64"},
      {"short signature",
       with("untrusted comment: u", B64("ED" + std::string(71, 's')), "trusted comment: t", global),
       "line 2: the signature holds 73 bytes instead of 74"},
      {"long signature",
       with("untrusted comment: u", B64("ED" + std::string(75, 's')), "trusted comment: t", global),
       "line 2: the signature holds 77 bytes instead of 74"},
      {"wrong algorithm",
       with("untrusted comment: u", B64("Ex" + std::string(72, 's')), "trusted comment: t", global),
       "line 2: unknown signature algorithm (neither \"Ed\" nor \"ED\")"},
      {"short global",
       with("untrusted comment: u", sig_line, "trusted comment: t", B64(std::string(63, 'g'))),
       "line 4: the global signature holds 63 bytes instead of 64"},
      {"global not base64", with("untrusted comment: u", sig_line, "trusted comment: t", "%%%%"),
       "line 4: the global signature is not base64"},
      {"long untrusted comment",
       with("untrusted comment: " + std::string(1025, 'c'), sig_line, "trusted comment: t", global),
       "line 1: the untrusted comment is longer than 1024 bytes"},
      {"long trusted comment",
       with("untrusted comment: u", sig_line, "trusted comment: " + std::string(8193, 'c'), global),
       "line 3: the trusted comment is longer than 8192 bytes"},
      {"1 MiB trusted comment",
       with("untrusted comment: u", sig_line, "trusted comment: " + megabyte, global),
       "is larger than 16 KiB"},
      {"1 MiB untrusted comment",
       with("untrusted comment: " + megabyte, sig_line, "trusted comment: t", global),
       "is larger than 16 KiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MinisignSignature sig;
    sig.trusted_comment = "untouched";
    error.clear();
    EXPECT_FALSE(ParseMinisignSignature(c.text, &sig, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(sig.trusted_comment, "untouched");
  }
}

}  // namespace
}  // namespace TarvCrypto
