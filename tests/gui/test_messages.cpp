// English texts of the window's messages, standing in for the embedded
// string table in the window test programs.
#include <map>
#include <string>

#include "os/messages.h"

namespace TarvMessages {

std::wstring LoadMessage(int id) {
  static const std::map<int, std::wstring> texts = {
      {171, L"Patching install:"},
      {172, L"Repairing install:"},
      {173, L"Repair"},
      {174, L"Download Progress %lu kB of %lu kB, %lu hr %lu min remaining"},
      {175, L"Download Progress %lu kB of %lu kB, %lu min remaining"},
      {176, L"about:blank"},
  };
  const auto it = texts.find(id);
  return it != texts.end() ? it->second : std::wstring();
}

}  // namespace TarvMessages
