// Unpacking a downloaded patch archive: where the archive and the work
// folder go in the temporary folder, and the run of the installation's
// external unpacker "Binaries/miniunz.exe" (-o -x ARCHIVE -d FOLDER) with
// waits in slices and cancellation. Free functions for the session's worker
// thread; nothing here reports to the user: the caller turns the outcome
// into its messages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace TarvPatch {

// `temp_folder` joined with `patch_name` + ".zip", created as a new empty
// file (never through a link, never over an existing name). False, with
// `path` cleared, when the name is empty or holds a separator (it must stay
// a file name inside the temporary folder) or the file cannot be created.
bool MakeArchivePath(const std::wstring& temp_folder, const std::wstring& patch_name,
                     std::wstring* path);

// Copies the player's archive `source` (a regular file; a link to one is
// followed once) into `destination`, a file MakeArchivePath made, through one
// open descriptor: the copy is what is checked and unpacked, whatever
// becomes of the player's file meanwhile. At most `max_bytes` + 1 bytes are
// copied, so that a longer file shows as longer without filling the disk.
// False when the source cannot be read or the copy cannot be written.
bool CopyArchiveIn(const std::wstring& source, const std::wstring& destination, uint64_t max_bytes);

// The next temporary name "file<N>" in `temp_folder`, created as a new
// folder of mode 0700; a name that is taken (by anything, a link included)
// is passed over for the next. False when none can be created; `folder`
// holds the last name tried.
bool MakeWorkFolder(const std::wstring& temp_folder, std::wstring* folder);

// The unpacker's command line as the session documents it: the installation
// folder as given, "\Binaries\miniunz.exe -o -x ", the quoted archive path,
// " -d " and the quoted work folder. For traces and messages only.
std::wstring UnpackerCommandLine(const std::wstring& install_dir, const std::wstring& archive,
                                 const std::wstring& work_folder);

// The argument vector the unpacker is actually started with (no shell).
std::vector<std::string> UnpackerArgv(const std::wstring& install_dir, const std::wstring& archive,
                                      const std::wstring& work_folder);

enum class UnpackOutcome {
  kUnpacked,    // the unpacker exited with 0
  kNotStarted,  // the unpacker could not be started
  kFailed,      // any other exit code, a signal, or an unreadable status
  kCancelled,   // `cancelled` answered true; the unpacker was terminated
};

struct UnpackRequest {
  std::wstring install_dir;
  std::wstring archive;
  std::wstring work_folder;
  // Asked after every wait slice that ended with the unpacker still running.
  std::function<bool()> cancelled;
  int slice_ms = 1000;
};

// Runs the unpacker and waits for it in slices. Trace lines (command line,
// exit code) go to the system log.
UnpackOutcome RunUnpacker(const UnpackRequest& request);

}  // namespace TarvPatch
