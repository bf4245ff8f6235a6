// OS::Pipe: a one-way channel from a child program back to its parent. The
// write end is handed to the child (OS::Process::PassDescriptor) and closed
// here after the start; the parent reads what the child left once it has
// ended. Both ends are close-on-exec and the read end does not block, so a
// child that said nothing leaves an empty read. On Windows the two ends are
// pipe handles, their values standing in for the descriptors. One owner
// thread.
#pragma once
#include <cstddef>
#include <string>

namespace OS {

class Pipe {
 public:
  Pipe() = default;
  // Closes what is still open.
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Makes the pipe; false (errno set) when the system has none to give.
  bool Open();
  // The descriptor for PassDescriptor; -1 when not open.
  int WriteEnd() const { return m_write; }
  void CloseWriteEnd();
  // What is in the pipe now, up to about `limit` bytes; closes the read end.
  std::string ReadAvailable(size_t limit);

 private:
  int m_read = -1;
  int m_write = -1;
};

}  // namespace OS
