// Fuzz target: the repair manifest reader. A manifest it accepts names only
// safe paths, each once, with well-formed digests, and formats back to a
// text that reads as the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "apply/patch_path.h"
#include "apply/repair_manifest.h"
#include "diag/text_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TarvPatch::RepairManifest manifest;
  std::string error;
  if (!manifest.Parse(text, &error)) {
    if (error.empty()) abort();
    return 0;
  }
  std::set<std::string> seen;
  for (const TarvPatch::ManifestEntry& e : manifest.Entries()) {
    if (e.sha256.size() != 64 ||
        e.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
      abort();
    }
    if (!TarvText::IsValidUtf8(e.path)) abort();
    if (!TarvPatch::IsSafeEntryPath(TarvPatch::SplitEntryPath(TarvText::FromUtf8(e.path)))) abort();
    if (!seen.insert(e.path).second) abort();
    if (TarvPatch::ObjectAddress(e.sha256).find("..") != std::string::npos) abort();
  }
  TarvPatch::RepairManifest again;
  if (!again.Parse(TarvPatch::RepairManifest::Format(manifest.Entries()), &error)) abort();
  if (again.Entries().size() != manifest.Entries().size()) abort();
  for (size_t i = 0; i < again.Entries().size(); ++i) {
    const auto& a = again.Entries()[i];
    const auto& b = manifest.Entries()[i];
    if (a.path != b.path || a.size != b.size || a.sha256 != b.sha256) abort();
  }
  return 0;
}
