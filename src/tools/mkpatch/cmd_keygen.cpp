// tarv-mkpatch keygen [--force] PUBLIC_KEY SECRET_KEY: a new signing key of
// the publisher, in the file formats of the minisign program. The secret key
// is not encrypted (as "minisign -G -W" makes it) and readable by its owner
// only; the public key is what the installation carries as
// Binaries/tarv-publisher.pub.

#include <cstdio>

#include "crypto/secret_key.h"
#include "data/file_io.h"
#include "data/file_status.h"
#include "mkpatch.h"

namespace mkpatch {

int CmdKeygen(const Args& in) {
  Args args = in;
  bool force = false;
  if (!args.empty() && args[0] == "--force") {
    force = true;
    args.erase(args.begin());
  }
  if (args.size() != 2) return Fail("usage: tarv-mkpatch keygen [--force] PUBLIC_KEY SECRET_KEY");
  // Neither file is written unless both names are free.
  for (const std::string& path : {args[1], args[0]}) {
    if (!force && TarvFile::EntryExists(path)) {
      return Fail(path + ": exists already (--force replaces it)");
    }
  }
  const TarvCrypto::SecretKey key = TarvCrypto::GenerateSecretKey();
  std::string error;
  if (!TarvFile::ReplaceFile(args[1], TarvCrypto::FormatSecretKey(key), {.mode = 0600}, &error) ||
      !TarvFile::ReplaceFile(args[0], TarvCrypto::FormatPublisherKey(key.PublicKey()),
                             {.mode = 0644}, &error)) {
    return Fail(error);
  }
  printf("key %s: public key %s, secret key %s (keep it off the servers)\n",
         key.PublicKey().IdText().c_str(), args[0].c_str(), args[1].c_str());
  return 0;
}

}  // namespace mkpatch
