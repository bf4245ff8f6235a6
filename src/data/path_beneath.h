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

// The folder part of a relative path ("" for a bare name) and its last
// component.
std::string ParentOf(const std::string& relative);
std::string LastComponentOf(const std::string& relative);

}  // namespace TarvFile
