// Signing a catalogue so that no player can be locked out: the serial of a
// new signature must lie above the one it replaces (a player who accepted the
// higher serial refuses every lower one until the higher is passed again),
// and its expiry must lie ahead. `--force` overrides both, for a publisher
// who knows no player has seen the signature being replaced.
#pragma once

#include <string>

#include "crypto/secret_key.h"
#include "patchserver/catalogue_stamp.h"

namespace mkpatch {

// What one signature is made with and where it goes.
struct SignPlan {
  TarvCrypto::SecretKey key;
  CatalogueStamp stamp;
  // Without a given serial, one above the replaced signature's is taken
  // when the clock's default is not above it.
  bool serial_given = false;
  std::string signature_path;
};

// Serial: the seconds since 1970, so that every later signature has a
// higher one; expiry: 90 days from now.
CatalogueStamp DefaultStamp();

// Reads the secret key and checks `plan->stamp` against the signature now at
// `plan->signature_path` (if any) and against the clock. False with the
// line to show in `error`.
bool PrepareSigning(const std::string& key_path, bool force, SignPlan* plan, std::string* error);

// Signs `message` as planned and prints the signature's line.
bool WriteSignature(const SignPlan& plan, const std::string& message, std::string* error);

// The stamp of a readable signature at `path`; false when there is none or
// its trusted comment is not a stamp.
bool ReadExistingStamp(const std::string& path, CatalogueStamp* stamp);

}  // namespace mkpatch
