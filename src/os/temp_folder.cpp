#include "os/temp_folder.h"

#include <mutex>

namespace TarvUtil {
namespace {

std::mutex g_lock;
std::wstring& SessionFolder() {
  static std::wstring folder;
  return folder;
}

}  // namespace

void SetSessionTempFolder(const std::wstring& folder) {
  std::lock_guard<std::mutex> hold(g_lock);
  SessionFolder() = folder;
}

std::wstring SessionTempFolder() {
  std::lock_guard<std::mutex> hold(g_lock);
  return SessionFolder();
}

}  // namespace TarvUtil
