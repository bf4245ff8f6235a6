#include "os/exit_cleanup.h"

#include <map>
#include <mutex>

namespace OS {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<int, std::function<void()>> undos;
  int next = 0;
  bool ending = false;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every static destructor
  return *registry;
}

}  // namespace

ExitCleanup::ExitCleanup(std::function<void()> undo) {
  Registry& r = TheRegistry();
  std::unique_lock<std::mutex> lock(r.mutex);
  if (r.ending) {
    lock.unlock();
    undo();
    return;
  }
  m_token = r.next++;
  r.undos.emplace(m_token, std::move(undo));
}

ExitCleanup::~ExitCleanup() {
  if (m_token < 0) return;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.undos.erase(m_token);
}

void RunExitCleanups() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.ending = true;
  for (auto it = r.undos.rbegin(); it != r.undos.rend(); ++it) it->second();
  r.undos.clear();
}

}  // namespace OS
