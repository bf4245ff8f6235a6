// The checks every entry passes before it is unpacked, shared by the
// unpacking and the listing: a name that stays inside the folder, a regular
// file or folder (no link, device or pipe), not encrypted.
#pragma once

#include <unzip.h>

#include <string>
#include <vector>

namespace TarvUnzip {

// False with "refused: <reason>" in `why`; otherwise the name's components
// in `parts`, `is_dir` for a folder entry.
bool CheckEntry(const unz_file_info64& info, const std::string& name,
                std::vector<std::string>* parts, bool* is_dir, std::string* why);

}  // namespace TarvUnzip
