#include "patchserver/catalogue_signature.h"

#include <gtest/gtest.h>

#include "crypto/minisign_signature.h"
#include "crypto/secret_key.h"

namespace {

const char kCatalogue[] = "source-version: 1\ntarget-version: 2\n";
const int64_t kNow = 1800000000;  // 2027-01-15

TEST(CatalogueSignature, VerdictsForEachWayACatalogueCanFail) {
  const TarvCrypto::SecretKey publisher = TarvCrypto::GenerateSecretKey(),
                              old_key = TarvCrypto::GenerateSecretKey(),
                              stranger = TarvCrypto::GenerateSecretKey();
  CataloguePolicy policy;
  policy.keys = {old_key.PublicKey(), publisher.PublicKey()};
  policy.lowest_serial = 10;
  policy.now = kNow;
  auto sig = [](const TarvCrypto::SecretKey& key, const std::string& comment,
                const std::string& message = kCatalogue) {
    return TarvCrypto::FormatMinisignSignature(TarvCrypto::SignMessage(key, message, comment), "u");
  };
  const std::string later = " expires:2027-01-15T08:00:01Z";  // one second after kNow
  struct {
    const char* name;
    std::string catalogue, signature;
    CatalogueVerdict verdict;
    uint64_t serial;
    std::string detail;
  } cases[] = {
      {"current key", kCatalogue, sig(publisher, "serial:11" + later), CatalogueVerdict::kAccepted,
       11, ""},
      {"retired key still installed", kCatalogue, sig(old_key, "serial:10" + later),
       CatalogueVerdict::kAccepted, 10, ""},
      {"changed after signing", std::string(kCatalogue) + "\n", sig(publisher, "serial:11" + later),
       CatalogueVerdict::kBad, 0, "signature does not match the catalogue"},
      {"another key", kCatalogue, sig(stranger, "serial:11" + later), CatalogueVerdict::kBad, 0,
       "signed by a key that is not installed"},
      {"malformed", kCatalogue, "<html>404</html>\n", CatalogueVerdict::kBad, 0,
       "signature file has 1 lines instead of 4"},
      {"no serial", kCatalogue, sig(publisher, later), CatalogueVerdict::kBad, 0,
       "trusted comment: the trusted comment lacks serial: or expires:"},
      {"expired", kCatalogue, sig(publisher, "serial:11 expires:2027-01-15T08:00:00Z"),
       CatalogueVerdict::kExpired, 0, "expired at 2027-01-15T08:00:00Z"},
      {"replayed", kCatalogue, sig(publisher, "serial:9" + later), CatalogueVerdict::kReplayed, 0,
       "serial 9 is below the accepted serial 10"},
      // An old catalogue that has expired is refused as expired.
      {"replayed and expired", kCatalogue, sig(publisher, "serial:9 expires:2020-01-01T00:00:00Z"),
       CatalogueVerdict::kExpired, 0, "expired at 2020-01-01T00:00:00Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t serial = 0;
    std::string detail;
    EXPECT_EQ(CheckCatalogueSignature(c.catalogue, c.signature, policy, &serial, &detail),
              c.verdict);
    EXPECT_EQ(serial, c.serial);
    EXPECT_EQ(detail, c.detail);
  }
}

}  // namespace
