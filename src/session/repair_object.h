// A file object fetched for repair: one zstd stream holding the whole
// content of one installed file. Unpacking it checks it against the entry
// of the manifest that asked for it, so a damaged or forged object never
// reaches the installation. Pure function; reports failure by its result.
#pragma once

#include <cstdint>
#include <string>

#include "apply/repair_manifest.h"

namespace TarvPatch {

// Decompresses `object` into the new file `destination` (which must not
// exist) and checks the result's size and SHA-256 against `entry`. Writes no
// more than the entry's size plus one byte. The new file's permissions are
// `mode`. On failure `destination` is removed and `error` says why.
bool UnpackRepairObject(const std::wstring& object, const std::wstring& destination,
                        const ManifestEntry& entry, unsigned mode, std::string* error);

// The longest object that can hold a file of `file_size` bytes: a zstd
// frame of incompressible content, with its block headers. A fetch stops
// there, so an endless or inflated body cannot fill the disk.
uint64_t ObjectSizeLimit(uint64_t file_size);

// Permissions for a file that repair puts where none was: executable when
// its first bytes mark a program (an ELF image or a "#!" script), else
// readable by all and writable by the owner.
unsigned ModeForNewFile(const std::wstring& path);

}  // namespace TarvPatch
