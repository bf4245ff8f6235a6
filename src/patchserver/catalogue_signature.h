// The check a server's catalogue must pass before its records are used when
// the installation carries the publisher's keys: a signature by one of them
// over the catalogue's bytes, a trusted comment with a serial no lower than
// the highest one this installation has accepted, and an expiry time not yet
// passed. Plain values and functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/publisher_key.h"

// What a catalogue must prove. Without keys nothing is asked for.
struct CataloguePolicy {
  std::vector<TarvCrypto::PublisherKey> keys;
  uint64_t lowest_serial = 0;  // the highest serial accepted before
  int64_t now = 0;             // seconds since 1970, UTC

  bool SignatureRequired() const { return !keys.empty(); }
};

enum class CatalogueVerdict {
  kAccepted,
  kMissing,   // no signature file (the caller decides this)
  kBad,       // malformed, by an unknown key, or not matching the catalogue
  kExpired,   // the expiry time has passed
  kReplayed,  // a serial lower than one accepted before
};

// The verdict on `catalogue` with the signature file's text. On kAccepted
// `serial` (may be null) receives the catalogue's serial; `detail` (may be
// null) receives a line for the system log on any other verdict.
CatalogueVerdict CheckCatalogueSignature(std::string_view catalogue,
                                         std::string_view signature_text,
                                         const CataloguePolicy& policy, uint64_t* serial,
                                         std::string* detail);
