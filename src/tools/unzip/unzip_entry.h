// What the unpacking and the listing share: the opening of the archive, and
// the checks every entry passes before it is unpacked: a name that stays inside the folder, a
// regular file or folder (no link, device or pipe), not encrypted.
#pragma once

#include <unzip.h>

#include <string>
#include <vector>

namespace TarvUnzip {

// The archive opened for reading through the file layer (a regular file
// only, its name UTF-8 on every system); null when it cannot be.
unzFile OpenZip(const std::string& archive);

// False with "refused: <reason>" in `why`; otherwise the name's components
// in `parts`, `is_dir` for a folder entry.
bool CheckEntry(const unz_file_info64& info, const std::string& name,
                std::vector<std::string>* parts, bool* is_dir, std::string* why);

}  // namespace TarvUnzip
