// PatchInfo: one accepted record of a server's patch catalogue, stored in
// the catalogue under its source version. A plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct PatchInfo {
  std::string targetVersion;  // the version after this patch
  std::wstring patchExeUrl;   // as written; carried along, never downloaded
  std::wstring patchDataUrl;  // the archive's absolute address
  // The archive's size and SHA-256 (64 lower-case hexadecimal digits) when
  // the record gives them; the download is held to both.
  std::optional<uint64_t> patchDataSize;
  std::string patchDataSha256;
};

// One repair manifest a catalogue names: where it lies and the SHA-256 of
// its text (64 lower-case hexadecimal digits). A plain value.
struct ManifestInfo {
  std::wstring url;  // absolute, as patchDataUrl
  std::string sha256;
};
