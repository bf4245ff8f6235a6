#include "patchserver/catalogue_trust.h"

#include "data/file_util.h"
#include "diag/system_log.h"
#include "os/message_ids.h"
#include "os/messages.h"

namespace TarvPatch {
namespace {

namespace Id = TarvMessages::Id;

struct VerdictLine {
  CatalogueVerdict verdict;
  int id;
};

constexpr VerdictLine kRefusalLines[] = {
    {CatalogueVerdict::kMissing, Id::kCatalogueUnsigned},
    {CatalogueVerdict::kBad, Id::kCatalogueBadSignature},
    {CatalogueVerdict::kExpired, Id::kCatalogueExpired},
    {CatalogueVerdict::kReplayed, Id::kCatalogueReplayed},
};

CatalogueTrust Refused(CatalogueVerdict verdict, const std::wstring& shown) {
  CatalogueTrust trust;
  trust.refusal = TarvMessages::LoadMessage(RefusalMessageId(verdict)) + shown;
  return trust;
}

}  // namespace

int RefusalMessageId(CatalogueVerdict verdict) {
  for (const VerdictLine& line : kRefusalLines) {
    if (line.verdict == verdict) return line.id;
  }
  return Id::kCatalogueBadSignature;
}

CatalogueTrust JudgeCatalogue(const std::string& catalogue, const std::wstring& address,
                              const std::wstring& shown, const CataloguePolicy& policy,
                              const TextFetcher& fetch) {
  CatalogueTrust trust;
  if (!policy.SignatureRequired()) {
    trust.trusted = true;
    return trust;
  }
  std::string signature;
  FetchOptions options;
  if (!fetch(address + L".minisig", FetchKind::kSignature, &signature, &options)) {
    if (options.failure.cause != TarvInet::TransferCause::kCancelled) {
      return Refused(CatalogueVerdict::kMissing, shown);
    }
    trust.cancelled = true;
    return trust;
  }
  std::string detail;
  const CatalogueVerdict verdict =
      CheckCatalogueSignature(catalogue, signature, policy, &trust.serial, &detail);
  if (verdict == CatalogueVerdict::kAccepted) {
    trust.trusted = true;
    return trust;
  }
  SystemLogA("catalogue %s refused: %s\n", TarvUtil::ToNarrow(shown).c_str(), detail.c_str());
  return Refused(verdict, shown);
}

}  // namespace TarvPatch
