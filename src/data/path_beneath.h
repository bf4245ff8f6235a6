// Paths below a trusted folder resolved without following links: a link
// planted inside an installation (a folder "Data" pointing at /etc, or a
// file pointing outside) must never lead a write, a move or a deletion out
// of it. Each component is looked at with openat and O_NOFOLLOW from the
// folder before it. Paths are file-system paths (UTF-8, "/" separated);
// `relative` has no ".." component and no leading "/". Stateless; any
// thread. Failures report by the result with errno set.
#pragma once

#include <string>

namespace TarvFile {

// What a walk below a folder found.
enum class Beneath {
  kInside,     // no component that exists is a link; the existing folder
               // components are folders (a missing one ends the walk)
  kLink,       // a component is a link
  kNotFolder,  // a folder component is something else than a folder
  kFailed,     // the root or a folder could not be opened (errno set)
};

// Walks every component of `relative` below `root`, the last one included.
// `met` receives the part of `relative` up to the component that is a link
// or not a folder. The root itself is trusted and may be reached through
// links.
Beneath WalkBeneath(const std::string& root, const std::string& relative,
                    std::string* met = nullptr);

// Opens the folder `relative` below `root` (empty: the root) for *at calls
// without following a link on the way; -1 with errno ELOOP when a component
// is a link, ENOTDIR when one is not a folder. The caller closes it.
int OpenFolderBeneath(const std::string& root, const std::string& relative);

// renameat(2) through the fault seam (counted as a rename).
bool RenameAt(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name);

// unlinkat(2) of a file through the fault seam (counted as an unlink).
bool UnlinkAt(int dir, const std::string& name);

// Calls on one name in an open folder, none following a link at that name
// and none asked of the fault seam (the unpacker's own walk; its writes go
// through WriteAll). Each returns -1 or false with errno on failure.
// Opens the folder at `path` (links followed: the caller trusts it).
int OpenFolder(const std::string& path);
// Makes the one folder `path` (mode 0755 less the umask).
bool MakeFolder(const std::string& path);
// A second descriptor of the same open folder or file.
int DuplicateHandle(int fd);
// True when `name` in `dir` is a link (false when it is anything else or
// missing).
bool IsLinkIn(int dir, const std::string& name);
// Makes the folder `name` in `dir` (mode 0755 less the umask); EEXIST when
// something is there.
bool MakeFolderIn(int dir, const std::string& name);
// Opens the folder `name` in `dir`; ELOOP when it is a link.
int OpenFolderIn(int dir, const std::string& name);
// Creates the new file `name` in `dir` for writing (mode 0644 less the
// umask); EEXIST when anything is there, a link included.
int CreateFileIn(int dir, const std::string& name);
bool RenameIn(int dir, const std::string& from, const std::string& to);
bool RemoveFileIn(int dir, const std::string& name);

// The folder part of a relative path ("" for a bare name) and its last
// component.
std::string ParentOf(const std::string& relative);
std::string LastComponentOf(const std::string& relative);

}  // namespace TarvFile
