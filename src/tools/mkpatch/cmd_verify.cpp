// tarv-mkpatch verify PUBLIC_KEYS FILE [SIGNATURE]: checks a signature as the
// patcher checks a catalogue's: made by one of the keys (a key file may hold
// several), over the file's bytes, with a trusted comment that carries a
// serial and an expiry time not yet passed. Whether the serial is high
// enough depends on each installation and is not checked here.
#include <cstdio>
#include <ctime>

#include "crypto/minisign_signature.h"
#include "data/file_io.h"
#include "mkpatch.h"
#include "patchserver/catalogue_stamp.h"

namespace mkpatch {

int CmdVerify(const Args& args) {
  if (args.size() != 2 && args.size() != 3) {
    return Fail("usage: tarv-mkpatch verify PUBLIC_KEYS FILE [SIGNATURE]");
  }
  const std::string signature_path = args.size() == 3 ? args[2] : args[1] + ".minisig";
  std::string key_text, message, signature_text, error;
  std::vector<TarvCrypto::PublisherKey> keys;
  TarvCrypto::MinisignSignature signature;
  if (!ReadFile(args[0], TarvCrypto::kMaxPublisherKeyFileBytes, &key_text, &error))
    return Fail(error);
  if (!TarvCrypto::ParsePublisherKeys(key_text, &keys, &error)) return Fail(args[0] + ": " + error);
  if (!ReadFile(args[1], size_t{256} << 20, &message, &error) ||
      !ReadFile(signature_path, TarvCrypto::kMaxSignatureFileBytes, &signature_text, &error)) {
    return Fail(error);
  }
  if (!TarvCrypto::ParseMinisignSignature(signature_text, &signature, &error)) {
    return Fail(signature_path + ": " + error);
  }
  TarvCrypto::PublisherKey signer;
  switch (TarvCrypto::VerifyMinisignSignature(signature, message, keys, &signer)) {
    case TarvCrypto::SignatureCheck::kUnknownKey:
      return Fail(signature_path + ": made by a key that " + args[0] + " does not hold");
    case TarvCrypto::SignatureCheck::kInvalid:
      return Fail(signature_path + ": does not match " + args[1]);
    case TarvCrypto::SignatureCheck::kValid:
      break;
  }
  CatalogueStamp stamp;
  if (!ParseCatalogueStamp(signature.trusted_comment, &stamp, &error)) {
    return Fail(signature_path + ": the patcher refuses it: " + error);
  }
  if (stamp.expires <= static_cast<int64_t>(time(nullptr))) {
    return Fail(signature_path + ": expired at " + FormatUtcTime(stamp.expires));
  }
  printf("%s: valid, key %s, serial %llu, expires %s\n", signature_path.c_str(),
         signer.IdText().c_str(), static_cast<unsigned long long>(stamp.serial),
         FormatUtcTime(stamp.expires).c_str());
  return 0;
}

}  // namespace mkpatch
