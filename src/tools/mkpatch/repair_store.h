// The repair half of a server folder: for each version a manifest of every
// file (manifests/<version>.txt) and each distinct file once, compressed
// with zstd under its SHA-256 (objects/<2 digits>/<sha256>.zst), so that a
// patcher can check an installation and fetch only what is damaged.
// Layout in docs/patch-server.md. Each operation reports failure by its
// result with the reason in `error`.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace mkpatch {

struct RepairStoreSummary {
  size_t objects_written = 0, objects_kept = 0;
};

// Writes the manifests and objects of `versions` (name, folder) under
// `server` and appends to `records` one catalogue record per version:
// "manifest-version", "manifest-url" and "manifest-sha256", records
// separated by empty lines, CR LF line ends. An object already present is
// kept (its name is its content). Files are written through the file
// layer's atomic replacement.
bool WriteRepairStore(const std::string& server,
                      const std::vector<std::pair<std::string, std::string>>& versions,
                      std::string* records, RepairStoreSummary* summary, std::string* error);

}  // namespace mkpatch
