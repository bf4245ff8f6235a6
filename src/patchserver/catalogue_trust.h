// Whether a fetched catalogue may be used, whoever fetched it: a server
// search, a patch folder or a repair. When the installation carries the
// publisher's keys the signature beside the catalogue ("<address>.minisig")
// must be by one of them, its serial no lower than one accepted before and
// its expiry not passed; without keys every catalogue is trusted and no
// signature is fetched. One table gives each refusal its line.
#pragma once

#include <cstdint>
#include <string>

#include "patchserver/catalogue_signature.h"
#include "patchserver/fetch.h"

namespace TarvPatch {

struct CatalogueTrust {
  bool trusted = false;
  uint64_t serial = 0;     // of an accepted signed catalogue; 0 when none was checked
  bool cancelled = false;  // the signature's fetch was cancelled: no line is owed
  std::wstring refusal;    // the level-2 line naming the address; empty unless refused
};

// The message id of the line for a refused catalogue (kAccepted has none).
int RefusalMessageId(CatalogueVerdict verdict);

// The decision on `catalogue`, the text fetched from `address`, under
// `policy`; the signature is fetched with `fetch`. `shown` is the address
// as the refusal line and the system log name it (never with a password).
CatalogueTrust JudgeCatalogue(const std::string& catalogue, const std::wstring& address,
                              const std::wstring& shown, const CataloguePolicy& policy,
                              const TextFetcher& fetch);

}  // namespace TarvPatch
