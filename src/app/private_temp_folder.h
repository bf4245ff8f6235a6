// A folder of its own for the sessions of one patcher process, made inside
// the patcher's temporary folder and named to the sessions as their
// temporary folder (TarvUtil::SetSessionTempFolder), so that everything a
// session downloads or unpacks can be removed with it on every way out, a
// cancel included. The environment is left alone: programs started after
// the session get the player's TEMP. Main thread.
#pragma once

#include <string>

namespace TarvPatch {

class PrivateTempFolder {
 public:
  PrivateTempFolder() = default;
  ~PrivateTempFolder() { Remove(); }
  PrivateTempFolder(const PrivateTempFolder&) = delete;
  PrivateTempFolder& operator=(const PrivateTempFolder&) = delete;

  // Makes the folder (mode 0700) and names it the sessions' temporary
  // folder. False when it cannot be made; the temporary folder is then the
  // usual one.
  bool Create();
  // Removes the folder with everything in it; nothing when none was made.
  void Remove();
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace TarvPatch
