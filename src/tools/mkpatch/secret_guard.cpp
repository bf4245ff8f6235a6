// Every file under a version folder that is published (inside an archive or
// as a repair object) is looked at once before anything is made: a secret
// signing key left among the game's files would reach every player.
#include <filesystem>

#include "crypto/key_kind.h"
#include "mkpatch.h"

namespace mkpatch {

namespace {

// Key files are a few hundred bytes; the sniffing reads no more than this.
constexpr uint64_t kLargestKeyFile = uint64_t{64} << 10;

}  // namespace

bool RefuseSecretKeys(const std::string& dir, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const fs::directory_entry& e = *it;
    if (e.is_symlink(ec) || !e.is_regular_file(ec)) continue;
    const uint64_t size = e.file_size(ec);
    if (ec || size > kLargestKeyFile) continue;
    std::string text, ignored;
    if (!ReadFile(e.path().string(), kLargestKeyFile, &text, &ignored)) continue;
    if (TarvCrypto::SniffMinisignKey(text) == TarvCrypto::MinisignKeyKind::kSecret) {
      *error = e.path().string() +
               ": holds a secret signing key, which would be published to every player; "
               "remove it from the version folder";
      return false;
    }
  }
  // The folder's own faults (missing, unreadable) are reported by the
  // archive writer with its usual lines.
  return true;
}

}  // namespace mkpatch
