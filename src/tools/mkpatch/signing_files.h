// Files of the signing subcommands (keygen, sign, verify): whole small files
// read with a size limit, and files written beside their final name and
// renamed into place, so that a key or signature is never seen half
// written. Every failure is a message in `error`.
#pragma once

#include <sys/types.h>

#include <string>

namespace mkpatch {

bool ReadSmallFile(const std::string& path, size_t limit, std::string* text, std::string* error);

// Writes `text` with `mode` and renames it to `path`; with `keep_existing`
// an existing `path` is an error and stays as it is.
bool WriteFileInPlace(const std::string& path, const std::string& text, mode_t mode,
                      bool keep_existing, std::string* error);

}  // namespace mkpatch
