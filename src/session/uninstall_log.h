// The uninstaller's log "unins000.dat" of an installation: a 448-byte header
// and CRC-protected blocks of records. After a patch has been applied, one
// delete-file record per added file is put in before the log's final record,
// so that uninstalling removes the added files too. The layout is described
// in docs/uninstall-log.md. Free functions; called on the session's worker
// thread, one update at a time per installation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TarvPatch {

constexpr size_t kUninstallHeaderSize = 448;
constexpr size_t kUninstallHeaderCrcOffset = 444;
constexpr size_t kUninstallRecordCountOffset = 324;
constexpr size_t kUninstallEndOffsetOffset = 328;
constexpr size_t kUninstallBlockHeaderSize = 12;
constexpr size_t kUninstallBlockSize = 4096;
constexpr size_t kUninstallFinalRecordSize = 28;
// The log's name in the installation folder, and a bound on how much an
// update of it for one patch may add.
inline constexpr wchar_t kUninstallLogName[] = L"unins000.dat";
inline constexpr wchar_t kUninstallLogTempName[] = L"unins000_temp.dat";
inline constexpr uint64_t kUninstallLogGrowth = 1u << 20;
// A log is read whole; anything longer is not a log this program will touch.
constexpr size_t kUninstallMaxLogSize = 256u << 20;

// The bytes of one delete-file record for `path` (type 0x0082, extra 0, the
// path in the compact string encoding and the list end byte 0xFF).
std::string MakeDeleteFileRecord(std::string_view path);

// The 8-bit full path recorded for an added file: the installation folder,
// one backslash, the file's path as the patch's list gives it.
std::string UninstallRecordPath(const std::wstring& install_dir, const std::wstring& relative);

// What the update changes: a new header, how many bytes of the old log
// follow it unchanged (the full blocks before the one in which the final
// record starts), and the new blocks that replace the rest.
struct UninstallLogEdit {
  std::string header;
  size_t kept_end = 0;  // offset in the old log where the rewritten tail starts
  std::string tail;
  uint32_t records_added = 0;
};

// Checks the structure of `log` (header CRC, every block's size, its
// complement and CRC, every block but the last full, at least the 28 bytes
// of the final record in all) and computes the edit that inserts `records`
// (whole record bytes) before the final record. False with a reason in `error` when the log does
// not hold together or a count would overflow; `edit` is then unspecified.
bool PlanUninstallLogEdit(std::string_view log, const std::vector<std::string>& records,
                          UninstallLogEdit* edit, std::string* error);

// The update of the installation's log for the added files (paths as the
// patch's added-files list gives them). No file is touched when the list is
// empty. The new log is written to "unins000_temp.dat", flushed and renamed
// over "unins000.dat"; on any failure the log stays byte-identical, the
// temporary copy is removed, and false comes back with a reason in `error`.
bool UpdateUninstallLog(const std::wstring& install_dir, const std::vector<std::wstring>& added,
                        std::string* error);

// True when the installation has no "unins000.dat" at all (installations
// made without the uninstaller have none); a log that is there but cannot be
// read is not missing.
bool UninstallLogMissing(const std::wstring& install_dir);

}  // namespace TarvPatch
