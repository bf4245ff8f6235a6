// The three lists of an unpacked patch (addedFiles.txt, deletedFiles.txt,
// patchedFiles.txt): UTF-8 text, any mix of CR, LF and CR LF line ends, one
// entry per group of three lines (path, digest after, digest before). Pure
// functions, safe on any thread.
#pragma once

#include <string>
#include <vector>

namespace TarvPatch {

// One entry of a list: the path relative to the installation and the MD5
// digests (32 lower-case hexadecimal digits) before and after the patch.
struct PatchFileEntry {
  std::wstring m_path;
  std::wstring m_oldDigest;
  std::wstring m_newDigest;
};

// The entries in file order.
using PatchFileList = std::vector<PatchFileEntry>;

enum class ListResult {
  kOk,
  kCannotOpen,  // missing or unreadable: the caller reports "Could not open: "
  kBroken,      // read, but not a well-formed list; `why` says what is wrong
};

// A list is read whole into memory; a larger file is reported as broken.
constexpr size_t kMaxListBytes = 64u << 20;

// Parses the bytes of a list. A leading UTF-8 byte-order mark is skipped. The
// text must be valid UTF-8 without zero bytes, and its line count a multiple
// of three; otherwise kBroken with the reason in `why` and `list` empty. With
// `paths_only` the digest lines are checked for their count but not kept.
ListResult ParsePatchFileList(const std::string& bytes, PatchFileList& list, std::string* why,
                              bool paths_only = false);

// Reads and parses the list file at `path`.
ListResult ReadPatchFileList(const std::wstring& path, PatchFileList& list, std::string* why,
                             bool paths_only = false);

}  // namespace TarvPatch
