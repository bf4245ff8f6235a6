#include "patchserver/patch_catalogue.h"

#include "crypto/sha256.h"
#include "data/file_util.h"
#include "patchserver/line_reader.h"

namespace {

// Spaces only: a tab is an ordinary character of the format.
std::string TrimSpaces(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsAbsolute(const std::wstring& address) {
  auto starts = [&](const wchar_t* prefix) {
    for (size_t i = 0; prefix[i] != L'\0'; ++i) {
      if (i >= address.size()) return false;
      wchar_t c = address[i];
      if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
      if (c != prefix[i]) return false;
    }
    return true;
  };
  return starts(L"ftp://") || starts(L"http://") || starts(L"https://");
}

// A size in decimal digits that a download buffer can hold (32 bits).
bool ParseSize(const std::string& text, uint64_t* size) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  *size = value;
  return true;
}

// The optional archive size and digest. False when one is given but
// malformed: such a record cannot be held to what it claims.
bool TakeArchiveFields(PatchCatalogue::KeyValueTable& table, PatchInfo* info) {
  const std::string& size = table["patch-data-size"];
  std::string digest = LowerAscii(table["patch-data-sha256"]);
  if (!size.empty()) {
    uint64_t value = 0;
    if (!ParseSize(size, &value)) return false;
    info->patchDataSize = value;
  }
  if (!digest.empty() && !TarvCrypto::IsSha256Hex(digest)) return false;
  info->patchDataSha256 = digest;
  return true;
}

void AppendLine(TarvDataBufferMemoryDynamic& record, const std::string& line) {
  record.Write(line.data(), static_cast<uint32_t>(line.size()));
  record.Write("\n", 1);
}

}  // namespace

bool PatchCatalogue::ParseCatalogue(TarvDataBuffer* buffer, const std::wstring& server) {
  bool found = false;
  TarvLineReader reader(buffer);
  std::string line;
  for (;;) {
    do {
      reader.ReadLine(line);
      if (reader.EndFlag() != 0) return found;
    } while (line.empty());
    TarvDataBufferMemoryDynamic record;
    for (;;) {
      AppendLine(record, line);
      reader.ReadLine(line);
      if (line.empty()) break;
      if (reader.EndFlag() != 0) {
        AppendLine(record, line);  // the last line, without a terminator
        break;
      }
    }
    record.SetPosition(0);
    if (ParseCatalogueRecord(&record, server)) found = true;
    if (reader.EndFlag() != 0) return found;
  }
}

bool PatchCatalogue::ParseKeyValues(TarvDataBuffer* buffer, KeyValueTable& table) {
  table.clear();
  bool valid = true;
  TarvLineReader reader(buffer);
  std::string line;
  for (;;) {
    reader.ReadLine(line);
    line = TrimSpaces(line);
    if (!line.empty()) {
      size_t colon = line.find(':');
      if (colon == std::string::npos) {
        valid = false;
      } else {
        std::string value = TrimSpaces(line.substr(colon + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
          value = value.substr(1, value.size() - 2);
        }
        table[LowerAscii(TrimSpaces(line.substr(0, colon)))] = value;
      }
    }
    if (reader.EndFlag() != 0) return valid;
  }
}

bool PatchCatalogue::ParseCatalogueRecord(TarvDataBuffer* record, const std::wstring& server) {
  KeyValueTable table;
  if (!ParseKeyValues(record, table)) return false;
  TakeManifestRecord(table, server);
  const std::string& source = table["source-version"];
  const std::string& target = table["target-version"];
  const std::string& exe = table["patch-exe-url"];
  const std::string& data = table["patch-data-url"];
  if (source.empty() || target.empty() || exe.empty() || data.empty()) return false;
  PatchInfo info;
  info.targetVersion = target;
  info.patchExeUrl = TarvUtil::ToWide(exe);
  info.patchDataUrl = TarvUtil::ToWide(data);
  if (!TakeArchiveFields(table, &info)) return false;
  if (!IsAbsolute(info.patchDataUrl)) {
    if (server.empty()) return false;
    info.patchDataUrl = TarvUtil::JoinPath(server, info.patchDataUrl);
  }
  m_records[source] = info;
  return true;
}

void PatchCatalogue::TakeManifestRecord(KeyValueTable& table, const std::wstring& server) {
  const std::string& version = table["manifest-version"];
  std::string sha256 = LowerAscii(table["manifest-sha256"]);
  ManifestInfo info{TarvUtil::ToWide(table["manifest-url"]), sha256};
  if (version.empty() || info.url.empty() || !TarvCrypto::IsSha256Hex(sha256)) return;
  if (!IsAbsolute(info.url)) {
    if (server.empty()) return;
    info.url = TarvUtil::JoinPath(server, info.url);
  }
  m_manifests[version] = info;
}

const ManifestInfo* PatchCatalogue::GetManifestInfo(const std::string& version) const {
  auto it = m_manifests.find(version);
  return it == m_manifests.end() ? nullptr : &it->second;
}

const PatchInfo* PatchCatalogue::GetPatchInfo(const std::string& version) const {
  auto it = m_records.find(version);
  return it == m_records.end() ? nullptr : &it->second;
}
