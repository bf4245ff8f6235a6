// RepairManifest: the list of every file of one version of the
// installation, as a server publishes it for repair: one line per file,
// "<sha256> <size> <path>", the path relative to the installation with `\`
// between folders (as the patch lists write it). The format is described in
// docs/patch-server.md. A plain value; Parse and Format are pure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TarvPatch {

struct ManifestEntry {
  std::string path;  // UTF-8, `\` between folders
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
};

class RepairManifest {
 public:
  // Longest manifest text accepted, and most entries.
  static constexpr size_t kMaxBytes = 64u << 20;
  static constexpr size_t kMaxEntries = 1u << 20;

  // Reads the text of a manifest: lines end with LF or CR LF, the last line
  // end is optional, no line is empty. Each path must be safe (below the
  // installation, naming a file), valid UTF-8, and listed once. False with
  // the first fault (and its line number) in `error`.
  bool Parse(const std::string& text, std::string* error);

  // The text Parse reads back: entries in the given order, LF line ends.
  static std::string Format(const std::vector<ManifestEntry>& entries);

  const std::vector<ManifestEntry>& Entries() const { return m_entries; }

 private:
  std::vector<ManifestEntry> m_entries;
};

// The address of a file object relative to the server's base address:
// "objects/<first two digits>/<sha256>.zst".
std::string ObjectAddress(const std::string& sha256);

}  // namespace TarvPatch
