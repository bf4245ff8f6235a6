// tarv-unzip's unpacking: every entry of a ZIP archive into a folder, each
// through a temporary file checked for its CRC and size before it is renamed
// into place; names that would leave the folder, links, devices, pipes and
// encrypted entries refused; folders walked without following links. The
// first failure ends the run. Used by the program and its fuzz target.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace TarvUnzip {

enum ExitCode { kOk = 0, kUsage = 1, kArchiveBad = 2, kEntryBad = 3 };

// Splits an entry name into its components, "." and empty ones left out;
// false when it must be refused (empty, absolute, a drive letter, a ".."
// component, a NUL byte, or nothing left). `is_dir` for a name ending in a
// separator.
bool SplitName(const std::string& name, std::vector<std::string>* parts, bool* is_dir);

// Unpacks `archive` into `folder` (made when missing). Each failure is
// described in one line on `err` (may be null). The program's exit code.
int Unzip(const std::string& archive, const std::string& folder, FILE* err);

// Lists the entries of `archive` and their sizes on `out` (unzip_list.cpp);
// a name that unpacking would refuse is marked. The program's exit code.
int List(const std::string& archive, FILE* out, FILE* err);

}  // namespace TarvUnzip
