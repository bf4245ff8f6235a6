// Shared declarations of tarv-mkpatch: the subcommands (one per
// cmd_<name>.cpp, listed in the table of mkpatch_main.cpp) and the helpers
// they share. Single-threaded command-line program; every failure is one
// line on standard error and a non-zero exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mkpatch {

// The arguments after the subcommand's name.
using Args = std::vector<std::string>;

// Subcommands; each returns the program's exit code.
int CmdDiff(const Args& args);
int CmdMd5(const Args& args);
int CmdPatch(const Args& args);
int CmdApply(const Args& args);
int CmdChain(const Args& args);
int CmdCheckServer(const Args& args);  // cmd_check_server.cpp
int CmdKeygen(const Args& args);
int CmdSign(const Args& args);
int CmdVerify(const Args& args);
int CmdJobs(const Args& args);      // cmd_jobs.cpp
int CmdAssemble(const Args& args);  // cmd_jobs.cpp
int CmdList(const Args& args);

// Writes "tarv-mkpatch: <text>" to standard error and returns 1.
int Fail(const std::string& text);

// The folder of the running program, where jpatch and tarv-unzip lie.
std::string ProgramDir();

// Takes "NAME VALUE" out of `args` into `value` (left as it is when the
// option is not there). False when the value is missing.
bool TakeValueOption(Args* args, const std::string& name, std::string* value, std::string* error);
// Takes the flag `name` out of `args`; true when it was there.
bool TakeFlagOption(Args* args, const std::string& name);

// Takes "--level N" out of `args` into `level` (1 to 22). False with a
// message in `error` when the value is missing or out of range.
bool TakeLevelOption(Args* args, int* level, std::string* error);
// Takes "--jobs N" (1 to 256) out of args; `jobs` keeps its value (the
// number of cores by default) when the option is not there.
bool TakeJobsOption(Args* args, unsigned* jobs, std::string* error);
// The number of jobs when none is given: one a core.
unsigned DefaultJobs();

// The whole file at `path` when it is a regular file of at most `limit`
// bytes; otherwise false with a line in `error`.
bool ReadFile(const std::string& path, uint64_t limit, std::string* bytes, std::string* error);

// False, naming the file, when a file under `dir` holds a minisign secret
// key (secret_guard.cpp).
bool RefuseSecretKeys(const std::string& dir, std::string* error);

// A fresh private folder under TMPDIR (or /tmp); empty on failure.
std::string MakePrivateTempDir();
// True for an existing folder.
bool IsFolder(const std::string& path);
// Unpacks a patch archive with tarv-unzip into `temp`/project, the
// unpacker's messages going to `temp`/unzip.log; false with the reason.
bool UnpackArchive(const std::string& archive, const std::string& temp, std::string* error);
// Removes a folder tree, links as links.
void RemoveTree(const std::string& path);

// The default compression level of differences: high, since a patch is
// made once and downloaded by every player.
constexpr int kDefaultLevel = 19;

}  // namespace mkpatch
