// tarv-mkpatch sign [--serial N] [--expires TIME] SECRET_KEY FILE [SIGNATURE]:
// signs a catalogue as the patcher checks it: a prehashed signature in the
// minisign program's format whose trusted comment carries "serial:N" and
// "expires:YYYY-MM-DDTHH:MM:SSZ". The serial defaults to the seconds since
// 1970, so that every later signature has a higher one; the expiry to 90
// days from now. The signature goes to FILE.minisig unless named.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "crypto/secret_key.h"
#include "data/file_io.h"
#include "mkpatch.h"
#include "patchserver/catalogue_stamp.h"

namespace mkpatch {
namespace {

constexpr int64_t kDefaultLifetime = int64_t{90} * 24 * 3600;
// A catalogue is read into memory by the patcher up to 4 MiB; anything
// signed here is read whole too.
constexpr size_t kMaxSignedBytes = size_t{256} << 20;

bool TakeValue(Args* args, const std::string& name, std::string* value, std::string* error) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != name) continue;
    if (i + 1 >= args->size()) {
      *error = name + " needs a value";
      return false;
    }
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

bool ParseStamp(Args* args, CatalogueStamp* stamp, std::string* error) {
  std::string serial, expires;
  if (!TakeValue(args, "--serial", &serial, error) ||
      !TakeValue(args, "--expires", &expires, error)) {
    return false;
  }
  const int64_t now = static_cast<int64_t>(time(nullptr));
  stamp->serial = static_cast<uint64_t>(now);
  stamp->expires = now + kDefaultLifetime;
  std::string ignored;
  CatalogueStamp given;
  if (!serial.empty() || !expires.empty()) {
    const std::string text = "serial:" + (serial.empty() ? "0" : serial) + " expires:" +
                             (expires.empty() ? FormatUtcTime(stamp->expires) : expires);
    if (!ParseCatalogueStamp(text, &given, &ignored)) {
      *error = "--serial must be a number below 2^64 and --expires a time YYYY-MM-DDTHH:MM:SSZ";
      return false;
    }
    if (!serial.empty()) stamp->serial = given.serial;
    stamp->expires = given.expires;
  }
  if (stamp->expires <= now) {
    fprintf(stderr, "tarv-mkpatch: warning: %s has passed; the patcher refuses this signature\n",
            FormatUtcTime(stamp->expires).c_str());
  }
  return true;
}

}  // namespace

int CmdSign(const Args& in) {
  Args args = in;
  CatalogueStamp stamp;
  std::string error;
  if (!ParseStamp(&args, &stamp, &error)) return Fail(error);
  if (args.size() != 2 && args.size() != 3) {
    return Fail(
        "usage: tarv-mkpatch sign [--serial N] [--expires TIME] SECRET_KEY FILE [SIGNATURE]");
  }
  std::string key_text, message;
  TarvCrypto::SecretKey key;
  if (!ReadFile(args[0], uint64_t{64} << 10, &key_text, &error)) return Fail(error);
  if (!TarvCrypto::ParseSecretKey(key_text, &key, &error)) return Fail(args[0] + ": " + error);
  if (!ReadFile(args[1], kMaxSignedBytes, &message, &error)) return Fail(error);
  const std::string signature_path = args.size() == 3 ? args[2] : args[1] + ".minisig";
  const TarvCrypto::MinisignSignature signature =
      TarvCrypto::SignMessage(key, message, FormatCatalogueStamp(stamp));
  const std::string text = TarvCrypto::FormatMinisignSignature(
      signature, "signature from tarv-mkpatch key " + key.PublicKey().IdText());
  if (!TarvFile::ReplaceFile(signature_path, text, {.mode = 0644}, &error)) return Fail(error);
  printf("%s: serial %llu, expires %s, key %s\n", signature_path.c_str(),
         static_cast<unsigned long long>(stamp.serial), FormatUtcTime(stamp.expires).c_str(),
         key.PublicKey().IdText().c_str());
  return 0;
}

}  // namespace mkpatch
