#include "patchserver/catalogue_signature.h"

#include "crypto/minisign_signature.h"
#include "patchserver/catalogue_stamp.h"

CatalogueVerdict CheckCatalogueSignature(std::string_view catalogue,
                                         std::string_view signature_text,
                                         const CataloguePolicy& policy, uint64_t* serial,
                                         std::string* detail) {
  std::string reason;
  TarvCrypto::MinisignSignature signature;
  CatalogueStamp stamp;
  CatalogueVerdict verdict = CatalogueVerdict::kBad;
  if (!TarvCrypto::ParseMinisignSignature(signature_text, &signature, &reason)) {
    reason = "signature file " + reason;
  } else if (TarvCrypto::SignatureCheck check =
                 TarvCrypto::VerifyMinisignSignature(signature, catalogue, policy.keys);
             check != TarvCrypto::SignatureCheck::kValid) {
    reason = check == TarvCrypto::SignatureCheck::kUnknownKey
                 ? "signed by a key that is not installed"
                 : "signature does not match the catalogue";
  } else if (!ParseCatalogueStamp(signature.trusted_comment, &stamp, &reason)) {
    reason = "trusted comment: " + reason;
  } else if (stamp.expires <= policy.now) {
    verdict = CatalogueVerdict::kExpired;
    reason = "expired at " + FormatUtcTime(stamp.expires);
  } else if (stamp.serial < policy.lowest_serial) {
    verdict = CatalogueVerdict::kReplayed;
    reason = "serial " + std::to_string(stamp.serial) + " is below the accepted serial " +
             std::to_string(policy.lowest_serial);
  } else {
    if (serial != nullptr) *serial = stamp.serial;
    return CatalogueVerdict::kAccepted;
  }
  if (detail != nullptr) *detail = reason;
  return verdict;
}
