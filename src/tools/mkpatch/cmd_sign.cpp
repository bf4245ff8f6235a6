// tarv-mkpatch sign [--serial N] [--expires TIME] [--force] SECRET_KEY FILE [SIGNATURE]:
// signs a catalogue as the patcher checks it: a prehashed signature in the
// minisign program's format whose trusted comment carries "serial:N" and
// "expires:YYYY-MM-DDTHH:MM:SSZ". The serial defaults to the seconds since
// 1970, so that every later signature has a higher one; the expiry to 90
// days from now. The signature goes to FILE.minisig unless named. A serial
// not above the signature it replaces, or an expiry passed, is refused
// unless --force (signing.h says why).
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "mkpatch.h"
#include "signing.h"

namespace mkpatch {
namespace {

// A catalogue is read into memory by the patcher up to 4 MiB; anything
// signed here is read whole too.
constexpr size_t kMaxSignedBytes = size_t{256} << 20;

bool ParseStamp(Args* args, CatalogueStamp* stamp, bool* serial_given, std::string* error) {
  std::string serial, expires;
  if (!TakeValueOption(args, "--serial", &serial, error) ||
      !TakeValueOption(args, "--expires", &expires, error)) {
    return false;
  }
  *stamp = DefaultStamp();
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
    *serial_given = !serial.empty();
    stamp->expires = given.expires;
  }
  return true;
}

}  // namespace

int CmdSign(const Args& in) {
  Args args = in;
  SignPlan plan;
  std::string error, message;
  const bool force = TakeFlagOption(&args, "--force");
  if (!ParseStamp(&args, &plan.stamp, &plan.serial_given, &error)) return Fail(error);
  if (args.size() != 2 && args.size() != 3) {
    return Fail(
        "usage: tarv-mkpatch sign [--serial N] [--expires TIME] [--force] SECRET_KEY FILE "
        "[SIGNATURE]");
  }
  plan.signature_path = args.size() == 3 ? args[2] : args[1] + ".minisig";
  if (!PrepareSigning(args[0], force, &plan, &error)) return Fail(error);
  if (!ReadFile(args[1], kMaxSignedBytes, &message, &error)) return Fail(error);
  if (!WriteSignature(plan, message, &error)) return Fail(error);
  return 0;
}

}  // namespace mkpatch
