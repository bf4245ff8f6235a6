// PatchCatalogue: the patches a server offers, parsed from its catalogue
// file "patches.txt": records of "key: value" lines separated by empty
// lines, each naming a source version, a target version and two addresses.
// The file format is described in docs/catalogue.md. Owned by the patch
// task and used by its worker thread only; records of later files replace
// earlier ones with the same source version.
#pragma once

#include <map>
#include <string>

#include "data/data_buffer.h"
#include "patchserver/patch_info.h"

class PatchCatalogue {
 public:
  using KeyValueTable = std::map<std::string, std::string>;

  // Adds every valid record of the file in `buffer` (read from its current
  // position) to the catalogue; relative data addresses are joined to
  // `server`. True when at least one record was valid. Invalid records are
  // skipped silently.
  bool ParseCatalogue(TarvDataBuffer* buffer, const std::wstring& server);

  // Parses one record (its lines, each ended by "\n") and stores it when
  // valid: the four keys present and not empty, and a server to join a
  // relative data address to. "patch-data-size" (decimal bytes, at most 32
  // bits) and "patch-data-sha256" (64 hexadecimal digits) are optional, but
  // a record that gives one malformed is invalid. "http://", "https://" and
  // "ftp://" data addresses are absolute. Other keys are ignored.
  bool ParseCatalogueRecord(TarvDataBuffer* record, const std::wstring& server);

  // Fills `table` from the record's lines: keys lower-cased, keys and values
  // stripped of spaces, a value in double quotes unquoted, later keys
  // replacing earlier ones. False when a non-blank line has no colon (the
  // other lines are still read).
  static bool ParseKeyValues(TarvDataBuffer* buffer, KeyValueTable& table);

  // The record stored under exactly this source version, or null.
  const PatchInfo* GetPatchInfo(const std::string& version) const;

  const std::map<std::string, PatchInfo>& Records() const { return m_records; }

  // The repair manifest offered for exactly this version, or null. Manifest
  // records ("manifest-version", "manifest-url", "manifest-sha256") are
  // stored when all three are present, the digest is 64 hexadecimal digits
  // and a relative address has a server to join to; they never count as
  // patch records, so a catalogue reader that knows only patch records
  // skips them as incomplete.
  const ManifestInfo* GetManifestInfo(const std::string& version) const;

 private:
  void TakeManifestRecord(KeyValueTable& table, const std::wstring& server);

  std::map<std::string, PatchInfo> m_records;
  std::map<std::string, ManifestInfo> m_manifests;
};
