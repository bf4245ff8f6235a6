#include "apply/repair_manifest.h"

#include <set>

#include "apply/patch_path.h"
#include "crypto/sha256.h"
#include "diag/text_encoding.h"

namespace TarvPatch {
namespace {

// A decimal size without sign or leading zeros, at most 2^63 - 1.
bool ParseSize(const std::string& text, uint64_t* size) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > static_cast<uint64_t>(INT64_MAX)) return false;
  *size = value;
  return true;
}

bool SafePath(const std::string& path) {
  if (path.empty() || !TarvText::IsValidUtf8(path) ||
      path.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    return false;
  }
  return IsSafeEntryPath(SplitEntryPath(TarvText::FromUtf8(path)));
}

// The digest as the manifest writes it: 64 lower-case hexadecimal digits.
bool IsLowerCaseDigest(const std::string& text) {
  for (char c : text) {
    if (c >= 'A' && c <= 'F') return false;
  }
  return TarvCrypto::IsSha256Hex(text);
}

// One line into `entry`; an empty result when it is good, else the fault.
std::string ParseLine(const std::string& line, ManifestEntry* entry) {
  size_t first = line.find(' ');
  size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos) return "expected \"<sha256> <size> <path>\"";
  entry->sha256 = line.substr(0, first);
  if (!IsLowerCaseDigest(entry->sha256))
    return "the digest is not 64 lower-case hexadecimal digits";
  if (!ParseSize(line.substr(first + 1, second - first - 1), &entry->size)) {
    return "the size is not a decimal number";
  }
  entry->path = line.substr(second + 1);
  if (!SafePath(entry->path)) return "the path leaves the installation or names no file";
  return "";
}

// The key under which two spellings of one path meet.
std::string PathKey(const std::string& path) {
  EntryPath split = SplitEntryPath(TarvText::FromUtf8(path));
  return TarvText::ToUtf8(JoinEntryPath(L"", split));
}

}  // namespace

bool RepairManifest::Parse(const std::string& text, std::string* error) {
  m_entries.clear();
  if (text.size() > kMaxBytes) {
    *error = "the manifest is larger than 64 MiB";
    return false;
  }
  std::set<std::string> seen;
  size_t line_number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ManifestEntry entry;
    std::string fault = ParseLine(line, &entry);
    if (fault.empty() && !seen.insert(PathKey(entry.path)).second)
      fault = "the path is listed twice";
    if (fault.empty() && m_entries.size() >= kMaxEntries) fault = "too many entries";
    if (!fault.empty()) {
      *error = "line " + std::to_string(line_number) + ": " + fault;
      m_entries.clear();
      return false;
    }
    m_entries.push_back(std::move(entry));
  }
  return true;
}

std::string RepairManifest::Format(const std::vector<ManifestEntry>& entries) {
  std::string out;
  for (const ManifestEntry& e : entries) {
    out += e.sha256 + " " + std::to_string(e.size) + " " + e.path + "\n";
  }
  return out;
}

std::string ObjectAddress(const std::string& sha256) {
  return "objects/" + sha256.substr(0, 2) + "/" + sha256 + ".zst";
}

}  // namespace TarvPatch
