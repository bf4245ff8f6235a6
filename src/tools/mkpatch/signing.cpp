#include "signing.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "crypto/minisign_signature.h"
#include "data/file_io.h"
#include "mkpatch.h"

namespace mkpatch {

CatalogueStamp DefaultStamp() {
  constexpr int64_t kDefaultLifetime = int64_t{90} * 24 * 3600;
  const int64_t now = static_cast<int64_t>(time(nullptr));
  return {.serial = static_cast<uint64_t>(now), .expires = now + kDefaultLifetime};
}

bool ReadExistingStamp(const std::string& path, CatalogueStamp* stamp) {
  std::string text, ignored;
  TarvCrypto::MinisignSignature signature;
  return ReadFile(path, TarvCrypto::kMaxSignatureFileBytes, &text, &ignored) &&
         TarvCrypto::ParseMinisignSignature(text, &signature, &ignored) &&
         ParseCatalogueStamp(signature.trusted_comment, stamp, &ignored);
}

bool PrepareSigning(const std::string& key_path, bool force, SignPlan* plan, std::string* error) {
  std::string key_text;
  if (!ReadFile(key_path, uint64_t{64} << 10, &key_text, error)) return false;
  if (!TarvCrypto::ParseSecretKey(key_text, &plan->key, error)) {
    *error = key_path + ": " + *error;
    return false;
  }
  if (force) return true;
  if (plan->stamp.expires <= static_cast<int64_t>(time(nullptr))) {
    *error = "the expiry " + FormatUtcTime(plan->stamp.expires) +
             " has passed; the patcher refuses this signature (--force signs anyway)";
    return false;
  }
  CatalogueStamp existing;
  if (!ReadExistingStamp(plan->signature_path, &existing) || plan->stamp.serial > existing.serial) {
    return true;
  }
  if (!plan->serial_given && existing.serial < UINT64_MAX) {
    plan->stamp.serial = existing.serial + 1;
    return true;
  }
  *error = plan->signature_path + ": holds serial " + std::to_string(existing.serial) +
           "; every player who accepted it refuses serial " + std::to_string(plan->stamp.serial) +
           " (give a higher --serial, or --force)";
  return false;
}

bool WriteSignature(const SignPlan& plan, const std::string& message, std::string* error) {
  const TarvCrypto::MinisignSignature signature =
      TarvCrypto::SignMessage(plan.key, message, FormatCatalogueStamp(plan.stamp));
  const std::string text = TarvCrypto::FormatMinisignSignature(
      signature, "signature from tarv-mkpatch key " + plan.key.PublicKey().IdText());
  if (!TarvFile::ReplaceFile(plan.signature_path, text, {.mode = 0644}, error)) return false;
  printf("%s: serial %llu, expires %s, key %s\n", plan.signature_path.c_str(),
         static_cast<unsigned long long>(plan.stamp.serial),
         FormatUtcTime(plan.stamp.expires).c_str(), plan.key.PublicKey().IdText().c_str());
  return true;
}

}  // namespace mkpatch
